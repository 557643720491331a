// SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGALRM and SIGCHLD: their handlers only note that the
// signal came; the work of each runs in the main flow, so that no log line, send or destination
// switch is ever interrupted halfway. SIGPIPE is ignored: a log reader that went away costs
// the log's lines, never the update. SIGINT keeps its default, for a person at a terminal.
//
// The noted signals stay blocked in the main flow. They reach their handlers only during the
// main loop's wait (devPoll with waitSignalMask()). One that arrives during blocking work of
// the main flow (a shell command, a pause, the image writing) stays pending in the kernel;
// applyPendingSignals(), called when that work returns, takes it and does its work there, as
// if it had been handled at the moment the work ended.
#pragma once

#include <signal.h>

// The work of each signal, in the main flow. The daemon's top sets it at start-up, as the
// meaning of a time-out or a child's end belongs to the update, not to the process services.
struct SignalWork {
    // SIGTERM, SIGHUP, SIGUSR1 and SIGUSR2, by name: nothing of the daemon's is theirs to end.
    void (*ignored)(const char* name);
    void (*alarm)();
    void (*child)();
};
void setSignalWork(const SignalWork& work);

// Blocks the noted signals and installs their handlers; the mask the process had before
// (less those) is what the main loop's wait and the shell's commands run with. False, with
// errno set, when a part of it failed: a signal that isn't blocked may interrupt any system call
// of the main flow, and one without its handler ends the daemon or goes unseen.
bool installSignalHandlers();
const sigset_t* waitSignalMask();

// Takes the signals that arrived since the last call (noted by the handlers, or pending while
// blocked) and does their work, each kind at most once per call, as the kernel merges
// repeats: the ignored ones, SIGALRM, then SIGCHLD. A SIGALRM does its work only when the
// daemon's alarm was armed, once per arming: a stray one, or a storm of them, times out
// nothing else. A call from within that work does nothing.
void applyPendingSignals();
