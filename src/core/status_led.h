// The board's status LED, "/dev/led": its state, a fixed mode or a blinking period. Each
// call opens the device, issues its requests and closes it again.
#pragma once

#include <sys/ioctl.h>

#include <cstdint>

inline constexpr char kLedDevicePath[] = "/dev/led";

// The driver's requests. The read-state request takes a pointer to an int that the driver
// fills; the other two take their value itself in place of the pointer.
inline constexpr unsigned long LED_GET_STATE = _IOR('L', 1, int);
inline constexpr unsigned long LED_SET_MODE = _IOR('L', 2, int);
inline constexpr unsigned long LED_SET_PERIOD = _IOR('L', 3, int);

// Mode values sent with LED_SET_MODE.
inline constexpr int kLedModeOff = 0;       // for the period 0
inline constexpr int kLedModeBlinking = 1;  // after a blinking period
inline constexpr int kLedModeOn = 2;        // for the period -1

// Reads the LED's state into state. 0, -1 when the device can't be opened, -2 when the
// request fails.
std::int32_t getStatusled(std::int32_t* state);

// period: -1 (mode 2), 0 (mode 0) or a blinking period in milliseconds. 0, -1 when the device
// can't be opened, -2 when a request fails, -3 when the period is less than one clock tick.
std::int32_t setStatusLed(std::int32_t period);
