// The flash device "/dev/flash0" and the layout of the flash.
//
// The access point's software image lies in the image area from imageAreaStart up to the
// sector of the LAP configuration file, which takes the last configSectorSize bytes of the
// flash. Every operation opens the device, does its work and closes it again.
#pragma once

#include <sys/ioctl.h>

#include <cstddef>
#include <cstdint>

inline constexpr char kFlashDevicePath[] = "/dev/flash0";

// The sector of the LAP configuration file; start-up moves it to the end of the flash.
inline constexpr std::uint32_t kDefaultConfigSectorStart = 0x1F0000;
struct FlashLayout {
    std::uint32_t configSectorStart = kDefaultConfigSectorStart;
    // Whether configSectorStart was placed from the size that the flash reported. Until then
    // it is a guess, by which nothing is written.
    bool sizeKnown = false;
};
extern FlashLayout flashLayout;
// Size of that sector, and the number of image bytes written per pass.
inline constexpr std::uint32_t configSectorSize = 0x10000;
// Flash offset of the software image.
inline constexpr std::uint32_t imageAreaStart = 0x20000;
// Length of one erase, and the step from one written sector to the next.
inline constexpr std::uint32_t sectorSize = 0x10000;

// The device's records, in the machine's own byte order.
struct FlashInfo {
    std::uint32_t totalSize;  // bytes
    std::uint32_t reserved1[3];
    std::uint32_t regionCount;  // erase regions
    std::uint32_t reserved2;
};
struct FlashRegion {
    std::uint32_t regionOffset;
    std::uint32_t regionSectorSize;
    std::uint32_t regionSectorCount;
};
struct FlashEraseRange {
    std::uint32_t eraseStart;
    std::uint32_t eraseLength;
};
static_assert(sizeof(FlashInfo) == 24 && offsetof(FlashInfo, regionCount) == 16);
static_assert(sizeof(FlashRegion) == 12 && offsetof(FlashRegion, regionSectorCount) == 8);
static_assert(sizeof(FlashEraseRange) == 8 && offsetof(FlashEraseRange, eraseLength) == 4);

// Encoded by the machine's own ioctl convention (0x40184601, 0x400C4602, 0x80084603 on the
// board).
inline constexpr unsigned long FLASH_GET_INFO = _IOR('F', 1, FlashInfo);
inline constexpr unsigned long FLASH_GET_REGIONS = _IOR('F', 2, FlashRegion);
inline constexpr unsigned long FLASH_ERASE = _IOW('F', 3, FlashEraseRange);

// More erase regions than this are not taken from the device.
inline constexpr std::uint32_t kMaxFlashRegions = 64;

// The flash size in bytes, or -1 (logged).
std::int32_t getFlashInfoUpdate();

// Places the LAP configuration sector at the end of the flash, from the flash size; the
// default layout stays when the size can't be had.
void checkFlashConfig();

// Before the flash is written: asks the flash for its size again (checkFlashConfig) when it
// couldn't be had before. True when the layout follows the flash's real size.
bool recheckFlashConfig();

// Erases length bytes from start. 1, or -1 (logged).
int eraseFlash(std::uint32_t start, std::uint32_t length);

// Writes length bytes of data at offset, all of them. 1, or -1 (logged).
int writeFlash(std::uint32_t offset, const std::uint8_t* data, std::uint32_t length);

// Reads length bytes at offset into data, all of them. 1, or -1 (logged).
int readFlash(std::uint32_t offset, std::uint8_t* data, std::uint32_t length);
