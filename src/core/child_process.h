// Child processes: the end of any child is reaped in the main flow and reported to the
// daemon's own socket as an AI_CHILD_EXIT; the DFU child's end becomes its step's result.
#pragma once

#include <cstdint>

// Process id of the DFU child (0 before the first start, -1 when its start failed).
extern std::int32_t dfuPid;

// The work of SIGCHLD: reaps every ended child and posts its end to the daemon itself.
void childDead();
// readMessage's handling of an AI_CHILD_EXIT: logs it; the DFU child's end sets stepState.
void childExitReported(std::int32_t pid, std::int32_t status);
