// The daemon's orderly ends, and the longest wait of its main loop.
#pragma once

inline constexpr int kPollTimeoutMs = 15000;

// Closes the AI socket (removing "/rb_ai_sock2up") and ends the process with status 0.
[[noreturn]] void exitProcess();
// The first call logs "Exit because <reason> !!" and ends the process; later calls do nothing.
void reboot(const char* reason);

// The work of SIGTERM, and of SIGHUP, SIGUSR1 and SIGUSR2 alike: logged and ignored. A storm
// of them writes a bounded count of lines.
void sigTerm(const char* name);
