// The DFU stand-in's download: the bytes that a firmware file puts on the module's line (its
// own, SLIP's escapes, each 256-byte block's framing), which it waits for and logs so that a
// rehearsal counts the same; and its first status, which comes before any of its checks.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "sim/sim_state.h"
#include "tests/support/board.h"

namespace {

TEST(DfuStandIn, LogsTheBytesThatTheDownloadPutsOnTheLine) {
    writeWholeFile(simStatePath("insmod.log"),
                   "/tmp/update.d/linabcsp_uart.o\n/tmp/update.d/bcsp.o\n"
                   "/tmp/update.d/linabcsp_upChan.o\n");
    writeWholeFile(simStatePath("dfu.seconds"), "0\n");
    writeWholeFile(simStatePath("module.baud"), "0\n");
    // 600 bytes: three blocks, two of the bytes escaped.
    std::string firmware = "firmware 2200 18.0.0\n";
    firmware += std::string("\xc0\xdb", 2);
    firmware.resize(600, 'x');
    writeWholeFile("/tmp/stack.dfu", firmware);
    const std::string command =
        std::string(PROJECT_SOURCE_PATH) + "/sim/dfu-standin/dfu -dr /tmp/stack.dfu";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string log = readWholeFile(simStatePath("dfu.log"));
    EXPECT_NE(log.find(" download 600 bytes, 746 on the line\n"), std::string::npos) << log;
    EXPECT_EQ(readWholeFile(simStatePath("module.firmware")), "2200 18.0.0\n");
}

// The daemon reads the status a pause after the start: it is there before the checks, which
// start programs that a busy machine may run late, whatever they find.
TEST(DfuStandIn, WritesItsFirstStatusBeforeItsChecks) {
    const std::string command =
        std::string(PROJECT_SOURCE_PATH) + "/sim/dfu-standin/dfu -dr /tmp/missing.dfu 2>/dev/null";
    ASSERT_NE(std::system(command.c_str()), 0);
    EXPECT_EQ(readWholeFile("/tmp/dfu_status.log"), "   0 starting\n");
    EXPECT_EQ(readWholeFile("/tmp/dfu_error.log"),
              "dfu: can't read the firmware file /tmp/missing.dfu\n");
}

}  // namespace
