#include "core/clock.h"

#include "core/platform.h"

std::int64_t monotonicMs() { return devClockMs(); }
void sleepMs(std::int64_t ms) { devSleepMs(ms); }
void armAlarm(unsigned seconds) { devAlarm(seconds); }
