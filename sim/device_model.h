// A device of the simulated board: the operations behind one device node. The simulated
// platform layer gives each open a real descriptor number (so it never collides with the
// daemon's files and sockets) and passes the calls on to the device's model.
#pragma once

#include <sys/types.h>

#include <cstddef>
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
};

// The board's devices; a path missing here doesn't exist on the simulated board.
std::span<const DeviceModel> simulatedDevices();
