// The daemon's life: the poll set of the main loop, the signals and the orderly ends.
#pragma once

#include <poll.h>
#include <signal.h>

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

// SIGTERM, SIGALRM and SIGCHLD are noted by their handlers and handled here, in the main
// flow, so that no log line, send or destination switch is ever interrupted halfway.
// Blocks the three signals and installs the handlers; the mask the process had before is
// what the main loop's wait and the shell's commands run with.
void installSignalHandlers();
const sigset_t* waitSignalMask();
// Does the work of the signals that arrived since the last call.
void handlePendingSignals();

// The work of each signal, in the main flow.
void sigTerm();       // logged and ignored
void alarmHandler();  // step time-out: STATE_TIMEOUT and a wake-up

// Runs fn with the signals unblocked (their work stays pending for the main loop).
template <typename Function>
auto withStartupSignalMask(Function fn) {
    sigset_t blocked;
    pthread_sigmask(SIG_SETMASK, waitSignalMask(), &blocked);
    auto result = fn();
    pthread_sigmask(SIG_SETMASK, &blocked, nullptr);
    return result;
}
