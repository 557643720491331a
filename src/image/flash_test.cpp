#include "image/flash.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/log.h"
#include "sim/flash_model.h"
#include "sim/sim_state.h"
#include "tests/support/board.h"
#include "tests/support/logged.h"

namespace {

TEST(Flash, ConfigSectorFollowsTheFlashSize) {
    writeWholeFile(simStatePath(kFlashFaultFile), "size0");
    const std::string unknown = "Flash info not available; can't determine size \n";
    EXPECT_EQ(loggedBy(checkFlashConfig), "ERR checkFlashConfig: " + unknown);
    EXPECT_EQ(flashLayout.configSectorStart, kDefaultConfigSectorStart);
    writeWholeFile(simStatePath(kFlashFaultFile), "");
    writeWholeFile(simStatePath(kFlashSizeFile), "4194304");
    EXPECT_EQ(loggedBy(checkFlashConfig),
              "LOG checkFlashConfig: Flash size =  4194304 (0x400000); LAP config file sector "
              "starts at 0x3F0000\n");
    EXPECT_EQ(flashLayout.configSectorStart, 0x3F0000u);
    EXPECT_EQ(readWholeFile(kUpdateReportPath), unknown);  // the log line is not reported
    flashLayout.configSectorStart = kDefaultConfigSectorStart;
}

TEST(Flash, NothingToWriteIsAFailure) {
    const std::uint8_t data[] = {0};
    EXPECT_EQ(loggedBy([&] { EXPECT_EQ(writeFlash(0x20000, data, 0), -1); }),
              "ERR writeFlash: write failed errno: 0 Success\n");
    EXPECT_EQ(readWholeFile(kUpdateReportPath), "write failed errno: 0 Success\n");
}

}  // namespace
