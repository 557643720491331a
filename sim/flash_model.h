// The simulated board's flash, "/dev/flash0": a NOR flash of 64 KiB sectors.
//
// State, in files under /sim/state:
//   flash.bin    the flash contents, created on first use at the flash size and filled with
//                0xFF (erased); when its length differs from the flash size it is cut or
//                padded with 0xFF. A test may fill it beforehand with other data.
//   flash.size   optional: the flash size in bytes (decimal, or hexadecimal with 0x);
//                2 MiB when missing. Whole sectors only.
//   flash.fault  optional: one fault word, optionally followed by a count N:
//                  missing     opening the device fails with ENOENT
//                  size0       FLASH_GET_INFO reports a size of 0
//                  info        FLASH_GET_INFO fails with EIO
//                  regions     FLASH_GET_REGIONS fails with EIO
//                  erase       FLASH_ERASE fails with EIO
//                  write       write fails with EIO
//                  close       close fails with EIO (the handle is released all the same)
//                  shortwrite  every write takes at most half of the bytes offered (at
//                              least one)
//                  eintr       the first write of every open fails with EINTR
//                  dropbits    writes leave bit 0 of the byte at offset 100 of every 4 KiB
//                              unprogrammed, and say nothing of it (a worn flash)
//                  hold        FLASH_ERASE waits as long as the fault file still names hold,
//                              with the daemon blocked in it; a test meanwhile cuts the
//                              image short or kills the daemon, then lets it go on by
//                              changing or removing the file ("hold 1": the first erase
//                              passes, the second one waits)
//                With a count ("write 2"), the next N operations of that kind succeed and the
//                file counts down ("write 1", "write 0"); the fault strikes once N is 0
//                (sim/state_files.h).
//   flash.timing optional: "real" makes erasing and programming take the typical times of
//                a NOR flash of this kind (below): each FLASH_ERASE sleeps for every sector
//                it erased, each write for every 16-bit word it programmed, so that a run
//                at full speed lasts as long on the flash as the board's. Missing or
//                anything else: no time is taken (the tests stay fast).
//   flash.log    one line per erase and per write that programmed: "hh:mm:ss.uuuuuu erase
//                0xSTART sectors N" and "hh:mm:ss.uuuuuu program 0xSTART words N" (UTC, the
//                words the bytes fall into), so that a rehearsal can count what the flash
//                did in each step.
//
// Device behaviour:
//   - reading returns the contents; an erased byte reads 0xFF;
//   - writing programs at the position: each byte becomes old AND new, as flash cells only
//     go from 1 to 0 without an erase; a write at the end of the flash fails with ENOSPC,
//     one that reaches past it is cut short; a read-only open can't write (EBADF);
//   - the caller's bytes are taken as a driver takes them, through the kernel: a page of the
//     caller's buffer that can't be read (a mapped file cut short) ends the write there, with
//     the bytes before it programmed, or fails it with EFAULT when it is the first;
//   - lseek beyond the end of the flash fails with EINVAL;
//   - FLASH_GET_INFO: totalSize at offset 0, regionCount 1 at offset 16 (24-byte record);
//   - FLASH_GET_REGIONS: one 12-byte record {0, sector size, sector count};
//   - FLASH_ERASE {start, length} (8 bytes) sets the range to 0xFF; the range must be
//     sector aligned, non-empty and inside the flash, else EINVAL;
//   - any other request fails with ENOTTY.
#pragma once

#include <sys/ioctl.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

inline constexpr const char* kFlashModelPath = "/dev/flash0";
inline constexpr const char* kFlashContentsFile = "flash.bin";
inline constexpr const char* kFlashSizeFile = "flash.size";
inline constexpr const char* kFlashFaultFile = "flash.fault";
inline constexpr const char* kFlashTimingFile = "flash.timing";
inline constexpr const char* kFlashLogFile = "flash.log";
inline constexpr const char* kFlashRealTiming = "real";
inline constexpr std::uint32_t kFlashModelDefaultSize = 0x200000;
inline constexpr std::uint32_t kFlashModelSectorSize = 0x10000;

// The board's flash taken as a parallel NOR flash of 64 KiB sectors on a 16-bit bus. Its times
// are the typical figures of common CFI NOR flash datasheets: 0.7 s to erase one 64 KiB
// sector, 9 us to program one 16-bit word (the worst cases are several times longer).
inline constexpr std::chrono::microseconds kFlashTypicalSectorEraseTime{700000};
inline constexpr std::chrono::microseconds kFlashTypicalWordProgramTime{9};
inline constexpr std::uint32_t kFlashModelWordSize = 2;

// The driver's requests, by the record sizes of its interface.
inline constexpr unsigned long kFlashModelGetInfo = _IOC(_IOC_READ, 'F', 1, 24);
inline constexpr unsigned long kFlashModelGetRegions = _IOC(_IOC_READ, 'F', 2, 12);
inline constexpr unsigned long kFlashModelErase = _IOC(_IOC_WRITE, 'F', 3, 8);

int flashModelOpen(int flags);
int flashModelIoctl(int handle, unsigned long request, void* arg);
ssize_t flashModelRead(int handle, void* buffer, std::size_t count);
ssize_t flashModelWrite(int handle, const void* buffer, std::size_t count);
off_t flashModelLseek(int handle, off_t offset, int whence);
int flashModelClose(int handle);
