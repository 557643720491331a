#include "core/status_led.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>

#include "core/error_codes.h"
#include "core/log.h"
#include "core/platform.h"

namespace {

// Reports a failure in the name of the calling operation (function).
int openLed(const char* function) {
    int fd = devOpen(kLedDevicePath, O_RDWR);
    if (fd < 0) {
        UPDATE_ERR_AS(function, LogLevel::Critical, kErrorOperationFailed,
                      "Can't open LED device!\n");
    }
    return fd;
}

// 0, or -2 when the driver refuses the request.
std::int32_t sendValue(int fd, unsigned long request, int value) {
    return devIoctl(fd, request, ioctlValue(value)) < 0 ? -2 : 0;
}

// The blinking period in clock ticks, or -1 when it is out of range.
int periodTicks(std::int32_t period) {
    double ticks = static_cast<double>(period) * static_cast<double>(sysconf(_SC_CLK_TCK)) / 1000.0;
    // Compared before the conversion: a value beyond int has no integer to truncate to.
    if (!(ticks >= 1.0) || ticks > static_cast<double>(INT_MAX)) return -1;
    return static_cast<int>(ticks);
}

}  // namespace

std::int32_t getStatusled(std::int32_t* state) {
    int fd = openLed(__func__);
    if (fd < 0) return -1;
    std::int32_t result = devIoctl(fd, LED_GET_STATE, state) < 0 ? -2 : 0;
    devClose(fd);
    return result;
}

std::int32_t setStatusLed(std::int32_t period) {
    int fd = openLed(__func__);
    if (fd < 0) return -1;
    std::int32_t result = 0;
    if (period == -1) {
        result = sendValue(fd, LED_SET_MODE, kLedModeOn);
    } else if (period == 0) {
        result = sendValue(fd, LED_SET_MODE, kLedModeOff);
    } else if (int ticks = periodTicks(period); ticks < 1) {
        UPDATE_ERR(LogLevel::Warning, kErrorOutOfRange, "blinking period out of range! \n");
        result = -3;
    } else {
        result = sendValue(fd, LED_SET_PERIOD, ticks);
        if (result == 0) result = sendValue(fd, LED_SET_MODE, kLedModeBlinking);
    }
    devClose(fd);
    return result;
}
