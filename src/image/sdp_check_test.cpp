#include "image/sdp_check.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "core/log.h"
#include "tests/support/board.h"
#include "tests/support/sdp_files.h"

namespace {

// The limits on the new service file, at their boundaries; the update tool refuses by them.
TEST(LoadNewServiceRecords, AppliesTheMergesLimitsAndNamesTheLine) {
    auto record = [](std::size_t length) {  // line feed included
        return "n;s;K" + std::string(length - 7, 'k') + ";\n";
    };
    std::string fortyOne = "# forty-one\n", storeFull, storeExact;
    for (int i = 0; i <= 40; ++i) fortyOne += "n;s;K" + std::to_string(i) + ";x\n";
    for (int i = 0; i < 19; ++i) storeFull += record(100);  // each takes 101 bytes
    storeExact = storeFull + record(80);
    storeFull += record(81);
    const struct {
        std::string content;
        std::size_t count, line;
        const char* reason;
    } cases[] = {
        {"# c\nn;s;K1;x\n#$n;s;K9;x\nn;s;K2;\n", 2, 0, nullptr},
        {"#" + std::string(1021, 'c') + "\nn;s;K1;x\n", 1, 0, nullptr},
        {"# c\n#" + std::string(1022, 'c') + "\n", 0, 2, "line longer than 1023 characters"},
        {"n;s;K1;x\n#" + std::string(1022, 'c'), 0, 2, "last line without line feed"},
        {"n;s;K1;x\n#" + std::string(1023, 'c'), 0, 2, "line longer than 1023 characters"},
        {"n;s;K1;x\n\n", 0, 2, "record with fewer than four fields"},
        {"n;s;K1\n", 0, 1, "record with fewer than four fields"},
        {fortyOne, 0, 42, "more than 40 new records"},
        {storeExact, 20, 0, nullptr},
        {storeFull, 0, 20, "new records don't fit their store"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content.substr(0, 40));
        NewServiceRecords records;
        std::optional<NewServiceFault> fault = loadNewServiceRecords(c.content, records);
        if (c.reason == nullptr) {
            ASSERT_FALSE(fault) << fault->line << " " << fault->reason;
            EXPECT_EQ(records.count, c.count);
            continue;
        }
        ASSERT_TRUE(fault);
        EXPECT_EQ(fault->line, c.line);
        EXPECT_STREQ(fault->reason, c.reason);
    }
    NewServiceRecords records;
    loadNewServiceRecords("# c\nn;s;K1;x\n#$n;s;K9;x\nn;s;K2;\n", records);
    EXPECT_EQ(records.records[1], "n;s;K2;\n");
    EXPECT_EQ(records.used, 19u);
}

TEST(SdpCheck, MergesRecordsAndRewritesTheTerminalEntries) {
    const std::string entries = "1;x;a;b;rest\n";
    const struct {
        const char* name;
        std::string current, update, terminal, service, terminalAfter;
    } cases[] = {
        // Carried records keep their own text and place, the rest goes, new ones are added.
        {"K1..K4", "# services\nA;n1;s1;K1;x\nA;n2;s2;K2;x\nA;n3;s3;K3;x\n",
         "B;m3;t3;K3;y\nB;m4;t4;K4;y\nB;m1;t1;K1;y\n", entries,
         "# services\nA;n1;s1;K1;x\nA;n3;s3;K3;x\nB;m4;t4;K4;y\n", "1;x;s1,s3,t4;s1,s3,t4;rest\n"},
        // Inactive records stay inactive and add nothing; those whose key is gone are dropped.
        {"inactive records", "#$A;n1;s1;K1;x\n#$A;n3;s3;K3;x\nA;n2;s2;K2;x\n",
         "B;m1;t1;K1;y\nB;m2;t2;K2;y\n", entries, "#$A;n1;s1;K1;x\nA;n2;s2;K2;x\n",
         "1;x;s2;s2;rest\n"},
        // New comments and new inactive records are not added.
        {"comments", "# c1\nA;n1;s1;K1;x\n# c2\nA;n2;s2;K2;x\n",
         "# new comment\nB;m1;t1;K1;y\n#$B;m9;t9;K9;y\n", entries, "# c1\nA;n1;s1;K1;x\n# c2\n",
         "1;x;s1;s1;rest\n"},
        {"duplicate current key", "A;n1;s1;K1;x\nA;n1b;s1b;K1;x\n", "B;m1;t1;K1;y\n", entries,
         "A;n1;s1;K1;x\n", "1;x;s1;s1;rest\n"},
        {"duplicate new key", "A;n1;s1;K1;x\nA;n1b;s1b;K1;x\n", "B;m1;t1;K1;y\nB;m1b;t1b;K1;y\n",
         entries, "A;n1;s1;K1;x\nA;n1b;s1b;K1;x\n", "1;x;s1,s1b;s1,s1b;rest\n"},
        {"no records", "# c\nA;n1;s1;K1;x\n#$A;n2;s2;K2;x\n", "# only a comment\n",
         entries + "2;y;;;\n", "# c\n", "1;x;;;rest\n2;y;;;\n"},
        // An empty terminal line disappears.
        {"everything dropped", "A;n1;s1;K1;x\n", "", "\n", "", ""},
        {"terminal entries", "A;n;3;K1;x\nA;n;5;K2;x\n", "B;m;3;K1;y\nB;m;5;K2;y\n",
         "# comment;a;b;c;d\n1;x;a;b;rest\n1;x;;;rest\n\nonly;one\nnoseparator\n2;y;a\n3;z;a;b\n"
         "4;w;a;b;c;d;e\n5;v;;\n",
         "A;n;3;K1;x\nA;n;5;K2;x\n",
         "# comment;a;b;c;d\n1;x;3,5;3,5;rest\n1;x;3,5;3,5;rest\n2;y;3,5;3,5;\n3;z;3,5;3,5;\n"
         "4;w;3,5;3,5;c;d;e\n5;v;3,5;3,5;\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(runSdpCheck(c.current, c.update, c.terminal), 1);
        EXPECT_EQ(readWholeFile(kServicePath), c.service);
        EXPECT_EQ(readWholeFile(kTerminalPath), c.terminalAfter);
        EXPECT_EQ(readWholeFile(kUpdateReportPath), "");
    }
}

TEST(SdpCheck, FilesBreakingTheFormatOrALimitAreLeftAsTheyWere) {
    const std::string current = "# c\nA;n1;s1;K1;x\n", entries = "1;x;a;b;rest\n";
    std::string fortyOne;
    for (int i = 0; i <= 40; ++i) fortyOne += "B;n;s;K" + std::to_string(i) + ";x\n";
    const struct {
        std::string current, update, message;
    } cases[] = {
        {current, fortyOne, "/tmp/update.d/service.txt: more than 40 new records"},
        // Found only after the services were merged: still nothing changes.
        {"A;n;" + std::string(510, 'a') + ";K1;x\n", "B;m1;t1;K1;y\n",
         "/etc/terminal.txt: rewritten entry too long"},
        {current + "A;n2;s2\n", "B;m1;t1;K1;y\n",
         "/etc/service.txt: record with fewer than four fields"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(runSdpCheck(c.current, c.update, entries), -1);
        EXPECT_EQ(readWholeFile(kServicePath), c.current);
        EXPECT_EQ(readWholeFile(kTerminalPath), entries);
        EXPECT_EQ(readWholeFile(kUpdateReportPath), "SDP records not merged, " + c.message + "\n");
    }
}

// Each file is copied to a new name, synced and renamed over the old one: none of the new
// names stays, a cut copy an earlier run left at one is not installed, and the files keep
// their modes. Where a file of /etc is a link, the file it names is replaced.
TEST(SdpCheck, InstallsEachFileWholeAndLeavesNoNewNameBehind) {
    const std::string cut = "A;n1;s1;K";
    for (bool linked : {false, true}) {
        SCOPED_TRACE(linked ? "linked" : "plain");
        mkdir("/tmp/update.d", 0755);
        mkdir("/etc/config", 0755);
        const std::string service = linked ? "/etc/config/service.txt" : kServicePath;
        unlink(kServicePath);
        if (linked) {
            ASSERT_EQ(symlink(service.c_str(), kServicePath), 0);
        }
        writeWholeFile(service, "A;n1;s1;K1;x\nA;n2;s2;K2;x\n");
        chmod(service.c_str(), 0640);
        writeWholeFile("/tmp/update.d/service.txt", "B;m1;t1;K1;y\nB;m3;t3;K3;y\n");
        writeWholeFile(kTerminalPath, "1;x;a;b;rest\n");
        chmod(kTerminalPath, 0604);
        writeWholeFile(service + ".new", cut);
        writeWholeFile(std::string(kTerminalPath) + ".new", cut);
        unlink(kUpdateReportPath);
        testing::internal::CaptureStderr();
        EXPECT_EQ(checkSdpRecords(kServicePath, "/tmp/update.d/service.txt"), 1);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(readWholeFile(service), "A;n1;s1;K1;x\nB;m3;t3;K3;y\n");
        EXPECT_EQ(readWholeFile(kTerminalPath), "1;x;s1,t3;s1,t3;rest\n");
        EXPECT_FALSE(fileExists(service + ".new"));
        EXPECT_FALSE(fileExists(std::string(kTerminalPath) + ".new"));
        struct stat info {};
        ASSERT_EQ(lstat(kServicePath, &info), 0);
        EXPECT_EQ(S_ISLNK(info.st_mode), linked);
        ASSERT_EQ(stat(service.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0640u);
        ASSERT_EQ(stat(kTerminalPath, &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0604u);
        EXPECT_EQ(readWholeFile(kUpdateReportPath), "");
        unlink(service.c_str());
    }
    unlink(kServicePath);
}

// A copy that fails part way installs nothing: the files at their own names stay whole, and
// nothing stays at the new names.
TEST(SdpCheck, ACopyCutShortLeavesTheOldFiles) {
    const std::string current = "A;n1;s1;K1;x\n", entries = "1;x;a;b;rest\n";
    mkdir("/tmp/update.d", 0755);
    writeWholeFile(kServicePath, current);
    writeWholeFile(kTerminalPath, entries);
    writeWholeFile("/tmp/update.d/service.txt", "B;m1;t1;K1;y\nB;m3;t3;K3;y\n");
    mkdir("/tmp/cutbin", 0755);
    writeWholeFile("/tmp/cutbin/-cp", "#!/bin/sh\nhead -c 5 \"$1\" > \"$2\"\nexit 1\n");
    chmod("/tmp/cutbin/-cp", 0755);
    const std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin";
    setenv("PATH", ("/tmp/cutbin:" + path).c_str(), 1);
    unlink(kUpdateReportPath);
    testing::internal::CaptureStderr();
    int result = checkSdpRecords(kServicePath, "/tmp/update.d/service.txt");
    testing::internal::GetCapturedStderr();
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(readWholeFile(kServicePath), current);
    EXPECT_EQ(readWholeFile(kTerminalPath), entries);
    EXPECT_FALSE(fileExists("/etc/service.txt.new"));
    EXPECT_FALSE(fileExists("/etc/terminal.txt.new"));
    EXPECT_EQ(readWholeFile(kUpdateReportPath),
              "command \" -cp /tmp/tmp.txt /etc/terminal.txt.new\" failed: exit status 1\n");
}

std::string replace(const std::string& input, const char* search, const char* replacement) {
    writeWholeFile("/tmp/in", input);
    unlink("/tmp/out");
    unlink(kUpdateReportPath);
    testing::internal::CaptureStderr();
    replaceStringInFile("/tmp/in", "/tmp/out", search, replacement, 0);
    testing::internal::GetCapturedStderr();
    return fileExists("/tmp/out") ? readWholeFile("/tmp/out") : "(none)";
}

TEST(ReplaceStringInFile, WritesNothingWhenInputOrResultDoesNotFit) {
    EXPECT_EQ(replace(std::string(9999, 'a'), "aaaa", "b"), "aaaab" + std::string(9994, 'a'));
    EXPECT_EQ(replace(std::string(10000, 'a'), "aaaa", "b"), "(none)");
    EXPECT_EQ(readWholeFile(kUpdateReportPath), "No more place in read buffer !!\n");
    const std::string input = std::string(9990, 'a') + "k=";
    EXPECT_EQ(replace(input, "k=", "1234567"), input + "1234567");
    EXPECT_EQ(replace(input, "k=", "12345678"), "(none)");
}

}  // namespace
