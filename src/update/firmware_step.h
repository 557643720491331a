// The firmware step's hand-overs: what the event sources and the state machine tell it of
// the DFU program it started.
#pragma once

#include <cstdint>

// The DFU child has been reaped: its files go at once, whatever its end means for the step.
void dfuReaped();
// The DFU child's end has been taken, with its wait status: it moves the firmware step that
// waits for it, and nothing else.
void dfuEnded(std::int32_t status);

// The daemon stops during the firmware step: a DFU program under way gets SIGTERM, and its whole
// process group SIGKILL after the grace time, as at its time limit.
void stopDfuForExit();
