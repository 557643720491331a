#include "image/sdp_check.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/log.h"
#include "tests/support/board.h"

namespace {

constexpr const char* kServicePath = "/etc/service.txt";
constexpr const char* kTerminalPath = "/etc/terminal.txt";
constexpr const char* kNewServicePath = "/tmp/update.d/service.txt";

std::string report() { return readWholeFile(kUpdateReportPath); }

// --- getField ---

struct FieldCase {
    const char* text;
    const char* separators;
    int n;
    std::optional<std::string_view> expected;
};

TEST(GetField, SplitsAtEverySeparator) {
    const FieldCase cases[] = {
        {"a;b;c", ";", 1, "a"},
        {"a;b;c", ";", 3, "c"},
        {"a;b;c", ";", 4, std::nullopt},
        {"a;b;c", ";", 0, std::nullopt},
        {"a;b;c", ";", -1, std::nullopt},
        {"a;;c", ";", 2, ""},
        {"a;b;", ";", 3, ""},
        {"a;b;", ";", 4, std::nullopt},
        {"", ";", 1, ""},
        {"", ";", 2, std::nullopt},
        {"1;x;K1\n", ";", 3, "K1\n"},
        {"a,b;c", ",;", 3, "c"},
        {"abc", ";", 1, "abc"},
    };
    for (const FieldCase& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " n=" + std::to_string(c.n));
        EXPECT_EQ(getField(c.text, c.separators, c.n), c.expected);
    }
}

TEST(GetField, LeavesTheTextAlone) {
    const std::string text = "1;2;3";
    std::optional<std::string_view> field = getField(text, ";", 2);
    ASSERT_TRUE(field);
    EXPECT_EQ(*field, "2");
    EXPECT_EQ(text, "1;2;3");
}

// --- checkSdpRecords ---

class SdpCheck : public testing::Test {
protected:
    void SetUp() override {
        mkdir("/tmp/update.d", 0755);
        unlink(kUpdateReportPath);
    }
    // Installs the files (nullopt: absent) and runs the check of step CHECK_SDP.
    void run(const std::optional<std::string>& current, const std::optional<std::string>& update,
             const std::optional<std::string>& terminal) {
        put(kServicePath, current);
        put(kNewServicePath, update);
        put(kTerminalPath, terminal);
        testing::internal::CaptureStderr();
        checkSdpRecords(kServicePath, kNewServicePath);
        log = testing::internal::GetCapturedStderr();
        EXPECT_FALSE(fileExists("/tmp/sdp.txt"));
        EXPECT_FALSE(fileExists("/tmp/tmp.txt"));
    }
    static void put(const char* path, const std::optional<std::string>& content) {
        if (content)
            writeWholeFile(path, *content);
        else
            unlink(path);
    }
    static std::string service() { return readWholeFile(kServicePath); }
    static std::string terminal() { return readWholeFile(kTerminalPath); }
    std::string log;
};

TEST_F(SdpCheck, BoardFixtureWithTheSampleUpdate) {
    const std::string current = readWholeFile(kServicePath);
    const std::string update =
        readWholeFile(PROJECT_SOURCE_PATH "/sim/sample-update/update.d/service.txt");
    run(current, update, readWholeFile(kTerminalPath));
    EXPECT_EQ(service(),
              "# SDP service records of the access point\n"
              "# handle;name;service;uuid;channel;provider\n"
              "10001;LAN Access Using PPP;3;0x1102;1;BT-LAP\n"
              "10002;Serial Port;5;0x1101;2;BT-LAP\n"
              "#$10003;Dial-up Networking;7;0x1103;3;BT-LAP\n"
              "20004;Group Ad-hoc Network;11;0x1117;5;BT-LAP\n");
    EXPECT_EQ(terminal(),
              "# terminal entries: id;name;SDP services;connectable services;timeout;flags\n"
              "1;default;3,5,11;3,5,11;600;0\n"
              "2;printer;3,5,11;3,5,11;0;1\n");
    EXPECT_EQ(report(), "");
}

TEST_F(SdpCheck, KeepsCarriedRecordsInPlaceDropsTheRestAndAddsNewOnes) {
    run("# services\nA;n1;s1;K1;x\nA;n2;s2;K2;x\nA;n3;s3;K3;x\n",
        "B;m3;t3;K3;y\nB;m4;t4;K4;y\nB;m1;t1;K1;y\n", "1;x;a;b;rest\n");
    // The current K1 and K3 lines keep their own text though the new ones differ.
    EXPECT_EQ(service(), "# services\nA;n1;s1;K1;x\nA;n3;s3;K3;x\nB;m4;t4;K4;y\n");
    EXPECT_EQ(terminal(), "1;x;s1,s3,t4;s1,s3,t4;rest\n");
}

TEST_F(SdpCheck, InactiveRecordStaysInactiveAndAddsNothing) {
    run("#$A;n1;s1;K1;x\nA;n2;s2;K2;x\n", "B;m1;t1;K1;y\nB;m2;t2;K2;y\n", "1;x;a;b;rest\n");
    EXPECT_EQ(service(), "#$A;n1;s1;K1;x\nA;n2;s2;K2;x\n");
    EXPECT_EQ(terminal(), "1;x;s2;s2;rest\n");
}

TEST_F(SdpCheck, InactiveRecordWhoseKeyIsGoneIsDropped) {
    run("#$A;n1;s1;K1;x\nA;n2;s2;K2;x\n", "B;m2;t2;K2;y\n", "1;x;a;b;rest\n");
    EXPECT_EQ(service(), "A;n2;s2;K2;x\n");
}

TEST_F(SdpCheck, CommentsOfTheCurrentFileKeepTheirPlacesNewCommentsDisappear) {
    run("# c1\nA;n1;s1;K1;x\n# c2\nA;n2;s2;K2;x\n", "# new comment\nB;m1;t1;K1;y\n#$B;m9;t9;K9;y\n",
        "1;x;a;b;rest\n");
    EXPECT_EQ(service(), "# c1\nA;n1;s1;K1;x\n# c2\n");
    EXPECT_EQ(terminal(), "1;x;s1;s1;rest\n");
}

TEST_F(SdpCheck, SecondCurrentRecordWithTheSameKeyIsDropped) {
    run("A;n1;s1;K1;x\nA;n1b;s1b;K1;x\n", "B;m1;t1;K1;y\n", "1;x;a;b;rest\n");
    EXPECT_EQ(service(), "A;n1;s1;K1;x\n");
    EXPECT_EQ(terminal(), "1;x;s1;s1;rest\n");
}

TEST_F(SdpCheck, TwoNewRecordsWithTheSameKeyKeepBothCurrentOnes) {
    run("A;n1;s1;K1;x\nA;n1b;s1b;K1;x\n", "B;m1;t1;K1;y\nB;m1b;t1b;K1;y\n", "1;x;a;b;rest\n");
    EXPECT_EQ(service(), "A;n1;s1;K1;x\nA;n1b;s1b;K1;x\n");
    EXPECT_EQ(terminal(), "1;x;s1,s1b;s1,s1b;rest\n");
}

TEST_F(SdpCheck, KeysAreComparedExactlyLineFeedIncluded) {
    run("A;n1;s1;K1\nA;n2;s2;K2\n", "B;m1;t1;K1\nB;m2;t2;K2;more\n", "1;x;a;b;rest\n");
    EXPECT_EQ(service(), "A;n1;s1;K1\nB;m2;t2;K2;more\n");
    EXPECT_EQ(terminal(), "1;x;s1,t2;s1,t2;rest\n");
}

TEST_F(SdpCheck, NewFileWithoutRecordsKeepsOnlyComments) {
    for (const char* update : {"# only a comment\n", ""}) {
        SCOPED_TRACE(update);
        run("# c\nA;n1;s1;K1;x\n#$A;n2;s2;K2;x\n", update, "1;x;a;b;rest\n2;y;;;\n");
        EXPECT_EQ(service(), "# c\n");
        EXPECT_EQ(terminal(), "1;x;;;rest\n2;y;;;\n");
    }
}

TEST_F(SdpCheck, EverythingDroppedLeavesEmptyFiles) {
    run("A;n1;s1;K1;x\n", "", "\n");
    EXPECT_EQ(service(), "");
    EXPECT_EQ(terminal(), "");
    EXPECT_TRUE(fileExists(kServicePath));
}

TEST_F(SdpCheck, TerminalEntriesGetTheServiceListInFieldsThreeAndFour) {
    run("A;n;3;K1;x\nA;n;5;K2;x\n", "B;m;3;K1;y\nB;m;5;K2;y\n",
        "# comment;a;b;c;d\n"
        "1;x;a;b;rest\n"
        "1;x;;;rest\n"
        "\n"
        "only;one\n"
        "noseparator\n"
        "2;y;a\n"
        "3;z;a;b\n"
        "4;w;a;b;c;d;e\n"
        "5;v;;\n");
    EXPECT_EQ(terminal(),
              "# comment;a;b;c;d\n"
              "1;x;3,5;3,5;rest\n"
              "1;x;3,5;3,5;rest\n"
              "2;y;3,5;3,5;\n"
              "3;z;3,5;3,5;\n"
              "4;w;3,5;3,5;c;d;e\n"
              "5;v;3,5;3,5;\n");
}

TEST_F(SdpCheck, StaleTemporaryFilesAreNotMixedIn) {
    writeWholeFile("/tmp/sdp.txt", "stale;record;9;K9;x\n");
    writeWholeFile("/tmp/tmp.txt", "9;stale;;;\n");
    run("A;n1;s1;K1;x\n", "B;m1;t1;K1;y\n", "1;x;a;b;rest\n");
    EXPECT_EQ(service(), "A;n1;s1;K1;x\n");
    EXPECT_EQ(terminal(), "1;x;s1;s1;rest\n");
}

TEST_F(SdpCheck, MissingServiceFileChangesNothing) {
    run(std::nullopt, "B;m1;t1;K1;y\n", "1;x;a;b;rest\n");
    EXPECT_FALSE(fileExists(kServicePath));
    EXPECT_EQ(terminal(), "1;x;a;b;rest\n");
    EXPECT_EQ(report(), "open error file /etc/service.txt: 0x02 No such file or directory");

    unlink(kUpdateReportPath);
    run("A;n1;s1;K1;x\n", std::nullopt, "1;x;a;b;rest\n");
    EXPECT_EQ(service(), "A;n1;s1;K1;x\n");
    EXPECT_EQ(terminal(), "1;x;a;b;rest\n");
    EXPECT_EQ(report(),
              "open error file /tmp/update.d/service.txt: 0x02 No such file or directory");
}

TEST_F(SdpCheck, MissingTerminalFileStaysMissingAndServicesAreMerged) {
    run("A;n1;s1;K1;x\nA;n2;s2;K2;x\n", "B;m2;t2;K2;y\n", std::nullopt);
    EXPECT_EQ(service(), "A;n2;s2;K2;x\n");
    EXPECT_FALSE(fileExists(kTerminalPath));
    EXPECT_EQ(report(), "open error file /etc/terminal.txt: 0x02 No such file or directory");
}

std::string records(int count, const std::string& prefix) {
    std::string text;
    for (int i = 0; i < count; ++i)
        text += prefix + ";n;s" + std::to_string(i) + ";K" + std::to_string(i) + ";x\n";
    return text;
}

TEST_F(SdpCheck, FortyNewRecordsAreTheLimit) {
    run("", records(40, "B"), "1;x;a;b;rest\n");
    EXPECT_EQ(service(), records(40, "B"));
    EXPECT_EQ(report(), "");
}

TEST_F(SdpCheck, RecordsFillingTheStoreExactlyAreMerged) {
    // Two records of 999 characters take 2 * (999 + 1) bytes.
    std::string first = "B;n;s1;K1;" + std::string(999 - 11, 'x') + "\n";
    std::string second = "B;n;s2;K2;" + std::string(999 - 11, 'y') + "\n";
    ASSERT_EQ(first.size(), 999u);
    run("", first + second, "1;x;a;b;rest\n");
    EXPECT_EQ(service(), first + second);
    EXPECT_EQ(terminal(), "1;x;s1,s2;s1,s2;rest\n");
}

TEST_F(SdpCheck, ServiceListFillingItsBufferExactlyIsMerged) {
    // 998 + 1 and 999 + 1 characters and the terminator: 2000 bytes.
    std::string current =
        "A;n;" + std::string(998, 'a') + ";K1;x\n" + "A;n;" + std::string(999, 'b') + ";K2;x\n";
    run(current, "B;m;t;K1;y\nB;m;t;K2;y\n", "# no entries\n");
    EXPECT_EQ(service(), current);
    EXPECT_EQ(report(), "");
}

TEST_F(SdpCheck, LongestLineIsMerged) {
    std::string current = "A;n;s;K1;" + std::string(1023 - 10, 'x') + "\n";
    ASSERT_EQ(current.size(), 1023u);
    run(current, "B;m;t;K1;y\n", "1;x;a;b;rest\n");
    EXPECT_EQ(service(), current);
}

struct RefusalCase {
    const char* name;
    std::string current;
    std::string update;
    std::string terminal;
    std::string message;
};

TEST_F(SdpCheck, FilesBreakingTheFormatOrALimitAreLeftAsTheyWere) {
    const std::string current = "# c\nA;n1;s1;K1;x\n";
    const std::string update = "B;m1;t1;K1;y\nB;m2;t2;K2;y\n";
    const std::string entries = "1;x;a;b;rest\n";
    const std::string longLine = std::string(1024, 'x') + "\n";
    const std::string longField(1000, 'f');
    const RefusalCase cases[] = {
        {"41 new records", current, records(41, "B"), entries,
         "/tmp/update.d/service.txt: more than 40 new records"},
        {"store", current,
         "B;n;s1;K1;" + std::string(1000, 'x') + "\nB;n;s2;K2;" + std::string(1000, 'y') + "\n",
         entries, "/tmp/update.d/service.txt: new records don't fit their store"},
        {"list", "A;n;" + longField + ";K1;x\nA;n;" + longField + ";K2;x\n", update, entries,
         "/etc/service.txt: service list full"},
        {"list of kept and added records", "A;n;" + longField + ";K1;x\n",
         "B;m;t;K1;y\nB;n;" + longField + ";K9;x\n", "# c\n",
         "/etc/service.txt: service list full"},
        {"terminal entry", "A;n;" + std::string(510, 'a') + ";K1;x\n", update, entries,
         "/etc/terminal.txt: rewritten entry too long"},
        {"long current line", current + longLine, update, entries,
         "/etc/service.txt: line longer than 1023 characters"},
        {"long new line", current, update + longLine, entries,
         "/tmp/update.d/service.txt: line longer than 1023 characters"},
        {"long terminal line", current, update, entries + longLine,
         "/etc/terminal.txt: line longer than 1023 characters"},
        {"current without line feed", current + "A;n2;s2;K2;x", update, entries,
         "/etc/service.txt: last line without line feed"},
        {"new without line feed", current, update + "# c", entries,
         "/tmp/update.d/service.txt: last line without line feed"},
        {"terminal without line feed", current, update, entries + "2;y;a;b;rest",
         "/etc/terminal.txt: last line without line feed"},
        {"short current record", current + "A;n2;s2\n", update, entries,
         "/etc/service.txt: record with fewer than four fields"},
        {"short inactive record", current + "#$A;n2\n", update, entries,
         "/etc/service.txt: record with fewer than four fields"},
        {"empty current line", current + "\n", update, entries,
         "/etc/service.txt: record with fewer than four fields"},
        {"short new record", current, update + "B;m3;t3\n", entries,
         "/tmp/update.d/service.txt: record with fewer than four fields"},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(kUpdateReportPath);
        run(c.current, c.update, c.terminal);
        EXPECT_EQ(service(), c.current);
        EXPECT_EQ(terminal(), c.terminal);
        EXPECT_EQ(report(), "SDP records not merged, " + c.message + "\n");
        EXPECT_NE(log.find(": SDP records not merged, " + c.message + "\n"), std::string::npos)
            << log;
    }
}

TEST_F(SdpCheck, PathTooLongForTheCopyCommandChangesNothing) {
    std::string path = "/tmp/" + std::string(150, 'p');
    writeWholeFile(path, "A;n1;s1;K1;x\n");
    put(kNewServicePath, std::string("B;m2;t2;K2;y\n"));
    put(kTerminalPath, std::string("1;x;a;b;rest\n"));
    testing::internal::CaptureStderr();
    checkSdpRecords(path.c_str(), kNewServicePath);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(readWholeFile(path), "A;n1;s1;K1;x\n");
    EXPECT_EQ(terminal(), "1;x;a;b;rest\n");
    EXPECT_EQ(report(),
              "SDP records not merged, " + path + ": path too long for the copy command\n");
}

TEST_F(SdpCheck, ReadErrorChangesNothing) {
    // A folder opens for reading, but reading it fails.
    unlink(kTerminalPath);
    mkdir(kTerminalPath, 0755);
    put(kServicePath, std::string("A;n1;s1;K1;x\n"));
    put(kNewServicePath, std::string("B;m2;t2;K2;y\n"));
    testing::internal::CaptureStderr();
    checkSdpRecords(kServicePath, kNewServicePath);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(service(), "A;n1;s1;K1;x\n");
    EXPECT_EQ(report(), "SDP records not merged, /etc/terminal.txt: read error\n");
    EXPECT_FALSE(fileExists("/tmp/sdp.txt"));
    rmdir(kTerminalPath);
}

TEST_F(SdpCheck, StaleFileThatCantBeRemovedStopsTheCheck) {
    mkdir("/tmp/sdp.txt", 0755);
    writeWholeFile("/tmp/sdp.txt/inside", "x");
    put(kServicePath, std::string("A;n1;s1;K1;x\n"));
    put(kNewServicePath, std::string("B;m2;t2;K2;y\n"));
    put(kTerminalPath, std::string("1;x;a;b;rest\n"));
    testing::internal::CaptureStderr();
    checkSdpRecords(kServicePath, kNewServicePath);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(service(), "A;n1;s1;K1;x\n");
    EXPECT_EQ(terminal(), "1;x;a;b;rest\n");
    EXPECT_EQ(report().rfind("SDP records not merged, can't remove /tmp/sdp.txt: ", 0), 0u)
        << report();
    unlink("/tmp/sdp.txt/inside");
    rmdir("/tmp/sdp.txt");
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size() - 1;
        lines.push_back(text.substr(start, end + 1 - start));
        start = end + 1;
    }
    return lines;
}

// Cut and damaged service and terminal files: no crash, no temporary file left behind, and
// each /etc file either as it was or a complete result made of whole input lines.
TEST_F(SdpCheck, TruncatedAndDamagedFilesNeverDamageEtc) {
    const std::string current = readWholeFile(kServicePath);
    const std::string terminalText = readWholeFile(kTerminalPath);
    const std::string update =
        readWholeFile(PROJECT_SOURCE_PATH "/sim/sample-update/update.d/service.txt");
    ASSERT_FALSE(current.empty() || terminalText.empty() || update.empty());
    std::mt19937 random(1848);
    auto damage = [&random](std::string content) {
        const char special[] = {'\0', '\r', '\n', ';', '#', '$', ',', '\xff'};
        for (int i = 0; i < 3; ++i) {
            char c = random() % 2 ? special[random() % sizeof special]
                                  : static_cast<char>(random() % 256);
            content[random() % content.size()] = c;
        }
        return content;
    };
    int merges = 0;
    for (int round = 0; round < 240; ++round) {
        SCOPED_TRACE(round);
        std::string c = current, u = update, t = terminalText;
        switch (round % 4) {
            case 0:
                c = c.substr(0, random() % (c.size() + 1));
                break;
            case 1:
                u = u.substr(0, random() % (u.size() + 1));
                break;
            case 2:
                t = t.substr(0, random() % (t.size() + 1));
                break;
            default:
                c = damage(c);
                u = damage(u);
                t = damage(t);
        }
        run(c, u, t);
        std::string s = service();
        if (s != c) {
            ++merges;
            std::set<std::string> known;
            for (const std::string& line : linesOf(c)) known.insert(line);
            for (const std::string& line : linesOf(u)) known.insert(line);
            for (const std::string& line : linesOf(s)) {
                EXPECT_EQ(line.back(), '\n') << s;
                EXPECT_TRUE(known.count(line)) << line;
            }
        }
        std::string term = terminal();
        if (term != t) {
            EXPECT_LE(linesOf(term).size(), linesOf(t).size());
            for (const std::string& line : linesOf(term)) {
                EXPECT_EQ(line.back(), '\n') << term;
                if (line[0] != '#') {
                    EXPECT_EQ(getField(line, ";", 3), getField(line, ";", 4));
                }
            }
        }
    }
    // Whole-line cuts still merge: the loop saw both outcomes.
    EXPECT_GT(merges, 10);
}

// --- replaceStringInFile ---

class ReplaceString : public testing::Test {
protected:
    void SetUp() override {
        unlink(kUpdateReportPath);
        unlink("/tmp/out");
    }
    std::string replace(const std::string& input, const char* search, const char* replacement,
                        char stop) {
        writeWholeFile("/tmp/in", input);
        testing::internal::CaptureStderr();
        replaceStringInFile("/tmp/in", "/tmp/out", search, replacement, stop);
        testing::internal::GetCapturedStderr();
        return readWholeFile("/tmp/out");
    }
};

TEST_F(ReplaceString, WritesTheReplacementAfterTheFirstOccurrence) {
    struct Case {
        const char* input;
        const char* search;
        const char* replacement;
        char stop;
        const char* expected;
    };
    const Case cases[] = {
        // The text up to the stop character goes, then the replacement overwrites what
        // follows, the stop character first.
        {"a=1;abc=123;rest\n", "abc=", "456", ';', "a=1;abc=456st\n"},
        {"abc=123;rest\n", "abc=", "4", ';', "abc=4rest\n"},
        {"abc=123;rest\n", "abc=", "", ';', "abc=;rest\n"},
        {"abc=123456\n", "abc=", "9", 0, "abc=923456\n"},
        {"abc=1", "abc=", "2345", 0, "abc=2345"},
        {"abc=1;", "abc=", "2345", ';', "abc=2345"},
        {"x;abc=12", "abc=", "Z", ';', "x;abc=Z2"},
        {"abc=1 abc=2", "abc=", "9", 0, "abc=9 abc=2"},
        {"no match here\n", "abc=", "9", ';', "no match here\n"},
        {"", "abc=", "9", 0, ""},
        {"ab\xff"
         "cd abc=1",
         "abc=", "9", 0, "ab"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(replace(c.input, c.search, c.replacement, c.stop), c.expected);
    }
}

TEST_F(ReplaceString, ReplacesWhatTheOutputHeldAndMayWorkInPlace) {
    writeWholeFile("/tmp/out", "old and much longer content\n");
    EXPECT_EQ(replace("k=1\n", "k=", "2", 0), "k=2\n");
    writeWholeFile("/tmp/in", "k=1;x\n");
    replaceStringInFile("/tmp/in", "/tmp/in", "k=", "77", ';');
    EXPECT_EQ(readWholeFile("/tmp/in"), "k=77\n");
}

TEST_F(ReplaceString, InputThatDoesNotFitWritesNothing) {
    EXPECT_EQ(replace(std::string(9999, 'a'), "aaaa", "b", 0), "aaaab" + std::string(9994, 'a'));
    unlink("/tmp/out");
    EXPECT_EQ(replace(std::string(10000, 'a'), "aaaa", "b", 0), "");
    EXPECT_FALSE(fileExists("/tmp/out"));
    EXPECT_EQ(readWholeFile(kUpdateReportPath), "No more place in read buffer !!\n");
}

TEST_F(ReplaceString, ResultThatDoesNotFitWritesNothing) {
    std::string input = std::string(9990, 'a') + "k=";
    EXPECT_EQ(replace(input, "k=", "1234567", 0), input + "1234567");
    unlink("/tmp/out");
    EXPECT_EQ(replace(input, "k=", "12345678", 0), "");
    EXPECT_FALSE(fileExists("/tmp/out"));
}

TEST_F(ReplaceString, MissingInputOrUnwritableOutput) {
    unlink("/tmp/in");
    testing::internal::CaptureStderr();
    replaceStringInFile("/tmp/in", "/tmp/out", "k=", "1", 0);
    replaceStringInFile(kServicePath, "/tmp/no/such/dir", "k=", "1", 0);
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(fileExists("/tmp/out"));
    EXPECT_EQ(report(),
              "open error file /tmp/in: 0x02 No such file or directory"
              "open error file /tmp/no/such/dir: 0x02 No such file or directory");
}

}  // namespace
