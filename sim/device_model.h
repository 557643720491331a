// A device of the simulated board: the operations behind one device node. The simulated
// platform layer gives each open a real descriptor number (so it never collides with the
// daemon's files and sockets) and passes the calls on to the device's model.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <span>

struct DeviceModel {
    const char* path;  // "/dev/flash0", ...
    // Each returns what the system call would, setting errno on failure.
    // open returns a handle of the model's own (>= 0), passed to the other operations.
    int (*open)(int flags);
    int (*ioctl)(int handle, unsigned long request, void* arg);
    ssize_t (*read)(int handle, void* buffer, std::size_t count);
    ssize_t (*write)(int handle, const void* buffer, std::size_t count);
    off_t (*lseek)(int handle, off_t offset, int whence);
    int (*close)(int handle);
    // The poll events (POLLIN, POLLPRI, ...) the device reports now; nullptr: never ready.
    short (*pollEvents)(int handle);
    // While the device isn't ready: how long until it becomes ready (an answer on its way),
    // or nothing when nothing is on its way. nullptr: the device never becomes ready by
    // itself. devPoll waits no longer than this, so that the daemon sleeps in its real wait.
    std::optional<std::chrono::nanoseconds> (*untilReady)(int handle);
};

// The board's devices; a path missing here doesn't exist on the simulated board.
std::span<const DeviceModel> simulatedDevices();
