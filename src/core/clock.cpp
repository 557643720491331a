#include "core/clock.h"

#include "core/platform.h"

std::int64_t monotonicMs() { return devClockMs(); }
void sleepMs(std::int64_t ms) { devSleepMs(ms); }
namespace {
bool alarmArmed = false;
}  // namespace

void armAlarm(unsigned seconds) {
    alarmArmed = seconds != 0;
    devAlarm(seconds);
}

bool takeArmedAlarm() {
    bool armed = alarmArmed;
    alarmArmed = false;
    return armed;
}
