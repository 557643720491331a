// The simulated board's status LED, "/dev/led".
//
// State, in files under /sim/state:
//   led           "state S\nmode M\nperiod P\n": S the LED's state as the read-state request
//                 reports it (0 off, 1 steady on, 2 blinking), M the last mode set (0, 1, 2),
//                 P the blinking period in clock ticks. All 0 when the file is missing; a
//                 test may write it beforehand.
//   led.requests  every request received, one line each, appended: "get-state",
//                 "set-mode M", "set-period P", followed by " failed" when it was refused.
//   led.fault     optional, one word: missing (opening fails with ENOENT), getstate,
//                 setmode or setperiod (that request fails with EIO); optionally followed by
//                 a count N: the next N operations of that kind succeed ("setmode 1"), as for
//                 every fault file (sim/state_files.h).
//
// Requests: read state _IOR('L', 1, int) fills the int that the argument points to; set mode
// _IOR('L', 2, int) and set period _IOR('L', 3, int) carry the value itself in the argument.
// A mode other than 0, 1, 2 or a period below 1 fails with EINVAL; any other request with
// ENOTTY. Setting the mode sets the state: mode 0 off, mode 1 blinking, mode 2 steady on.
#pragma once

#include <sys/ioctl.h>
#include <sys/types.h>

#include <cstddef>

inline constexpr const char* kLedModelPath = "/dev/led";
inline constexpr const char* kLedStateFile = "led";
inline constexpr const char* kLedRequestsFile = "led.requests";
inline constexpr const char* kLedFaultFile = "led.fault";

inline constexpr unsigned long kLedModelGetState = _IOC(_IOC_READ, 'L', 1, 4);
inline constexpr unsigned long kLedModelSetMode = _IOC(_IOC_READ, 'L', 2, 4);
inline constexpr unsigned long kLedModelSetPeriod = _IOC(_IOC_READ, 'L', 3, 4);

// The LED's state values.
inline constexpr int kLedStateOff = 0;
inline constexpr int kLedStateOn = 1;
inline constexpr int kLedStateBlinking = 2;

int ledModelOpen(int flags);
int ledModelIoctl(int handle, unsigned long request, void* arg);
int ledModelClose(int handle);
