#include "update/version_check.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>

#include "core/log.h"
#include "tests/support/board.h"
#include "update/update_state.h"

namespace {

constexpr const char* kKeysPath = "/tmp/update.d/pskeyorig.psr";

void put(const char* path, const std::optional<std::string>& content) {
    mkdir("/tmp/update.d", 0755);
    content ? writeWholeFile(path, *content) : (void)unlink(path);
}
std::string column(std::string text, std::size_t width) {
    text.resize(width, ' ');
    return text;
}
std::string row(const char* label, const char* oldValue, const char* newValue, char flag) {
    return "\n   " + column(label, 19) + " " + column(oldValue, 23) + " " + column(newValue, 22) +
           " " + column(flag == '1' ? "    yes" : "    no", 20);
}
// A PS-Key line: each pair of characters is one word, the first character its low byte.
std::string keyLine(const char* key, std::string bytes) {
    bytes.resize((bytes.size() + 1) / 2 * 2, '\0');
    std::string line = std::string("&") + key + " =";
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        char word[8];
        std::snprintf(word, sizeof word, " %02x%02x", bytes[i + 1] & 0xff, bytes[i] & 0xff);
        line += word;
    }
    return line + "\r\n";
}
// Settings mark, then the firmware key: "version build settings-code".
std::string keys(const char* mark, const std::string& firmware) {
    return "// module settings\r\n" + keyLine("02a4", mark) + keyLine("02a5", "PRLFW " + firmware);
}

TEST(CheckVersions, ComparesTheThreeComponents) {
    // The installed module: firmware build 1958, settings code 05, settings mark S2C4.
    const std::string installed =
        "DEVICE=BT-LAP access point\r\nBTFIRMWARE=1958 16.4.0\r\n"
        "CSRMODULINFO=PRL-M2;SN 00804712AB34;HW 03;FW 1958;SET S2C4;PS 05\r\nLAP_VERSION=2.0.3\r\n";
    std::string lfOnly = installed;
    for (std::size_t at; (at = lfOnly.find('\r')) != std::string::npos;) lfOnly.erase(at, 1);
    const std::string same = keys("S2C4", "16.4.0 1958 05"), next = keys("S3A1", "17.3.5 2114 07");
    const std::string missing = ": 0x02 No such file or directory";
    const struct {
        const char* name;
        std::optional<std::string> data, keys, version;
        bool cleared;
        const char *output, *firmware, *newFirmware, *psKeys, *newPsKeys, *software, *newSoftware,
            *flags;
    } cases[] = {
        // The installed values end in CR LF, the new ones in LF: still equal.
        {"current", installed, same, "BTFIRMWARE=1958\nLAP_VERSION=2.0.3\n", false,
         "old 2.0.3 : new 2.0.3\n", "1958", "1958 means 16.4.0", "05 S2C4", "05 S2C4", "2.0.3",
         "2.0.3", "000"},
        // An installed line without a CR keeps its value whole: "not found" too.
        {"no installed versions", std::nullopt, next, "LAP_VERSION=2.1.0\n", false,
         "old not found : new 2.1.0\n", "not ", "2114 means 17.3.5", "nd ", "07 S3A1", "not found",
         "2.1.0", "111"},
        // A file with LF line ends reads as the CR LF one: nothing is one character short.
        {"LF line ends", lfOnly, same, "LAP_VERSION=2.0.3\n", false, "old 2.0.3 : new 2.0.3\n",
         "1958", "1958 means 16.4.0", "05 S2C4", "05 S2C4", "2.0.3", "2.0.3", "000"},
        // The new firmware comes from the key, not from VERSION; with it, the PS-Keys are
        // written anew though code and mark are the same.
        {"new firmware", installed, keys("S2C4", "17.3.5 2114 05"),
         "BTFIRMWARE=1958 16.4.0\nLAP_VERSION=2.0.3\n", false, "old 2.0.3 : new 2.0.3\n", "1958",
         "2114 means 17.3.5", "05 S2C4", "05 S2C4", "2.0.3", "2.0.3", "110"},
        // A difference never sets a cleared flag back, except the settings mark.
        {"cleared flags", installed, next, "LAP_VERSION=2.1.0\n", true, "old 2.0.3 : new 2.1.0\n",
         "1958", "2114 means 17.3.5", "05 S2C4", "07 S3A1", "2.0.3", "2.1.0", "010"},
        {"no key file", installed, std::nullopt, "LAP_VERSION=2.0.3\n", false,
         "old 2.0.3 : new 2.0.3\n", "1958", " means ", "05 S2C4", " ", "2.0.3", "2.0.3", "110"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        put("/etc/data.txt", c.data);
        put(kKeysPath, c.keys);
        put("/tmp/update.d/VERSION", c.version);
        componentTable = kInitialComponentTable;
        for (int i = 0; i < 3 && c.cleared; ++i) componentTable[i].needsUpdate = 0;
        unlink(kUpdateReportPath);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(checkVersions(), 1);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output);
        // Each row follows the open errors of the files it read.
        const std::string d = c.data ? "" : "open error file /etc/data.txt" + missing;
        const std::string k = c.keys ? "" : "open error file " + std::string(kKeysPath) + missing;
        EXPECT_EQ(readWholeFile(kUpdateReportPath),
                  k +
                      "OK\n     part:            |     old version      |      new version      |"
                      "   update ?" +
                      d + row("Parlo Firmware ...", c.firmware, c.newFirmware, c.flags[0]) + d + k +
                      row("PS-Key         ...", c.psKeys, c.newPsKeys, c.flags[1]) + d +
                      row("qvl Software   ...", c.software, c.newSoftware, c.flags[2]));
        for (int i = 0; i < 3; ++i) EXPECT_EQ(componentTable[i].needsUpdate, c.flags[i] - '0');
    }
    componentTable = kInitialComponentTable;
}

}  // namespace
