#include "update/version_check.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/log.h"
#include "tests/support/board.h"
#include "update/update_state.h"

namespace {

constexpr const char* kDataPath = "/etc/data.txt";
constexpr const char* kVersionPath = "/tmp/update.d/VERSION";
constexpr const char* kKeysPath = "/tmp/update.d/pskeyorig.psr";
constexpr const char* kHeader =
    "OK\n     part:            |     old version      |      new version      |   update ?";

// A row of the version table, built column by column.
std::string column(std::string text, std::size_t width) {
    text.resize(width, ' ');
    return text;
}
std::string row(const std::string& label, const std::string& oldValue, const std::string& newValue,
                bool update) {
    return "\n   " + column(label, 19) + " " + column(oldValue, 23) + " " + column(newValue, 22) +
           " " + column(update ? "    yes" : "    no", 20);
}

// A key line: each pair of characters as one word, the first character as the low byte.
std::string keyLine(const std::string& key, std::string bytes) {
    if (bytes.size() % 2 != 0) bytes.push_back('\0');
    std::string line = "&" + key + " =";
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        char word[8];
        std::snprintf(word, sizeof word, " %02x%02x", static_cast<unsigned char>(bytes[i + 1]),
                      static_cast<unsigned char>(bytes[i]));
        line += word;
    }
    return line + "\r\n";
}

// The installed module: firmware build 1958, settings code 05, settings mark S2C4 at 41..44.
const std::string kInstalledData =
    "DEVICE=BT-LAP access point\r\n"
    "BTFIRMWARE=1958 16.4.0\r\n"
    "CSRMODULINFO=PRL-M2;SN 00804712AB34;HW 03;FW 1958;SET S2C4;PS 05\r\n"
    "LAP_VERSION=2.0.3\r\n";

class VersionCheck : public testing::Test {
protected:
    void SetUp() override {
        componentTable = kInitialComponentTable;
        mkdir("/tmp/update.d", 0755);
        unlink(kUpdateReportPath);
        unlink(kVersionPath);
        unlink(kKeysPath);
        writeWholeFile(kDataPath, readWholeFile(PROJECT_SOURCE_PATH "/sim/board/etc/data.txt"));
    }
    void TearDown() override { componentTable = kInitialComponentTable; }

    // Runs the check; returns what it printed on standard output.
    std::string check() {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(checkVersions(), 1);
        testing::internal::GetCapturedStderr();
        return testing::internal::GetCapturedStdout();
    }
    static std::string report() { return readWholeFile(kUpdateReportPath); }
    static std::array<int, 3> flags() {
        return {componentTable[0].needsUpdate, componentTable[1].needsUpdate,
                componentTable[2].needsUpdate};
    }
    // An update with firmware "build" meaning "version", settings code "code", mark "mark".
    static void writeUpdate(const std::string& build, const std::string& version,
                            const std::string& code, const std::string& mark,
                            const std::string& lapVersion) {
        writeWholeFile(kKeysPath,
                       "// module settings\r\n" + keyLine("02a4", mark) +
                           keyLine("02a5", "PRLFW " + version + " " + build + " " + code));
        writeWholeFile(kVersionPath, "BTFIRMWARE=" + build + "\nLAP_VERSION=" + lapVersion + "\n");
    }
};

TEST_F(VersionCheck, BoardFixtureAgainstTheSampleUpdateWantsEverything) {
    const std::string sample = PROJECT_SOURCE_PATH "/sim/sample-update/update.d/";
    writeWholeFile(kVersionPath, readWholeFile(sample + "VERSION"));
    writeWholeFile(kKeysPath, readWholeFile(sample + "pskeyorig.psr"));
    ASSERT_EQ(readWholeFile(kDataPath).substr(0, 28), "DEVICE=BT-LAP access point\r\n");

    EXPECT_EQ(check(), "old 2.0.3 : new 2.1.0\n");
    EXPECT_EQ(report(), kHeader + row("Parlo Firmware ...", "1958", "2114 means 17.3.5", true) +
                            row("PS-Key         ...", "05 S2C4", "07 S3A1", true) +
                            row("qvl Software   ...", "2.0.3", "2.1.0", true));
    EXPECT_EQ(flags(), (std::array<int, 3>{1, 1, 1}));
}

TEST_F(VersionCheck, CurrentComponentsAreClearedAndShownAsNo) {
    writeWholeFile(kDataPath, kInstalledData);
    writeUpdate("1958", "16.4.0", "05", "S2C4", "2.0.3");
    EXPECT_EQ(check(), "old 2.0.3 : new 2.0.3\n");
    EXPECT_EQ(report(), kHeader + row("Parlo Firmware ...", "1958", "1958 means 16.4.0", false) +
                            row("PS-Key         ...", "05 S2C4", "05 S2C4", false) +
                            row("qvl Software   ...", "2.0.3", "2.0.3", false));
    EXPECT_EQ(flags(), (std::array<int, 3>{0, 0, 0}));
}

TEST_F(VersionCheck, WithoutInstalledVersionsEveryRowIsNotFoundAndWanted) {
    unlink(kDataPath);
    writeUpdate("2114", "17.3.5", "07", "S3A1", "2.1.0");
    EXPECT_EQ(check(), "old not foun : new 2.1.0\n");
    const std::string openError = "open error file /etc/data.txt: 0x02 No such file or directory";
    EXPECT_EQ(report(), kHeader + openError +
                            row("Parlo Firmware ...", "not ", "2114 means 17.3.5", true) +
                            openError + row("PS-Key         ...", "un ", "07 S3A1", true) +
                            openError + row("qvl Software   ...", "not foun", "2.1.0", true));
    EXPECT_EQ(flags(), (std::array<int, 3>{1, 1, 1}));
}

TEST_F(VersionCheck, WithoutAnyVersionFileEverythingIsWanted) {
    unlink(kDataPath);
    writeUpdate("2114", "17.3.5", "07", "S3A1", "2.1.0");
    unlink(kVersionPath);
    EXPECT_EQ(check(), "old not foun : new not found\n");
    const std::string dataError = "open error file /etc/data.txt: 0x02 No such file or directory";
    const std::string versionError =
        "open error file /tmp/update.d/VERSION: 0x02 No such file or directory";
    const std::string errors = dataError + versionError;
    EXPECT_EQ(report(), kHeader + errors +
                            row("Parlo Firmware ...", "not ", "2114 means 17.3.5", true) + errors +
                            row("PS-Key         ...", "un ", "07 S3A1", true) + errors +
                            row("qvl Software   ...", "not foun", "not found", true));
    EXPECT_EQ(flags(), (std::array<int, 3>{1, 1, 1}));
}

TEST_F(VersionCheck, SoftwareValueWithLineFeedMatchesInstalledValueWithCrLf) {
    writeWholeFile(kDataPath, "LAP_VERSION=2.1\r\n");
    writeWholeFile(kVersionPath, "LAP_VERSION 2.1\n");
    EXPECT_EQ(check(), "old 2.1 : new 2.1\n");
    EXPECT_EQ(componentTable[2].needsUpdate, 0);
}

TEST_F(VersionCheck, FirmwareColumnComesFromTheKeyNotFromVersionFile) {
    writeWholeFile(kDataPath, kInstalledData);
    writeUpdate("2114", "17.3.5", "05", "S2C4", "2.0.3");
    writeWholeFile(kVersionPath, "BTFIRMWARE=1958 16.4.0\nLAP_VERSION=2.0.3\n");
    check();
    EXPECT_NE(report().find(row("Parlo Firmware ...", "1958", "2114 means 17.3.5", true)),
              std::string::npos)
        << report();
    // Same code and mark, but the firmware changes: the settings are written anew.
    EXPECT_NE(report().find(row("PS-Key         ...", "05 S2C4", "05 S2C4", true)),
              std::string::npos)
        << report();
    EXPECT_EQ(flags(), (std::array<int, 3>{1, 1, 0}));
}

TEST_F(VersionCheck, PSKeyCodeDifferenceWithCurrentFirmware) {
    writeWholeFile(kDataPath, kInstalledData);
    writeUpdate("1958", "16.4.0", "06", "S2C4", "2.0.3");
    check();
    EXPECT_EQ(flags(), (std::array<int, 3>{0, 1, 0}));
}

TEST_F(VersionCheck, SettingsMarkDifferenceWantsThePSKeysDespiteEqualCodes) {
    writeWholeFile(kDataPath, kInstalledData);
    writeUpdate("1958", "16.4.0", "05", "S2C5", "2.0.3");
    check();
    EXPECT_NE(report().find(row("PS-Key         ...", "05 S2C4", "05 S2C5", true)),
              std::string::npos)
        << report();
    EXPECT_EQ(flags(), (std::array<int, 3>{0, 1, 0}));
}

TEST_F(VersionCheck, SettingsMarkMismatchSetsAClearedFlagAgainButOthersStayCleared) {
    writeWholeFile(kDataPath, kInstalledData);
    writeUpdate("2114", "17.3.5", "07", "S3A1", "2.1.0");
    componentTable[0].needsUpdate = 0;
    componentTable[1].needsUpdate = 0;
    componentTable[2].needsUpdate = 0;
    check();
    // A difference never sets a cleared flag back, except the PS-Key row's settings mark.
    EXPECT_EQ(report(), kHeader + row("Parlo Firmware ...", "1958", "2114 means 17.3.5", false) +
                            row("PS-Key         ...", "05 S2C4", "07 S3A1", true) +
                            row("qvl Software   ...", "2.0.3", "2.1.0", false));
}

TEST_F(VersionCheck, WithoutSettingsKeyTheMarkComesFromTheFirmwareKeysFirstBytes) {
    writeWholeFile(kDataPath, kInstalledData);
    writeWholeFile(kKeysPath, keyLine("02a5", "S2C4W 16.4.0 1958 05"));
    check();
    EXPECT_NE(report().find(row("PS-Key         ...", "05 S2C4", "05 S2C4", false)),
              std::string::npos)
        << report();
    EXPECT_EQ(flags(), (std::array<int, 3>{0, 0, 1}));
}

TEST_F(VersionCheck, WithoutKeyFileTheNewFirmwareIsEmpty) {
    writeWholeFile(kDataPath, kInstalledData);
    writeWholeFile(kVersionPath, "LAP_VERSION=2.0.3\n");
    check();
    const std::string keysError =
        "open error file /tmp/update.d/pskeyorig.psr: 0x02 No such file or directory";
    EXPECT_EQ(report(), keysError + kHeader + row("Parlo Firmware ...", "1958", " means ", true) +
                            keysError + row("PS-Key         ...", "05 S2C4", " ", true) +
                            row("qvl Software   ...", "2.0.3", "2.0.3", false));
}

TEST_F(VersionCheck, ShortModuleInfoGivesAnEmptyCode) {
    for (const char* info : {"CSRMODULINFO\r\n", "CSRMODULINFO=\r\n", "CSRMODULINFO=7\r\n",
                             "CSRMODULINFO", "CSRMODULINFO=07\r\n"}) {
        SCOPED_TRACE(info);
        componentTable = kInitialComponentTable;
        unlink(kUpdateReportPath);
        writeWholeFile(kDataPath, std::string("BTFIRMWARE=1958\r\n") + info);
        writeUpdate("1958", "16.4.0", "07", "S2C4", "2.0.3");
        check();
        std::string code = std::string(info) == "CSRMODULINFO=07\r\n" ? "07 " : " ";
        EXPECT_NE(report().find(row("PS-Key         ...", code, "07 S2C4", true)),
                  std::string::npos)
            << report();
    }
}

TEST_F(VersionCheck, ColumnsAreCutAndPadded) {
    writeWholeFile(kDataPath, "LAP_VERSION=0123456789abcdefghijklmnopqrstuvwxyz\r\n");
    writeWholeFile(kVersionPath, "LAP_VERSION=ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\n");
    writeWholeFile(kKeysPath, "");
    componentTable[2].label = "qvl Software of the access point";
    check();
    std::string report = VersionCheck::report();
    std::string last = report.substr(report.rfind('\n'));
    EXPECT_EQ(last,
              "\n   qvl Software of the"
              " 0123456789abcdefghijklm"
              " ABCDEFGHIJKLMNOPQRSTUV"
              " "
              "    yes"
              "             ");
    EXPECT_EQ(last.size(), 4u + 19 + 1 + 23 + 1 + 22 + 1 + 20);
}

TEST_F(VersionCheck, FirstLineOfAKeywordCounts) {
    writeWholeFile(kDataPath, "LAP_VERSION_OLD=9\r\nLAP_VERSION=2.0.3\r\nLAP_VERSION=2.1.0\r\n");
    writeWholeFile(kVersionPath, "LAP_VERSION=9\n");
    // "LAP_VERSION_OLD" begins with the keyword: its value is the text after "LAP_VERSION_".
    EXPECT_EQ(check(), "old OLD=9 : new 9\n");
}

struct KeywordCase {
    const char* content;
    const char* expected;
};

TEST(GetKeywordValue, TakesTheTextAfterTheSeparatorWithoutTheLastCharacter) {
    const KeywordCase cases[] = {
        {"KEY=value\n", "value"},
        {"KEY=value\r\n", "value\r"},
        {"KEY:value\n", "value"},
        {"KEY=\n", ""},
        {"KEY\n", ""},
        {"KEY", ""},
        {"KEY=", ""},
        {"KEY=2.1", "2."},
        {"OTHER=1\nKEY=two\nKEY=three\n", "two"},
        {"KEYS=x\n", "=x"},
        {"OTHER=1\n", "unchanged"},
        {"", "unchanged"},
    };
    for (const KeywordCase& c : cases) {
        SCOPED_TRACE(c.content);
        writeWholeFile("/tmp/keywords", std::string(c.content));
        char value[kKeywordValueSize] = "unchanged";
        EXPECT_EQ(getKeywordValue("/tmp/keywords", "KEY", value), 1);
        EXPECT_STREQ(value, c.expected);
    }
}

TEST(GetKeywordValue, MissingFileLeavesTheValue) {
    char value[kKeywordValueSize] = "not found";
    testing::internal::CaptureStderr();
    EXPECT_EQ(getKeywordValue("/tmp/missing", "KEY", value), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_STREQ(value, "not found");
}

TEST(GetKeywordValue, LongLinesAreReadInPiecesAndValuesCutToTheBuffer) {
    writeWholeFile("/tmp/keywords", "KEY=" + std::string(1500, 'x') + "\n");
    std::vector<char> value(kKeywordValueSize + 8, '#');
    EXPECT_EQ(getKeywordValue("/tmp/keywords", "KEY", std::span(value.data(), kKeywordValueSize)),
              1);
    // The first read takes 1022 characters; the value runs from 4 to the piece's last one.
    EXPECT_EQ(std::string(value.data()), std::string(1017, 'x'));
    char small[8];
    EXPECT_EQ(getKeywordValue("/tmp/keywords", "KEY", small), 1);
    EXPECT_STREQ(small, "xxxxxxx");
}

class FindPSKey : public testing::Test {
protected:
    void SetUp() override {
        text.fill('#');
        bytes.fill(0xAA);
    }
    int find(const std::string& content, const char* prefix = "&02a5 = ") {
        writeWholeFile("/tmp/keys.psr", content);
        return findPSKeyInFile("/tmp/keys.psr", prefix, std::span(text.data(), kPSKeyTextSize),
                               std::span(bytes.data(), kPSKeyBytesSize));
    }
    std::vector<std::uint8_t> decoded(std::size_t n) const {
        return {bytes.begin(), bytes.begin() + static_cast<long>(n)};
    }
    // Room behind both outputs shows writes past their ends.
    std::array<char, kPSKeyTextSize + 8> text{};
    std::array<std::uint8_t, kPSKeyBytesSize + 8> bytes{};
};

TEST_F(FindPSKey, DecodesWordsLowByteFirst) {
    EXPECT_EQ(find("&02a4 = 1111\r\n&02a5 = 3132 a0Fb\r\n&02a5 = 9999\r\n"), 1);
    EXPECT_STREQ(text.data(), "3132 a0Fb\r\n");
    EXPECT_EQ(decoded(5), (std::vector<std::uint8_t>{0x32, 0x31, 0xfb, 0xa0, 0xAA}));
}

TEST_F(FindPSKey, MissingKeyOrFileWritesNothing) {
    EXPECT_EQ(find("&02a4 = 1111\r\n// &02a5 = 1111\r\n"), 0);
    EXPECT_EQ(text[0], '#');
    EXPECT_EQ(bytes[0], 0xAA);
    testing::internal::CaptureStderr();
    EXPECT_EQ(findPSKeyInFile("/tmp/missing.psr", "&02a5 = ", std::span(text.data(), 64),
                              std::span(bytes.data(), 32)),
              0);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(text[0], '#');
}

TEST_F(FindPSKey, KeyWithoutWords) {
    EXPECT_EQ(find("&02a5 = \r\n"), 1);
    EXPECT_STREQ(text.data(), "\r\n");
    EXPECT_EQ(bytes[0], 0xAA);
}

TEST_F(FindPSKey, DecodesAtMostSixteenWordsAndCopiesAtMost63Characters) {
    std::string words;
    for (int i = 0; i < 20; ++i) words += " 0" + std::to_string(i % 10) + "1" + "2";
    EXPECT_EQ(find("&02a5 =" + words + "\r\n"), 1);
    EXPECT_EQ(std::string(text.data()), words.substr(1, 63));
    EXPECT_EQ(text[kPSKeyTextSize], '#');
    EXPECT_EQ(bytes[30], 0x12);
    EXPECT_EQ(bytes[31], 0x05);
    for (std::size_t i = kPSKeyBytesSize; i < bytes.size(); ++i) EXPECT_EQ(bytes[i], 0xAA);
}

TEST_F(FindPSKey, StopsAtWordsThatAreShortOrNotHex) {
    const std::pair<const char*, std::size_t> cases[] = {
        {"&02a5 = 3132 33", 2},       {"&02a5 = 3132 3x34\r\n", 2}, {"&02a5 = 3132", 2},
        {"&02a5 = 3132\n", 2},        {"&02a5 = 3132 \r\n", 2},     {"&02a5 = 31\r\n", 0},
        {"&02a5 = 3132 // c\r\n", 2}, {"&02a5 = -1-2 3132\r\n", 0},
    };
    for (const auto& [content, count] : cases) {
        SCOPED_TRACE(content);
        bytes.fill(0xAA);
        EXPECT_EQ(find(content), 1);
        for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(bytes[i], i == 0 ? 0x32 : 0x31);
        EXPECT_EQ(bytes[count], 0xAA);
    }
}

// Cut and damaged version and key files: the check neither crashes nor reads outside its
// buffers (the sanitizer build watches that), and never touches /etc/data.txt.
TEST_F(VersionCheck, TruncatedAndDamagedFilesAreHarmless) {
    const std::string sample = PROJECT_SOURCE_PATH "/sim/sample-update/update.d/";
    const std::string data = readWholeFile(kDataPath);
    const std::string version = readWholeFile(sample + "VERSION");
    const std::string keys = readWholeFile(sample + "pskeyorig.psr");
    ASSERT_FALSE(data.empty() || version.empty() || keys.empty());
    std::mt19937 random(4711);
    auto damage = [&random](std::string content) {
        std::uniform_int_distribution<std::size_t> at(0, content.size() - 1);
        std::uniform_int_distribution<int> byte(0, 255);
        const char special[] = {'\0', '\r', '\n', ' ', '=', '&', '\xff'};
        for (int i = 0; i < 4; ++i) {
            char c =
                random() % 2 ? special[random() % sizeof special] : static_cast<char>(byte(random));
            content[at(random)] = c;
        }
        return content;
    };
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    for (int round = 0; round < 300; ++round) {
        std::string d = data, v = version, k = keys;
        switch (round % 4) {
            case 0:
                d = d.substr(0, random() % (d.size() + 1));
                break;
            case 1:
                v = v.substr(0, random() % (v.size() + 1));
                break;
            case 2:
                k = k.substr(0, random() % (k.size() + 1));
                break;
            default:
                d = damage(d);
                v = damage(v);
                k = damage(k);
        }
        writeWholeFile(kDataPath, d);
        writeWholeFile(kVersionPath, v);
        writeWholeFile(kKeysPath, k);
        unlink(kUpdateReportPath);
        componentTable = kInitialComponentTable;
        ASSERT_EQ(checkVersions(), 1);
        EXPECT_EQ(readWholeFile(kDataPath), d);
        std::string report = readWholeFile(kUpdateReportPath);
        // Every row keeps its 91 columns, whatever the values hold.
        EXPECT_EQ(report.substr(0, std::string(kHeader).size()), kHeader);
        EXPECT_EQ(report.size(), std::string(kHeader).size() + 3 * 91) << report;
    }
    testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
}

}  // namespace
