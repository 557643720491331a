// Child processes: their ends are reaped in the main flow and reported to the daemon's own
// socket as AI_CHILD_EXIT messages, which the main loop then reads like any other message.
#pragma once

#include <cstdint>

// Reaps one ended child without waiting. True with its process id and wait status; false when
// no child has ended (or none is left).
bool reapEndedChild(std::int32_t* pid, std::int32_t* status);

// Posts the end of a child to the daemon's own address: an AI_CHILD_EXIT with the process id
// and the wait status. The result of write_message: 1, or -1 (logged).
int postChildExit(std::int32_t pid, std::int32_t status);
