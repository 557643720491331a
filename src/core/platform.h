// The daemon's one way to its devices ("/dev/flash0", "/dev/cfUaB0", "/dev/bcspRel2",
// "/dev/etxhwif", "/dev/led") and to the time it waits for. The product daemon links the Linux
// implementation, which passes each call to the kernel; the simulated board links device
// models and a clock that may run faster than real time (its setting clock.speed), so that its
// waits take a fraction of their length. Ordinary files, sockets and pipes never go through
// here, except in devPoll, which waits on the whole poll set. The time of day in the log's
// stamps is the real one everywhere.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

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

// The board's clock: milliseconds that only go forward.
std::int64_t devClockMs();
// Sleeps for ms of the board's clock, whole (a signal doesn't cut it short).
void devSleepMs(std::int64_t ms);
// alarm(2) in seconds of the board's clock: SIGALRM when they have passed; 0 cancels.
void devAlarm(unsigned seconds);

// Passes a plain integer where a request takes its argument by value.
inline void* ioctlValue(long value) { return reinterpret_cast<void*>(value); }
