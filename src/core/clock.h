// The daemon's measure of time for its own deadlines: a clock that only goes forward, whatever
// is done to the time of day.
#pragma once

#include <cstdint>

std::int64_t monotonicMs();
