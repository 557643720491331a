#include "sim/flash_model.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_clock.h"
#include "sim/sim_state.h"
#include "sim/state_files.h"

namespace {

struct FlashHandle {
    bool used = false;
    int accessMode = O_RDONLY;
    int contents = -1;  // descriptor of flash.bin
    std::uint32_t size = 0;
    off_t position = 0;
    bool interrupted = false;  // the "eintr" fault has struck on this open
};

std::array<FlashHandle, 16> handles;

FlashHandle* findHandle(int handle) {
    if (handle < 0 || handle >= static_cast<int>(handles.size()) || !handles[handle].used) {
        errno = EBADF;
        return nullptr;
    }
    return &handles[handle];
}

bool faultStrikes(const char* kind) { return ::faultStrikes(kFlashFaultFile, kind); }

std::uint32_t configuredSize() {
    std::string text = stateFileText(kFlashSizeFile);
    char* end = nullptr;
    unsigned long size = std::strtoul(text.c_str(), &end, 0);
    if (end == text.c_str() || size == 0 || size > 0x80000000UL ||
        size % kFlashModelSectorSize != 0) {
        return kFlashModelDefaultSize;
    }
    return static_cast<std::uint32_t>(size);
}

bool fillErased(int fd, off_t from, off_t to) {
    std::vector<std::uint8_t> erased(kFlashModelSectorSize, 0xFF);
    while (from < to) {
        std::size_t n = static_cast<std::size_t>(std::min<off_t>(to - from, erased.size()));
        ssize_t written = pwrite(fd, erased.data(), n, from);
        if (written <= 0) return false;
        from += written;
    }
    return true;
}

// Opens flash.bin at the flash size, creating it erased; -1 (errno) on failure.
int openContents(std::uint32_t size) {
    int fd = ::open(simStatePath(kFlashContentsFile).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    struct stat info {};
    bool ready = fstat(fd, &info) == 0;
    if (ready && info.st_size > static_cast<off_t>(size)) {
        ready = ftruncate(fd, static_cast<off_t>(size)) == 0;
    } else if (ready && info.st_size < static_cast<off_t>(size)) {
        ready = fillErased(fd, info.st_size, static_cast<off_t>(size));
    }
    if (!ready) {
        int saved = errno;
        ::close(fd);
        errno = saved == 0 ? EIO : saved;
        return -1;
    }
    return fd;
}

void putWord(void* record, std::size_t offset, std::uint32_t value) {
    std::memcpy(static_cast<std::uint8_t*>(record) + offset, &value, sizeof value);
}

std::uint32_t getWord(const void* record, std::size_t offset) {
    std::uint32_t value;
    std::memcpy(&value, static_cast<const std::uint8_t*>(record) + offset, sizeof value);
    return value;
}

int fail(int error) {
    errno = error;
    return -1;
}

// Notes the work in flash.log and, with flash.timing "real", takes the time the board's flash
// takes for count units of one kind. libstdc++'s sleep goes on after a signal, as a driver
// blocked in the flash's operation does.
void takeTypicalTime(const char* work, std::uint32_t start, const char* unit,
                     std::chrono::microseconds perUnit, std::uint64_t count) {
    char line[96];
    std::snprintf(line, sizeof line, " %s 0x%08x %s %llu\n", work, static_cast<unsigned>(start),
                  unit, static_cast<unsigned long long>(count));
    appendStateFile(kFlashLogFile, timeOfDay(std::chrono::system_clock::now()) + line);
    std::string timing = stateFileText(kFlashTimingFile);
    if (timing.substr(0, timing.find_first_of(" \t\r\n")) == kFlashRealTiming)
        std::this_thread::sleep_for(realTimeOf(perUnit * static_cast<std::int64_t>(count)));
}

// The "hold" fault: the erase waits while the fault file names hold.
void holdWhileFaultSaysSo() {
    while (faultStrikes("hold")) usleep(10000);
}

// Copies up to count bytes of the caller's buffer into cells as a driver's copy from user
// space does, through the kernel (here a pipe): a page that can't be read doesn't fault in
// the model. Copied a page of the source at a time, so that what lies before such a page is
// taken. The number of bytes copied, or -1 (errno) when none could be.
ssize_t copyFromCaller(std::uint8_t* cells, const void* buffer, std::size_t count) {
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) return -1;
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const auto* source = static_cast<const std::uint8_t*>(buffer);
    std::size_t copied = 0;
    int error = 0;
    while (copied < count) {
        std::size_t toPageEnd = page - reinterpret_cast<std::uintptr_t>(source + copied) % page;
        std::size_t piece = std::min(count - copied, toPageEnd);
        ssize_t in = ::write(pipeEnds[1], source + copied, piece);
        if (in <= 0) {
            error = in < 0 ? errno : EIO;
            break;
        }
        if (::read(pipeEnds[0], cells + copied, static_cast<std::size_t>(in)) != in) {
            error = EIO;
            break;
        }
        copied += static_cast<std::size_t>(in);
    }
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    if (copied == 0 && count != 0) return fail(error);
    return static_cast<ssize_t>(copied);
}

int erase(FlashHandle& flash, const void* record) {
    holdWhileFaultSaysSo();
    if (faultStrikes("erase")) return fail(EIO);
    std::uint32_t start = getWord(record, 0);
    std::uint32_t length = getWord(record, 4);
    if (length == 0 || start % kFlashModelSectorSize != 0 || length % kFlashModelSectorSize != 0 ||
        start >= flash.size || length > flash.size - start) {
        return fail(EINVAL);
    }
    if (!fillErased(flash.contents, start, static_cast<off_t>(start) + length)) return fail(EIO);
    takeTypicalTime("erase", start, "sectors", kFlashTypicalSectorEraseTime,
                    length / kFlashModelSectorSize);
    return 0;
}

}  // namespace

int flashModelOpen(int flags) {
    if (faultStrikes("missing")) return fail(ENOENT);
    auto free =
        std::find_if(handles.begin(), handles.end(), [](const FlashHandle& h) { return !h.used; });
    if (free == handles.end()) return fail(EMFILE);
    std::uint32_t size = configuredSize();
    int contents = openContents(size);
    if (contents < 0) return -1;
    *free = FlashHandle{true, flags & O_ACCMODE, contents, size, 0, false};
    return static_cast<int>(free - handles.begin());
}

int flashModelIoctl(int handle, unsigned long request, void* arg) {
    FlashHandle* flash = findHandle(handle);
    if (flash == nullptr) return -1;
    if (arg == nullptr) return fail(EFAULT);
    switch (request) {
        case kFlashModelGetInfo:
            if (faultStrikes("info")) return fail(EIO);
            std::memset(arg, 0, 24);
            putWord(arg, 0, faultStrikes("size0") ? 0 : flash->size);
            putWord(arg, 16, 1);
            return 0;
        case kFlashModelGetRegions:
            if (faultStrikes("regions")) return fail(EIO);
            putWord(arg, 0, 0);
            putWord(arg, 4, kFlashModelSectorSize);
            putWord(arg, 8, flash->size / kFlashModelSectorSize);
            return 0;
        case kFlashModelErase:
            return erase(*flash, arg);
        default:
            return fail(ENOTTY);
    }
}

ssize_t flashModelRead(int handle, void* buffer, std::size_t count) {
    FlashHandle* flash = findHandle(handle);
    if (flash == nullptr) return -1;
    if (flash->position >= static_cast<off_t>(flash->size)) return 0;
    count = std::min<std::size_t>(count, flash->size - static_cast<std::size_t>(flash->position));
    ssize_t n = pread(flash->contents, buffer, count, flash->position);
    if (n > 0) flash->position += n;
    return n;
}

ssize_t flashModelWrite(int handle, const void* buffer, std::size_t count) {
    FlashHandle* flash = findHandle(handle);
    if (flash == nullptr) return -1;
    if (flash->accessMode == O_RDONLY) return fail(EBADF);
    if (faultStrikes("write")) return fail(EIO);
    if (!flash->interrupted && faultStrikes("eintr")) {
        flash->interrupted = true;
        return fail(EINTR);
    }
    if (count == 0) return 0;
    if (flash->position >= static_cast<off_t>(flash->size)) return fail(ENOSPC);
    std::size_t n =
        std::min<std::size_t>(count, flash->size - static_cast<std::size_t>(flash->position));
    if (faultStrikes("shortwrite")) n = std::min(n, std::max<std::size_t>(1, count / 2));
    std::vector<std::uint8_t> data(n);
    ssize_t taken = copyFromCaller(data.data(), buffer, n);
    if (taken < 0) return -1;
    n = static_cast<std::size_t>(taken);
    // Programming clears bits only.
    std::vector<std::uint8_t> cells(n);
    if (pread(flash->contents, cells.data(), n, flash->position) != static_cast<ssize_t>(n)) {
        return fail(EIO);
    }
    // "dropbits": a worn flash that silently leaves bit 0 of one byte in every 4 KiB
    // unprogrammed; the write reports success all the same.
    bool dropBits = faultStrikes("dropbits");
    for (std::size_t i = 0; i < n; ++i) {
        std::uint8_t wanted = data[i];
        if (dropBits && (static_cast<std::uint64_t>(flash->position) + i) % 4096 == 100)
            wanted |= 0x01;
        cells[i] &= wanted;
    }
    if (pwrite(flash->contents, cells.data(), n, flash->position) != static_cast<ssize_t>(n)) {
        return fail(EIO);
    }
    // The words the bytes fall into, a word cut at either end included.
    auto position = static_cast<std::uint64_t>(flash->position);
    takeTypicalTime("program", static_cast<std::uint32_t>(position), "words",
                    kFlashTypicalWordProgramTime,
                    (position + n + kFlashModelWordSize - 1) / kFlashModelWordSize -
                        position / kFlashModelWordSize);
    flash->position += static_cast<off_t>(n);
    return static_cast<ssize_t>(n);
}

off_t flashModelLseek(int handle, off_t offset, int whence) {
    FlashHandle* flash = findHandle(handle);
    if (flash == nullptr) return -1;
    off_t base = 0;
    switch (whence) {
        case SEEK_SET:
            break;
        case SEEK_CUR:
            base = flash->position;
            break;
        case SEEK_END:
            base = static_cast<off_t>(flash->size);
            break;
        default:
            return fail(EINVAL);
    }
    off_t position = base + offset;
    if (position < 0 || position > static_cast<off_t>(flash->size)) return fail(EINVAL);
    flash->position = position;
    return position;
}

int flashModelClose(int handle) {
    FlashHandle* flash = findHandle(handle);
    if (flash == nullptr) return -1;
    ::close(flash->contents);
    *flash = FlashHandle{};
    return faultStrikes("close") ? fail(EIO) : 0;
}
