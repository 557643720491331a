// The SDP check on the board's files, for the tests of the check and of the update's files.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "core/log.h"
#include "image/sdp_check.h"
#include "tests/support/board.h"

inline constexpr const char* kServicePath = "/etc/service.txt";
inline constexpr const char* kTerminalPath = "/etc/terminal.txt";

// Installs the files, with stale temporary files of an earlier run, and runs the check of
// step CHECK_SDP; the temporary files must be gone afterwards. The check's result.
inline int runSdpCheck(const std::string& current, const std::string& update,
                       const std::string& terminal) {
    mkdir("/tmp/update.d", 0755);
    writeWholeFile(kServicePath, current);
    writeWholeFile("/tmp/update.d/service.txt", update);
    writeWholeFile(kTerminalPath, terminal);
    writeWholeFile("/tmp/sdp.txt", "stale;record;9;K9;x\n");
    writeWholeFile("/tmp/tmp.txt", "9;stale;;;\n");
    unlink(kUpdateReportPath);
    testing::internal::CaptureStderr();
    int result = checkSdpRecords(kServicePath, "/tmp/update.d/service.txt");
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(fileExists("/tmp/sdp.txt"));
    EXPECT_FALSE(fileExists("/tmp/tmp.txt"));
    return result;
}
