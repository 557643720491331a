// The platform layer of the simulated board: device nodes are served by the models of
// simulatedDevices(); everything else is the real kernel's.
#include <fcntl.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <vector>

#include "core/platform.h"
#include "sim/device_model.h"
#include "sim/sim_clock.h"

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
    // The real descriptors are waited for by the kernel. A ready device makes the wait end at
    // once; a device whose answer is on its way shortens it, and the devices are looked at
    // again when it ends, until something is ready or the caller's time-out has passed.
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> deadline;
    if (timeoutMs >= 0) deadline = Clock::now() + realTimeOf(std::chrono::milliseconds(timeoutMs));
    std::vector<pollfd> real(fds, fds + count);
    for (;;) {
        int readyDevices = 0;
        std::optional<std::chrono::nanoseconds> deviceWait;
        for (nfds_t i = 0; i < count; ++i) {
            fds[i].revents = 0;
            const OpenDevice* device = findDevice(fds[i].fd);
            if (device == nullptr) continue;
            real[i].fd = -1;  // the kernel ignores it
            const DeviceModel& model = *device->model;
            short events = model.pollEvents ? model.pollEvents(device->handle) : 0;
            fds[i].revents = static_cast<short>(events & (fds[i].events | POLLERR | POLLHUP));
            if (fds[i].revents != 0) {
                ++readyDevices;
            } else if (model.untilReady != nullptr && fds[i].events != 0) {
                if (auto wait = model.untilReady(device->handle)) {
                    deviceWait = std::min(deviceWait.value_or(*wait), *wait);
                }
            }
        }
        bool timeUp = deadline && Clock::now() >= *deadline;
        std::optional<std::chrono::nanoseconds> wait = deviceWait;
        if (readyDevices > 0 || timeUp) {
            wait = std::chrono::nanoseconds(0);
        } else if (deadline) {
            auto left = std::max(std::chrono::nanoseconds(0),
                                 std::chrono::nanoseconds(*deadline - Clock::now()));
            wait = std::min(wait.value_or(left), left);
        }
        timespec waitTime{};
        if (wait) {
            auto seconds = std::chrono::duration_cast<std::chrono::seconds>(*wait);
            waitTime.tv_sec = static_cast<time_t>(seconds.count());
            waitTime.tv_nsec = static_cast<long>((*wait - seconds).count());
        }
        int n = ::ppoll(real.data(), count, wait ? &waitTime : nullptr, mask);
        if (n < 0) return readyDevices > 0 && errno == EINTR ? readyDevices : n;
        for (nfds_t i = 0; i < count; ++i) {
            if (real[i].fd >= 0) fds[i].revents = real[i].revents;
        }
        if (n > 0 || readyDevices > 0) return n + readyDevices;
        if (timeUp || !deviceWait) return 0;
    }
}

std::int64_t devClockMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000) *
           simClockSpeed();
}

void devSleepMs(std::int64_t ms) {
    if (ms <= 0) return;
    auto real = realTimeOf(std::chrono::milliseconds(ms));
    timespec left{static_cast<time_t>(real.count() / 1'000'000'000),
                  static_cast<long>(real.count() % 1'000'000'000)};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void devAlarm(unsigned seconds) {
    auto real = realTimeOf(std::chrono::seconds(seconds));
    itimerval timer{};
    timer.it_value.tv_sec = static_cast<time_t>(real.count() / 1'000'000'000);
    timer.it_value.tv_usec = static_cast<suseconds_t>(real.count() % 1'000'000'000 / 1000);
    // A time that rounds to nothing still rings: only 0 seconds cancels.
    if (seconds != 0 && timer.it_value.tv_sec == 0 && timer.it_value.tv_usec == 0)
        timer.it_value.tv_usec = 1;
    setitimer(ITIMER_REAL, &timer, nullptr);
}
