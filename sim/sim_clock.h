// The simulated board's clock: it runs clock.speed times faster than real time (a whole number,
// 1 when missing or not one), so that the daemon's waits, the module's line and the flash's
// timing take a fraction of their length there. The setting is read once per process: the
// board keeps one speed for as long as it runs (sim/board-run --clock-speed).
#pragma once

#include <chrono>
#include <cstdint>

inline constexpr const char* kClockSpeedFile = "clock.speed";

std::int64_t simClockSpeed();

// The real time that a time of the board's clock takes.
std::chrono::nanoseconds realTimeOf(std::chrono::nanoseconds boardTime);
