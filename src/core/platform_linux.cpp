// The board's platform layer: every device call goes straight to the kernel.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

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
