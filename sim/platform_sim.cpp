// The platform layer of the simulated board: device nodes are served by the models of
// simulatedDevices(); everything else is the real kernel's.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

#include "core/platform.h"
#include "sim/device_model.h"

namespace {

struct OpenDevice {
    const DeviceModel* model;
    int handle;
};

// Descriptor number -> open device. The number is a real descriptor on /dev/null, held
// open so that the kernel never hands it out for a file or socket.
std::map<int, OpenDevice>& openDevices() {
    static std::map<int, OpenDevice> devices;
    return devices;
}

const OpenDevice* findDevice(int fd) {
    auto it = openDevices().find(fd);
    return it == openDevices().end() ? nullptr : &it->second;
}

}  // namespace

int devOpen(const char* path, int flags) {
    for (const DeviceModel& model : simulatedDevices()) {
        if (std::strcmp(model.path, path) != 0) continue;
        int handle = model.open(flags);
        if (handle < 0) return -1;
        int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            int saved = errno;
            model.close(handle);
            errno = saved;
            return -1;
        }
        openDevices()[fd] = OpenDevice{&model, handle};
        return fd;
    }
    errno = ENOENT;
    return -1;
}

int devIoctl(int fd, unsigned long request, void* arg) {
    const OpenDevice* device = findDevice(fd);
    if (device == nullptr || device->model->ioctl == nullptr) {
        errno = device == nullptr ? EBADF : ENOTTY;
        return -1;
    }
    return device->model->ioctl(device->handle, request, arg);
}

ssize_t devRead(int fd, void* buffer, std::size_t count) {
    const OpenDevice* device = findDevice(fd);
    if (device == nullptr || device->model->read == nullptr) {
        errno = device == nullptr ? EBADF : EINVAL;
        return -1;
    }
    return device->model->read(device->handle, buffer, count);
}

ssize_t devWrite(int fd, const void* buffer, std::size_t count) {
    const OpenDevice* device = findDevice(fd);
    if (device == nullptr || device->model->write == nullptr) {
        errno = device == nullptr ? EBADF : EINVAL;
        return -1;
    }
    return device->model->write(device->handle, buffer, count);
}

off_t devLseek(int fd, off_t offset, int whence) {
    const OpenDevice* device = findDevice(fd);
    if (device == nullptr || device->model->lseek == nullptr) {
        errno = device == nullptr ? EBADF : ESPIPE;
        return -1;
    }
    return device->model->lseek(device->handle, offset, whence);
}

int devClose(int fd) {
    auto it = openDevices().find(fd);
    if (it == openDevices().end()) {
        errno = EBADF;
        return -1;
    }
    OpenDevice device = it->second;
    openDevices().erase(it);
    ::close(fd);
    return device.model->close(device.handle);
}

int devPoll(pollfd* fds, nfds_t count, int timeoutMs, const sigset_t* mask) {
    // Devices answer at once; the real descriptors are waited for by the kernel, without
    // waiting at all when a device is ready already.
    std::vector<pollfd> real(fds, fds + count);
    int readyDevices = 0;
    for (nfds_t i = 0; i < count; ++i) {
        fds[i].revents = 0;
        const OpenDevice* device = findDevice(fds[i].fd);
        if (device == nullptr) continue;
        real[i].fd = -1;  // the kernel ignores it
        short events = device->model->pollEvents ? device->model->pollEvents(device->handle) : 0;
        fds[i].revents = static_cast<short>(events & (fds[i].events | POLLERR | POLLHUP));
        if (fds[i].revents != 0) ++readyDevices;
    }
    timespec zero{0, 0};
    timespec wait{timeoutMs / 1000, static_cast<long>(timeoutMs % 1000) * 1000000L};
    const timespec* timeout = readyDevices > 0 ? &zero : (timeoutMs < 0 ? nullptr : &wait);
    int n = ::ppoll(real.data(), count, timeout, mask);
    if (n < 0) return readyDevices > 0 && errno == EINTR ? readyDevices : n;
    for (nfds_t i = 0; i < count; ++i) {
        if (real[i].fd >= 0) fds[i].revents = real[i].revents;
    }
    return n + readyDevices;
}
