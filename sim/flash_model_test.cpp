// The simulated flash as the daemon sees it: through the platform's device calls.
#include "sim/flash_model.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/platform.h"
#include "sim/sim_state.h"
#include "tests/support/board.h"

namespace {

TEST(FlashModel, EraseSetsAllBitsAndProgrammingOnlyClearsThem) {
    writeWholeFile(simStatePath(kFlashContentsFile), std::string(0x200000, '\0'));
    int fd = devOpen(kFlashModelPath, O_RDWR);
    std::uint32_t range[2] = {0x20000, 0x10000};
    EXPECT_EQ(devIoctl(fd, kFlashModelErase, range), 0);
    for (const char* bytes : {"\x0F\xF0\xAA", "\xFF\x3C\x55"}) {
        ASSERT_EQ(devLseek(fd, 0x20001, SEEK_SET), 0x20001);
        ASSERT_EQ(devWrite(fd, bytes, 3), 3);
    }
    devClose(fd);
    std::string flash = readWholeFile(simStatePath(kFlashContentsFile));
    EXPECT_EQ(flash.substr(0x1FFFF, 6), std::string("\0\xFF\x0F\x30\x00\xFF", 6));
    EXPECT_EQ(flash.substr(0x20004, 0xFFFD), std::string(0xFFFC, '\xFF') + '\0');
}

}  // namespace
