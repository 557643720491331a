#include "image/flash.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "core/error_codes.h"
#include "core/log.h"
#include "core/platform.h"

FlashLayout flashLayout;

namespace {

// The helpers below report in the name of the operation that called them (function).

int openFlash(const char* function, int mode) {
    int fd = devOpen(kFlashDevicePath, mode);
    if (fd < 0) {
        UPDATE_ERR_AS(function, LogLevel::Critical, kErrorOperationFailed,
                      "open device_%s in mode_%d failed! errno: %d %m\n", kFlashDevicePath, mode,
                      errno);
    }
    return fd;
}

// 1, or -1 (logged) when the device reports a failure on closing.
int closeFlash(const char* function, int fd) {
    if (devClose(fd) != 0) {
        UPDATE_ERR_AS(function, LogLevel::Critical, kErrorOperationFailed,
                      "close failed errno: %d %m\n", errno);
        return -1;
    }
    return 1;
}

// 1, or -1 (logged, the device closed) when the request fails.
int flashRequest(const char* function, int fd, unsigned long request, void* record) {
    int result = devIoctl(fd, request, record);
    if (result < 0) {
        UPDATE_ERR_AS(function, LogLevel::Critical, kErrorOperationFailed,
                      "ioctl failed:%d errno: %d %m\n", result, errno);
        devClose(fd);
        return -1;
    }
    return 1;
}

}  // namespace

std::int32_t getFlashInfoUpdate() {
    int fd = openFlash(__func__, O_RDONLY);
    if (fd < 0) return -1;
    FlashInfo info{};
    if (flashRequest(__func__, fd, FLASH_GET_INFO, &info) < 0) return -1;
    // The device fills one record per erase region: a count beyond the buffer would have it
    // write past the buffer's end.
    if (info.regionCount > kMaxFlashRegions) {
        UPDATE_ERR(LogLevel::Critical, kErrorOperationFailed,
                   "flash reports %u erase regions, at most %u are supported\n",
                   static_cast<unsigned>(info.regionCount),
                   static_cast<unsigned>(kMaxFlashRegions));
        devClose(fd);
        return -1;
    }
    std::array<FlashRegion, kMaxFlashRegions> regions{};
    if (flashRequest(__func__, fd, FLASH_GET_REGIONS, regions.data()) < 0) return -1;
    if (closeFlash(__func__, fd) < 0) return -1;
    return static_cast<std::int32_t>(info.totalSize);
}

void checkFlashConfig() {
    std::int32_t size = getFlashInfoUpdate();
    // A flash no larger than the configuration sector itself can't be right: placing the
    // sector from it would put the end of the image area below its start.
    if (size > static_cast<std::int32_t>(configSectorSize)) {
        flashLayout.configSectorStart = static_cast<std::uint32_t>(size) - configSectorSize;
        flashLayout.sizeKnown = true;
        UPDATE_LOG(LogLevel::Warning,
                   "Flash size =  %d (0x%06X); LAP config file sector starts at 0x%06X\n",
                   static_cast<int>(size), static_cast<unsigned>(size),
                   static_cast<unsigned>(flashLayout.configSectorStart));
    } else {
        UPDATE_ERR(LogLevel::Critical, kErrorWriteOrEvent,
                   "Flash info not available; can't determine size \n");
    }
}

bool recheckFlashConfig() {
    if (!flashLayout.sizeKnown) checkFlashConfig();
    return flashLayout.sizeKnown;
}

int eraseFlash(std::uint32_t start, std::uint32_t length) {
    int fd = openFlash(__func__, O_RDONLY);
    if (fd < 0) return -1;
    FlashEraseRange range{start, length};
    if (flashRequest(__func__, fd, FLASH_ERASE, &range) < 0) return -1;
    return closeFlash(__func__, fd);
}

int writeFlash(std::uint32_t offset, const std::uint8_t* data, std::uint32_t length) {
    int fd = openFlash(__func__, O_RDWR);
    if (fd < 0) return -1;
    if (devLseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
        UPDATE_ERR(LogLevel::Critical, kErrorOperationFailed, "lseek failed errno: %d %m\n", errno);
        devClose(fd);
        return -1;
    }
    // The device may take fewer bytes than offered, or be interrupted by a signal (the
    // step's alarm, a child's end): what is left is offered again until all is written.
    // Nothing offered at all is a failure too, as is a device that takes nothing.
    std::uint32_t written = 0;
    for (;;) {
        std::uint32_t left = length - written;
        errno = 0;
        ssize_t count = devWrite(fd, data + written, left);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0 || static_cast<std::size_t>(count) > left) {
            UPDATE_ERR(LogLevel::Critical, kErrorOperationFailed, "write failed errno: %d %m\n",
                       errno);
            devClose(fd);
            return -1;
        }
        written += static_cast<std::uint32_t>(count);
        if (written == length) break;
    }
    UPDATE_LOG(LogLevel::Detail, "%u bytes written at 0x%X\n", static_cast<unsigned>(written),
               static_cast<unsigned>(offset));
    return closeFlash(__func__, fd);
}

int readFlash(std::uint32_t offset, std::uint8_t* data, std::uint32_t length) {
    int fd = openFlash(__func__, O_RDONLY);
    if (fd < 0) return -1;
    if (devLseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
        UPDATE_ERR(LogLevel::Critical, kErrorOperationFailed, "lseek failed errno: %d %m\n", errno);
        devClose(fd);
        return -1;
    }
    std::uint32_t read = 0;
    while (read < length) {
        errno = 0;
        ssize_t count = devRead(fd, data + read, length - read);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0 || static_cast<std::size_t>(count) > length - read) {
            UPDATE_ERR(LogLevel::Critical, kErrorOperationFailed, "read failed errno: %d %m\n",
                       errno);
            devClose(fd);
            return -1;
        }
        read += static_cast<std::uint32_t>(count);
    }
    return closeFlash(__func__, fd);
}
