// The daemon's one way to its devices ("/dev/flash0", "/dev/cfUaB0", "/dev/bcspRel2",
// "/dev/etxhwif", "/dev/led"). The product daemon links the Linux implementation, which
// passes each call to the kernel; the simulated board links device models instead.
// Ordinary files, sockets and pipes never go through here, except in devPoll, which waits
// on the whole poll set.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/types.h>

#include <cstddef>

int devOpen(const char* path, int flags);
int devIoctl(int fd, unsigned long request, void* arg);
ssize_t devRead(int fd, void* buffer, std::size_t count);
ssize_t devWrite(int fd, const void* buffer, std::size_t count);
off_t devLseek(int fd, off_t offset, int whence);
int devClose(int fd);

// The main loop's wait: ppoll semantics (timeoutMs < 0 waits for ever; mask replaces the
// signal mask for the duration of the wait). Entries that name a device descriptor get
// their readiness from the device.
int devPoll(pollfd* fds, nfds_t count, int timeoutMs, const sigset_t* mask);

// Passes a plain integer where a request takes its argument by value.
inline void* ioctlValue(long value) { return reinterpret_cast<void*>(value); }
