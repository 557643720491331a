#include "core/signals.h"

#include <time.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <initializer_list>

#include "core/clock.h"

namespace {

SignalWork signalWork{};
sigset_t startupMask;
sigset_t handledSignals;
bool installed = false;
bool applying = false;
volatile std::sig_atomic_t termPending = 0;
volatile std::sig_atomic_t alarmPending = 0;
volatile std::sig_atomic_t childPending = 0;

void note(int number) {
    switch (number) {
        case SIGTERM:
            termPending = 1;
            break;
        case SIGALRM:
            alarmPending = 1;
            break;
        case SIGCHLD:
            childPending = 1;
            break;
        default:
            break;
    }
}

// The only work done in signal context.
void noteSignal(int number) { note(number); }

// Signals that came while blocked are taken from the kernel without running their handlers.
void takeBlockedSignals() {
    if (!installed) return;
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

void setSignalWork(const SignalWork& work) { signalWork = work; }

bool installSignalHandlers() {
    // Every part is tried even after one failed: what can be set up is. The first failure's
    // errno is the one left for the caller to report.
    int firstError = 0;
    auto keepFirst = [&firstError](int error) {
        if (firstError == 0) firstError = error;
    };
    sigemptyset(&handledSignals);
    sigaddset(&handledSignals, SIGTERM);
    sigaddset(&handledSignals, SIGALRM);
    sigaddset(&handledSignals, SIGCHLD);
    if (int error = pthread_sigmask(SIG_BLOCK, &handledSignals, &startupMask); error != 0)
        keepFirst(error);
    // The wait must let them in even if the process was started with them blocked.
    sigdelset(&startupMask, SIGTERM);
    sigdelset(&startupMask, SIGALRM);
    sigdelset(&startupMask, SIGCHLD);
    struct sigaction action {};
    action.sa_handler = noteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    for (int number : {SIGTERM, SIGALRM, SIGCHLD})
        if (sigaction(number, &action, nullptr) != 0) keepFirst(errno);
    installed = true;
    if (firstError == 0) return true;
    errno = firstError;
    return false;
}

const sigset_t* waitSignalMask() { return &startupMask; }

void applyPendingSignals() {
    if (applying) return;
    applying = true;
    takeBlockedSignals();
    if (termPending) {
        termPending = 0;
        run(signalWork.term);
    }
    if (alarmPending) {
        alarmPending = 0;
        run(signalWork.alarm);
    }
    if (childPending) {
        childPending = 0;
        run(signalWork.child);
    }
    applying = false;
}

void pauseSeconds(unsigned seconds) {
    sleepMs(std::int64_t{seconds} * 1000);
    applyPendingSignals();
}
