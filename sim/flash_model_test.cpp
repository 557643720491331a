// The simulated flash as the daemon sees it: through the platform's device calls.
#include "sim/flash_model.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/platform.h"
#include "sim/sim_state.h"
#include "tests/support/board.h"

namespace {

std::string statePath(const char* name) { return simStatePath(name); }

std::string flashContents() { return readWholeFile(statePath(kFlashContentsFile)); }

// An open of the flash node, closed at the end of the scope.
struct OpenFlash {
    explicit OpenFlash(int flags) : fd(devOpen(kFlashModelPath, flags)) {}
    ~OpenFlash() {
        if (fd >= 0) devClose(fd);
    }
    int fd;
};

int eraseRange(int fd, std::uint32_t start, std::uint32_t length) {
    std::uint32_t record[2] = {start, length};
    return devIoctl(fd, kFlashModelErase, record);
}

ssize_t writeAt(int fd, off_t offset, const std::string& bytes) {
    if (devLseek(fd, offset, SEEK_SET) != offset) return -1;
    return devWrite(fd, bytes.data(), bytes.size());
}

TEST(FlashModel, FirstUseCreatesAnErasedFlashOfTwoMebibytes) {
    OpenFlash flash(O_RDONLY);
    ASSERT_GE(flash.fd, 0);
    EXPECT_EQ(flashContents(), std::string(0x200000, '\xFF'));
}

TEST(FlashModel, InfoAndRegionsDescribeTheConfiguredSize) {
    writeWholeFile(statePath(kFlashSizeFile), "0x400000\n");
    OpenFlash flash(O_RDONLY);
    std::uint8_t info[24];
    std::memset(info, 0xAA, sizeof info);
    ASSERT_EQ(devIoctl(flash.fd, kFlashModelGetInfo, info), 0);
    std::uint32_t size, count, reserved;
    std::memcpy(&size, info, 4);
    std::memcpy(&reserved, info + 4, 4);
    std::memcpy(&count, info + 16, 4);
    EXPECT_EQ(size, 0x400000u);
    EXPECT_EQ(reserved, 0u);
    EXPECT_EQ(count, 1u);
    std::uint32_t region[3] = {9, 9, 9};
    ASSERT_EQ(devIoctl(flash.fd, kFlashModelGetRegions, region), 0);
    EXPECT_EQ(region[0], 0u);
    EXPECT_EQ(region[1], 0x10000u);
    EXPECT_EQ(region[2], 64u);
    EXPECT_EQ(flashContents().size(), 0x400000u);
}

TEST(FlashModel, ExistingContentsAreKeptAndPaddedErased) {
    writeWholeFile(statePath(kFlashContentsFile), std::string(0x100000, 'A'));
    { OpenFlash flash(O_RDONLY); }
    std::string contents = flashContents();
    ASSERT_EQ(contents.size(), 0x200000u);
    EXPECT_EQ(contents.substr(0, 0x100000), std::string(0x100000, 'A'));
    EXPECT_EQ(contents.substr(0x100000), std::string(0x100000, '\xFF'));
}

TEST(FlashModel, ProgrammingOnlyClearsBits) {
    OpenFlash flash(O_RDWR);
    ASSERT_EQ(writeAt(flash.fd, 0x20000, std::string("\x0F\xF0\xAA", 3)), 3);
    ASSERT_EQ(writeAt(flash.fd, 0x20000, std::string("\xFF\x3C\x55", 3)), 3);
    std::string contents = flashContents();
    EXPECT_EQ(contents.substr(0x1FFFF, 5), std::string("\xFF\x0F\x30\x00\xFF", 5));
}

TEST(FlashModel, EraseSetsExactlyTheRangeToFF) {
    writeWholeFile(statePath(kFlashContentsFile), std::string(0x200000, '\0'));
    OpenFlash flash(O_RDONLY);
    ASSERT_EQ(eraseRange(flash.fd, 0x30000, 0x20000), 0);
    std::string contents = flashContents();
    EXPECT_EQ(contents.substr(0, 0x30000), std::string(0x30000, '\0'));
    EXPECT_EQ(contents.substr(0x30000, 0x20000), std::string(0x20000, '\xFF'));
    EXPECT_EQ(contents.substr(0x50000), std::string(0x1B0000, '\0'));
}

TEST(FlashModel, EraseOutsideSectorsOrTheFlashIsInvalid) {
    struct Case {
        std::uint32_t start, length;
    };
    const Case cases[] = {{0x20001, 0x10000},  {0x20000, 0xFFFF},   {0x20000, 0},
                          {0x200000, 0x10000}, {0x1F0000, 0x20000}, {0x10000, 0xFFFF0000}};
    OpenFlash flash(O_RDONLY);
    for (const Case& c : cases) {
        errno = 0;
        EXPECT_EQ(eraseRange(flash.fd, c.start, c.length), -1) << std::hex << c.start;
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(flashContents(), std::string(0x200000, '\xFF'));
}

TEST(FlashModel, WritesStopAtTheEndAndSeeksBeyondItFail) {
    OpenFlash flash(O_RDWR);
    EXPECT_EQ(writeAt(flash.fd, 0x1FFFFE, std::string(4, '\0')), 2);
    errno = 0;
    EXPECT_EQ(devWrite(flash.fd, "x", 1), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(devLseek(flash.fd, 0x200001, SEEK_SET), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(devLseek(flash.fd, -1, SEEK_END), 0x1FFFFF);
}

TEST(FlashModel, ReadOnlyOpenCannotWriteAndUnknownRequestsAreRefused) {
    OpenFlash flash(O_RDONLY);
    errno = 0;
    EXPECT_EQ(devWrite(flash.fd, "x", 1), -1);
    EXPECT_EQ(errno, EBADF);
    std::uint32_t word = 0;
    EXPECT_EQ(devIoctl(flash.fd, 0x4004460A, &word), -1);
    EXPECT_EQ(errno, ENOTTY);
}

TEST(FlashModel, FaultsStrikeTheirOperation) {
    struct Case {
        const char* fault;
        int expectedErrno;
    };
    const Case cases[] = {{"missing", ENOENT}, {"info", EIO},  {"regions", EIO},
                          {"erase", EIO},      {"write", EIO}, {"close", EIO}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        writeWholeFile(statePath(kFlashFaultFile), std::string(c.fault) + "\n");
        errno = 0;
        int fd = devOpen(kFlashModelPath, O_RDWR);
        if (std::strcmp(c.fault, "missing") == 0) {
            EXPECT_EQ(fd, -1);
            EXPECT_EQ(errno, c.expectedErrno);
            continue;
        }
        ASSERT_GE(fd, 0);
        std::uint8_t record[24] = {};
        std::uint32_t range[2] = {0x20000, 0x10000};
        int info = devIoctl(fd, kFlashModelGetInfo, record);
        int regions = devIoctl(fd, kFlashModelGetRegions, record);
        int erase = devIoctl(fd, kFlashModelErase, range);
        ssize_t written = devWrite(fd, "x", 1);
        int closed = devClose(fd);
        std::string f = c.fault;
        EXPECT_EQ(info, f == "info" ? -1 : 0);
        EXPECT_EQ(regions, f == "regions" ? -1 : 0);
        EXPECT_EQ(erase, f == "erase" ? -1 : 0);
        EXPECT_EQ(written, f == "write" ? -1 : 1);
        EXPECT_EQ(closed, f == "close" ? -1 : 0);
    }
}

TEST(FlashModel, SizeZeroFaultReportsAnEmptyFlash) {
    writeWholeFile(statePath(kFlashFaultFile), "size0\n");
    OpenFlash flash(O_RDONLY);
    std::uint32_t info[6] = {};
    ASSERT_EQ(devIoctl(flash.fd, kFlashModelGetInfo, info), 0);
    EXPECT_EQ(info[0], 0u);
}

TEST(FlashModel, CountedFaultLetsTheFirstOperationsThrough) {
    writeWholeFile(statePath(kFlashFaultFile), "write 2\n");
    OpenFlash flash(O_RDWR);
    EXPECT_EQ(devWrite(flash.fd, "a", 1), 1);
    EXPECT_EQ(readWholeFile(statePath(kFlashFaultFile)), "write 1\n");
    EXPECT_EQ(devWrite(flash.fd, "b", 1), 1);
    EXPECT_EQ(devWrite(flash.fd, "c", 1), -1);
    EXPECT_EQ(devWrite(flash.fd, "d", 1), -1);
    EXPECT_EQ(flashContents().substr(0, 3), "ab\xFF");
}

TEST(FlashModel, ShortWriteTakesHalfAndInterruptedWriteTakesNothing) {
    writeWholeFile(statePath(kFlashFaultFile), "shortwrite\n");
    {
        OpenFlash flash(O_RDWR);
        EXPECT_EQ(devWrite(flash.fd, "abcdefgh", 8), 4);
        EXPECT_EQ(devWrite(flash.fd, "z", 1), 1);
    }
    EXPECT_EQ(flashContents().substr(0, 6), "abcdz\xFF");
    writeWholeFile(statePath(kFlashFaultFile), "eintr\n");
    OpenFlash flash(O_RDWR);
    ASSERT_EQ(devLseek(flash.fd, 0x100, SEEK_SET), 0x100);
    errno = 0;
    EXPECT_EQ(devWrite(flash.fd, "xy", 2), -1);
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(devWrite(flash.fd, "xy", 2), 2);
    EXPECT_EQ(flashContents().substr(0x100, 3), "xy\xFF");
}

}  // namespace
