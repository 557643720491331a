// The daemon's measure of time for its own deadlines, pauses and alarms: the board's clock of
// the platform seam, which only goes forward whatever is done to the time of day.
#pragma once

#include <cstdint>

std::int64_t monotonicMs();
// Pauses the main flow for ms, whole.
void sleepMs(std::int64_t ms);
// Arms SIGALRM for seconds from now (0: cancels it), as alarm(2) does.
void armAlarm(unsigned seconds);
// True once for each arming since the last cancel: whether a SIGALRM may be the daemon's own.
bool takeArmedAlarm();
