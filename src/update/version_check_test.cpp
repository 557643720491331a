#include "update/version_check.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
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
// Settings mark "mark" and firmware "build" meaning "version" with settings code "code".
std::string keys(const std::string& build, const std::string& version, const std::string& code,
                 const std::string& mark) {
    return "// module settings\r\n" + keyLine("02a4", mark) +
           keyLine("02a5", "PRLFW " + version + " " + build + " " + code);
}

// The installed module: firmware build 1958, settings code 05, settings mark S2C4.
const std::string kInstalledData =
    "DEVICE=BT-LAP access point\r\n"
    "BTFIRMWARE=1958 16.4.0\r\n"
    "CSRMODULINFO=PRL-M2;SN 00804712AB34;HW 03;FW 1958;SET S2C4;PS 05\r\n"
    "LAP_VERSION=2.0.3\r\n";
constexpr const char* kOpenError = "open error file /etc/data.txt: 0x02 No such file or directory";
constexpr const char* kKeysError =
    "open error file /tmp/update.d/pskeyorig.psr: 0x02 No such file or directory";

void put(const char* path, const std::optional<std::string>& content) {
    mkdir("/tmp/update.d", 0755);
    if (content)
        writeWholeFile(path, *content);
    else
        unlink(path);
}

// Runs the check; returns what it printed on standard output.
std::string check() {
    unlink(kUpdateReportPath);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(checkVersions(), 1);
    testing::internal::GetCapturedStderr();
    return testing::internal::GetCapturedStdout();
}

// Old and new value of each component; the update column shows its flag ('0' or '1').
struct VersionCase {
    const char* name;
    std::optional<std::string> data, keys, version;
    bool cleared;
    const char* output;
    const char *firmware, *newFirmware, *psKeys, *newPSKeys, *software, *newSoftware, *flags;
};

TEST(CheckVersions, ComparesTheThreeComponents) {
    const std::string installed = kInstalledData;
    const VersionCase cases[] = {
        // The installed values end in CR LF, the new ones in LF: still equal.
        {"current", installed, keys("1958", "16.4.0", "05", "S2C4"),
         "BTFIRMWARE=1958\nLAP_VERSION=2.0.3\n", false, "old 2.0.3 : new 2.0.3\n", "1958",
         "1958 means 16.4.0", "05 S2C4", "05 S2C4", "2.0.3", "2.0.3", "000"},
        {"no installed versions", std::nullopt, keys("2114", "17.3.5", "07", "S3A1"),
         "LAP_VERSION=2.1.0\n", false, "old not foun : new 2.1.0\n", "not ", "2114 means 17.3.5",
         "un ", "07 S3A1", "not foun", "2.1.0", "111"},
        // The new firmware comes from the key, not from VERSION; with it, the PS-Keys are
        // written anew though code and mark are the same.
        {"new firmware", installed, keys("2114", "17.3.5", "05", "S2C4"),
         "BTFIRMWARE=1958 16.4.0\nLAP_VERSION=2.0.3\n", false, "old 2.0.3 : new 2.0.3\n", "1958",
         "2114 means 17.3.5", "05 S2C4", "05 S2C4", "2.0.3", "2.0.3", "110"},
        {"settings code", installed, keys("1958", "16.4.0", "06", "S2C4"), "LAP_VERSION=2.0.3\n",
         false, "old 2.0.3 : new 2.0.3\n", "1958", "1958 means 16.4.0", "05 S2C4", "06 S2C4",
         "2.0.3", "2.0.3", "010"},
        // A difference never sets a cleared flag back, except the settings mark, which wants
        // the PS-Keys even when the codes are equal.
        {"cleared flags", installed, keys("2114", "17.3.5", "07", "S3A1"), "LAP_VERSION=2.1.0\n",
         true, "old 2.0.3 : new 2.1.0\n", "1958", "2114 means 17.3.5", "05 S2C4", "07 S3A1",
         "2.0.3", "2.1.0", "010"},
        // Without the settings key the mark is the firmware key's first bytes.
        {"no settings key", installed, keyLine("02a5", "S2C4W 16.4.0 1958 05"),
         "LAP_VERSION=2.0.3\n", false, "old 2.0.3 : new 2.0.3\n", "1958", "1958 means 16.4.0",
         "05 S2C4", "05 S2C4", "2.0.3", "2.0.3", "000"},
        {"no key file", installed, std::nullopt, "LAP_VERSION=2.0.3\n", false,
         "old 2.0.3 : new 2.0.3\n", "1958", " means ", "05 S2C4", " ", "2.0.3", "2.0.3", "110"},
    };
    for (const VersionCase& c : cases) {
        SCOPED_TRACE(c.name);
        put(kDataPath, c.data);
        put(kKeysPath, c.keys);
        put(kVersionPath, c.version);
        componentTable = kInitialComponentTable;
        for (int i = 0; i < 3 && c.cleared; ++i) componentTable[i].needsUpdate = 0;
        EXPECT_EQ(check(), c.output);
        // Each row follows the open errors of the files it read.
        const std::string d = c.data ? "" : kOpenError, k = c.keys ? "" : kKeysError;
        const std::string report =
            k + kHeader + d +
            row("Parlo Firmware ...", c.firmware, c.newFirmware, c.flags[0] == '1') + d + k +
            row("PS-Key         ...", c.psKeys, c.newPSKeys, c.flags[1] == '1') + d +
            row("qvl Software   ...", c.software, c.newSoftware, c.flags[2] == '1');
        EXPECT_EQ(readWholeFile(kUpdateReportPath), report);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(componentTable[i].needsUpdate, c.flags[i] - '0');
    }
    componentTable = kInitialComponentTable;
}

TEST(CheckVersions, ColumnsAreCutAndPadded) {
    put(kDataPath, "LAP_VERSION=0123456789abcdefghijklmnopqrstuvwxyz\r\n");
    put(kKeysPath, "");
    put(kVersionPath, "LAP_VERSION=ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\n");
    componentTable = kInitialComponentTable;
    componentTable[2].label = "qvl Software of the access point";
    check();
    const std::string report = readWholeFile(kUpdateReportPath);
    EXPECT_EQ(report.substr(report.rfind('\n')),
              "\n   qvl Software of the 0123456789abcdefghijklm ABCDEFGHIJKLMNOPQRSTUV "
              "    yes             ");
    componentTable = kInitialComponentTable;
}

TEST(GetKeywordValue, TakesTheTextAfterTheSeparatorWithoutTheLastCharacter) {
    const std::pair<const char*, const char*> cases[] = {
        {"KEY=value\n", "value"}, {"KEY=value\r\n", "value\r"},
        {"KEY:value\n", "value"}, {"KEY", ""},
        {"KEY=2.1", "2."},        {"OTHER=1\nKEY=two\nKEY=three\n", "two"},
        {"KEYS=x\n", "=x"},       {"OTHER=1\n", "unchanged"},
        {nullptr, "unchanged"},
    };
    for (const auto& [content, expected] : cases) {
        SCOPED_TRACE(content ? content : "no file");
        put("/tmp/keywords", content ? std::optional<std::string>(content) : std::nullopt);
        char value[kKeywordValueSize] = "unchanged";
        testing::internal::CaptureStderr();
        EXPECT_EQ(getKeywordValue("/tmp/keywords", "KEY", value), content ? 1 : -1);
        testing::internal::GetCapturedStderr();
        EXPECT_STREQ(value, expected);
    }
    // Long lines are read in pieces of 1022 characters; values are cut to the buffer.
    writeWholeFile("/tmp/keywords", "KEY=" + std::string(1500, 'x') + "\n");
    std::vector<char> value(kKeywordValueSize + 8, '#');
    EXPECT_EQ(getKeywordValue("/tmp/keywords", "KEY", std::span(value.data(), kKeywordValueSize)),
              1);
    EXPECT_EQ(std::string(value.data()), std::string(1017, 'x'));
    char small[8];
    EXPECT_EQ(getKeywordValue("/tmp/keywords", "KEY", small), 1);
    EXPECT_STREQ(small, "xxxxxxx");
}

// Room behind both outputs shows writes past their ends.
struct FoundKey {
    int found;
    std::array<char, kPSKeyTextSize + 8> text;
    std::array<std::uint8_t, kPSKeyBytesSize + 8> bytes;
};
FoundKey findKey(const std::string& content) {
    FoundKey key{};
    key.text.fill('#');
    key.bytes.fill(0xAA);
    writeWholeFile("/tmp/keys.psr", content);
    key.found =
        findPSKeyInFile("/tmp/keys.psr", "&02a5 = ", std::span(key.text.data(), kPSKeyTextSize),
                        std::span(key.bytes.data(), kPSKeyBytesSize));
    return key;
}

TEST(FindPSKey, DecodesWordsLowByteFirstUpToTheFirstBadWord) {
    struct Case {
        const char* content;
        const char* text;  // nullptr: not found, nothing written
        std::vector<std::uint8_t> bytes;
    };
    const Case cases[] = {
        {"&02a4 = 1111\r\n&02a5 = 3132 a0Fb\r\n&02a5 = 9999\r\n",
         "3132 a0Fb\r\n",
         {0x32, 0x31, 0xfb, 0xa0}},
        {"&02a4 = 1111\r\n// &02a5 = 1111\r\n", nullptr, {}},
        {"&02a5 = \r\n", "\r\n", {}},
        {"&02a5 = 3132 33", "3132 33", {0x32, 0x31}},
        {"&02a5 = 3132 3x34\r\n", "3132 3x34\r\n", {0x32, 0x31}},
        {"&02a5 = 31\r\n", "31\r\n", {}},
        {"&02a5 = -1-2 3132\r\n", "-1-2 3132\r\n", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        FoundKey key = findKey(c.content);
        EXPECT_EQ(key.found, c.text ? 1 : 0);
        if (c.text)
            EXPECT_STREQ(key.text.data(), c.text);
        else
            EXPECT_EQ(key.text[0], '#');
        EXPECT_TRUE(std::equal(c.bytes.begin(), c.bytes.end(), key.bytes.begin()));
        EXPECT_EQ(key.bytes[c.bytes.size()], 0xAA);
    }
}

TEST(FindPSKey, DecodesAtMostSixteenWordsAndCopiesAtMost63Characters) {
    std::string words;
    for (int i = 0; i < 20; ++i) words += " 0" + std::to_string(i % 10) + "12";
    FoundKey key = findKey("&02a5 =" + words + "\r\n");
    EXPECT_EQ(std::string(key.text.data()), words.substr(1, 63));
    EXPECT_EQ(key.text[kPSKeyTextSize], '#');
    EXPECT_EQ(key.bytes[30], 0x12);
    EXPECT_EQ(key.bytes[31], 0x05);
    for (std::size_t i = kPSKeyBytesSize; i < key.bytes.size(); ++i) EXPECT_EQ(key.bytes[i], 0xAA);
}

}  // namespace
