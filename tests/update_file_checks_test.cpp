// The version check and the SDP check over cut and damaged update and board files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/log.h"
#include "image/sdp_check.h"
#include "tests/support/board.h"
#include "tests/support/sdp_files.h"
#include "update/version_check.h"

namespace {

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
        end = std::min(text.find('\n', start), text.size() - 1);
        lines.push_back(text.substr(start, end + 1 - start));
    }
    return lines;
}

// Cut and damaged files of both checks: no crash, no read outside a buffer (the sanitizer
// build watches that), /etc/data.txt untouched, every version row 91 columns wide, and each
// SDP file in /etc either as it was or a complete result made of whole input lines.
TEST(UpdateFileChecks, TruncatedAndDamagedFilesNeverDamageEtc) {
    const std::string sample = PROJECT_SOURCE_PATH "/sim/sample-update/parts/";
    // VERSION as the sample update carries it.
    const std::string versions =
        "BTFIRMWARE=2114 17.3.5\nCSRMODULINFO=PS 07 SET S3A1\nLAP_VERSION=2.1.0\n";
    const char* paths[] = {"/etc/data.txt", "/tmp/update.d/VERSION", "/tmp/update.d/pskeyorig.psr"};
    const std::array<std::string, 6> originals = {readWholeFile(paths[0]),
                                                  versions,
                                                  readWholeFile(sample + "pskeyorig.psr"),
                                                  readWholeFile(kServicePath),
                                                  readWholeFile(sample + "service.txt"),
                                                  readWholeFile(kTerminalPath)};
    std::mt19937 random(1848);
    const char special[] = {'\0', '\r', '\n', ' ', '=', '&', ';', '#', '$', ',', '\xff'};
    int merges = 0;
    for (int round = 0; round < 350; ++round) {
        SCOPED_TRACE(round);
        std::array<std::string, 6> f = originals;
        if (round % 7 < 6) {
            f[round % 7].resize(random() % (f[round % 7].size() + 1));
        } else {
            for (std::string& text : f)
                for (int i = 0; i < 4; ++i)
                    text[random() % text.size()] = random() % 2 ? special[random() % sizeof special]
                                                                : static_cast<char>(random());
        }
        mkdir("/tmp/update.d", 0755);
        for (int i = 0; i < 3; ++i) writeWholeFile(paths[i], f[i]);
        unlink(kUpdateReportPath);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        checkVersions();
        testing::internal::GetCapturedStderr();
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(readWholeFile(paths[0]), f[0]);
        const std::string table = readWholeFile(kUpdateReportPath);
        EXPECT_EQ(table.rfind("OK\n     part:   ", 0), 0u) << table;
        EXPECT_EQ(table.size(), 84u + 3 * 91) << table;

        runSdpCheck(f[3], f[4], f[5]);
        const std::string service = readWholeFile(kServicePath);
        if (service != f[3]) {
            ++merges;
            std::set<std::string> known;
            for (const std::string& line : linesOf(f[3] + f[4])) known.insert(line);
            for (const std::string& line : linesOf(service)) EXPECT_TRUE(known.count(line)) << line;
        }
        const std::string terminal = readWholeFile(kTerminalPath);
        if (terminal != f[5]) {
            EXPECT_LE(linesOf(terminal).size(), linesOf(f[5]).size());
            for (const std::string& line : linesOf(terminal)) {
                EXPECT_EQ(line.back(), '\n') << terminal;
                EXPECT_TRUE(line[0] == '#' || getField(line, ";", 3) == getField(line, ";", 4));
            }
        }
    }
    // Whole-line cuts still merge: the loop saw both outcomes.
    EXPECT_GT(merges, 10);
}

}  // namespace
