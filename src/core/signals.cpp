#include "core/signals.h"

#include <time.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <iterator>

#include "core/clock.h"

namespace {

// The noted signals, in the order their work is done; the first four are logged and ignored.
constexpr int kNoted[] = {SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGALRM, SIGCHLD};
// In arrays rather than pointers, which would each cost the daemon a relocation.
constexpr char kIgnoredNames[][8] = {"SIGTERM", "SIGHUP", "SIGUSR1", "SIGUSR2"};
constexpr int kAlarm = 4;
constexpr int kChild = 5;

// The work each signal brings, the masks, and the signals noted by the handlers and not yet
// worked off.
struct SignalState {
    SignalWork work{};
    sigset_t startupMask{};
    sigset_t handledSignals{};
    bool installed = false;
    bool applying = false;
    volatile std::sig_atomic_t pending[std::size(kNoted)] = {};
};
constinit SignalState signals;

void note(int number) {
    for (std::size_t i = 0; i < std::size(kNoted); ++i)
        if (kNoted[i] == number) signals.pending[i] = 1;
}

// The only work done in signal context.
void noteSignal(int number) { note(number); }

// Signals that came while blocked are taken from the kernel without running their handlers.
void takeBlockedSignals() {
    if (!signals.installed) return;
    sigset_t pending;
    if (sigpending(&pending) != 0) return;
    const timespec noWait{0, 0};
    for (int number : kNoted) {
        if (sigismember(&pending, number) != 1) continue;
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, number);
        if (sigtimedwait(&one, nullptr, &noWait) == number) note(number);
    }
}

bool take(int index) {
    if (signals.pending[index] == 0) return false;
    signals.pending[index] = 0;
    return true;
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
    for (int number : kNoted) sigaddset(&signals.handledSignals, number);
    if (int error = pthread_sigmask(SIG_BLOCK, &signals.handledSignals, &signals.startupMask);
        error != 0)
        keepFirst(error);
    // The wait must let them in even if the process was started with them blocked.
    for (int number : kNoted) sigdelset(&signals.startupMask, number);
    struct sigaction action {};
    action.sa_handler = noteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    for (int number : kNoted)
        if (sigaction(number, &action, nullptr) != 0) keepFirst(errno);
    if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) keepFirst(errno);
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
    for (int i = 0; i < kAlarm; ++i)
        if (take(i) && signals.work.ignored != nullptr) signals.work.ignored(kIgnoredNames[i]);
    if (take(kAlarm) && takeArmedAlarm()) run(signals.work.alarm);
    if (take(kChild)) run(signals.work.child);
    signals.applying = false;
}
