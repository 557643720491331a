// The board's platform layer: every device call goes straight to the kernel.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "core/platform.h"

int devOpen(const char* path, int flags) { return ::open(path, flags); }
int devIoctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }
ssize_t devRead(int fd, void* buffer, std::size_t count) { return ::read(fd, buffer, count); }
ssize_t devWrite(int fd, const void* buffer, std::size_t count) {
    return ::write(fd, buffer, count);
}
off_t devLseek(int fd, off_t offset, int whence) { return ::lseek(fd, offset, whence); }
int devClose(int fd) { return ::close(fd); }

int devPoll(pollfd* fds, nfds_t count, int timeoutMs, const sigset_t* mask) {
    timespec wait{timeoutMs / 1000, static_cast<long>(timeoutMs % 1000) * 1000000L};
    return ::ppoll(fds, count, timeoutMs < 0 ? nullptr : &wait, mask);
}

std::int64_t devClockMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

void devSleepMs(std::int64_t ms) {
    if (ms <= 0) return;
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1'000'000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void devAlarm(unsigned seconds) { alarm(seconds); }
