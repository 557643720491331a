#include "core/signals.h"

#include <time.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <initializer_list>

#include "core/clock.h"

namespace {

// The work each signal brings, the masks, and the signals noted by the handlers and not yet
// worked off.
struct SignalState {
    SignalWork work{};
    sigset_t startupMask{};
    sigset_t handledSignals{};
    bool installed = false;
    bool applying = false;
    volatile std::sig_atomic_t termPending = 0;
    volatile std::sig_atomic_t alarmPending = 0;
    volatile std::sig_atomic_t childPending = 0;
};
constinit SignalState signals;

void note(int number) {
    switch (number) {
        case SIGTERM:
            signals.termPending = 1;
            break;
        case SIGALRM:
            signals.alarmPending = 1;
            break;
        case SIGCHLD:
            signals.childPending = 1;
            break;
        default:
            break;
    }
}

// The only work done in signal context.
void noteSignal(int number) { note(number); }

// Signals that came while blocked are taken from the kernel without running their handlers.
void takeBlockedSignals() {
    if (!signals.installed) return;
    sigset_t pending;
    if (sigpending(&pending) != 0) return;
    const timespec noWait{0, 0};
    for (int number : {SIGTERM, SIGALRM, SIGCHLD}) {
        if (sigismember(&pending, number) != 1) continue;
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, number);
        if (sigtimedwait(&one, nullptr, &noWait) == number) note(number);
    }
}

void run(void (*work)()) {
    if (work != nullptr) work();
}

}  // namespace

void setSignalWork(const SignalWork& work) { signals.work = work; }

bool installSignalHandlers() {
    // Every part is tried even after one failed: what can be set up is. The first failure's
    // errno is the one left for the caller to report.
    int firstError = 0;
    auto keepFirst = [&firstError](int error) {
        if (firstError == 0) firstError = error;
    };
    sigemptyset(&signals.handledSignals);
    sigaddset(&signals.handledSignals, SIGTERM);
    sigaddset(&signals.handledSignals, SIGALRM);
    sigaddset(&signals.handledSignals, SIGCHLD);
    if (int error = pthread_sigmask(SIG_BLOCK, &signals.handledSignals, &signals.startupMask);
        error != 0)
        keepFirst(error);
    // The wait must let them in even if the process was started with them blocked.
    sigdelset(&signals.startupMask, SIGTERM);
    sigdelset(&signals.startupMask, SIGALRM);
    sigdelset(&signals.startupMask, SIGCHLD);
    struct sigaction action {};
    action.sa_handler = noteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    for (int number : {SIGTERM, SIGALRM, SIGCHLD})
        if (sigaction(number, &action, nullptr) != 0) keepFirst(errno);
    signals.installed = true;
    if (firstError == 0) return true;
    errno = firstError;
    return false;
}

const sigset_t* waitSignalMask() { return &signals.startupMask; }

void applyPendingSignals() {
    if (signals.applying) return;
    signals.applying = true;
    takeBlockedSignals();
    if (signals.termPending) {
        signals.termPending = 0;
        run(signals.work.term);
    }
    if (signals.alarmPending) {
        signals.alarmPending = 0;
        run(signals.work.alarm);
    }
    if (signals.childPending) {
        signals.childPending = 0;
        run(signals.work.child);
    }
    signals.applying = false;
}
