// The simulated flash as the daemon sees it: through the platform's device calls. What the
// flash operations' own tests already show through the model is not repeated here.
#include "sim/flash_model.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "core/platform.h"
#include "sim/sim_state.h"
#include "tests/support/board.h"

namespace {

std::string flashContents() { return readWholeFile(simStatePath(kFlashContentsFile)); }

// An open of the flash node, closed at the end of the scope.
struct OpenFlash {
    explicit OpenFlash(int flags) : fd(devOpen(kFlashModelPath, flags)) {}
    ~OpenFlash() {
        if (fd >= 0) devClose(fd);
    }
    int fd;
};

TEST(FlashModel, ProgrammingOnlyClearsBits) {
    OpenFlash flash(O_RDWR);
    for (const char* bytes : {"\x0F\xF0\xAA", "\xFF\x3C\x55"}) {
        ASSERT_EQ(devLseek(flash.fd, 0x20000, SEEK_SET), 0x20000);
        ASSERT_EQ(devWrite(flash.fd, bytes, 3), 3);
    }
    EXPECT_EQ(flashContents().substr(0x1FFFF, 5), std::string("\xFF\x0F\x30\x00\xFF", 5));
}

TEST(FlashModel, InvalidRequestsAreRefused) {
    OpenFlash flash(O_RDONLY);
    std::uint32_t record[2] = {0x1F0000, 0x20000};  // reaches beyond the flash
    errno = 0;
    EXPECT_EQ(devIoctl(flash.fd, kFlashModelErase, record), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(flashContents(), std::string(0x200000, '\xFF'));  // first use: all erased
    EXPECT_EQ(devWrite(flash.fd, "x", 1), -1);                  // opened read-only
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(devIoctl(flash.fd, 0x4004460A, record), -1);
    EXPECT_EQ(errno, ENOTTY);
}

// The flash operations' tests rely on these to take their retry paths.
TEST(FlashModel, ShortAndInterruptedWrites) {
    OpenFlash flash(O_RDWR);
    writeWholeFile(simStatePath(kFlashFaultFile), "shortwrite\n");
    EXPECT_EQ(devWrite(flash.fd, "abcdefgh", 8), 4);
    EXPECT_EQ(devWrite(flash.fd, "z", 1), 1);
    writeWholeFile(simStatePath(kFlashFaultFile), "eintr\n");
    errno = 0;
    EXPECT_EQ(devWrite(flash.fd, "xy", 2), -1);
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(devWrite(flash.fd, "xy", 2), 2);
    EXPECT_EQ(flashContents().substr(0, 8), "abcdzxy\xFF");
}

}  // namespace
