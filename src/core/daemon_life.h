// The daemon's life: the poll set of the main loop and the orderly ends.
#pragma once

#include <poll.h>

#include <array>
#include <cstdint>

inline constexpr int kPollTimeoutMs = 15000;

extern std::int32_t keepRunning;
// Entry 0: the AI socket; entry btModuleSlot: the module's device while its link is open.
extern std::array<pollfd, 3> pollSet;
extern std::int32_t pollFdCount;
extern std::int32_t btModuleSlot;

// Closes the AI socket (removing "/rb_ai_sock2up") and ends the process with status 0.
[[noreturn]] void exitProcess();
// The first call logs "Exit because <reason> !!" and ends the process; later calls do nothing.
void reboot(const char* reason);

// The work of SIGTERM: logged and ignored.
void sigTerm();
