// Work that falls due at a time of its own, beside the update's steps: the SIGKILL of a stopped
// child's process group, and the next try of a final notice that couldn't go out. The main
// loop wakes for it, and so does the wait before a stop.
#pragma once

#include <cstdint>
#include <optional>

// When the earliest of it falls due (monotonicMs), or nothing when none is pending.
std::optional<std::int64_t> nextDueWorkMs();
// Does what has fallen due by now.
void runDueWork();
// Pauses the main flow for seconds, doing due work at its times, then applies the signals that
// came meanwhile.
void pauseDoingDueWork(unsigned seconds);
