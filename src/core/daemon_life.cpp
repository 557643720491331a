#include "core/daemon_life.h"

#include <csignal>
#include <cstdlib>

#include "core/ai_socket.h"
#include "core/child_process.h"
#include "core/log.h"
#include "update/update_state.h"

std::int32_t keepRunning = 1;
std::array<pollfd, 3> pollSet{};
std::int32_t pollFdCount = 0;
std::int32_t btModuleSlot = 0;

namespace {

std::int32_t exitLatch = 0;
sigset_t startupMask;
volatile std::sig_atomic_t termPending = 0;
volatile std::sig_atomic_t alarmPending = 0;
volatile std::sig_atomic_t childPending = 0;

// The only work done in signal context: note that the signal came.
void noteSignal(int number) {
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

}  // namespace

void exitProcess() {
    closeAiSocket();
    keepRunning = 0;
    std::exit(0);
}

void reboot(const char* reason) {
    if (exitLatch != 0) return;
    exitLatch = 1;
    UPDATE_ERR(LogLevel::Warning, 107, "Exit because %s !!\n", reason);
    exitProcess();
}

void installSignalHandlers() {
    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, SIGTERM);
    sigaddset(&handled, SIGALRM);
    sigaddset(&handled, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &handled, &startupMask);
    // The wait must let them in even if the process was started with them blocked.
    sigdelset(&startupMask, SIGTERM);
    sigdelset(&startupMask, SIGALRM);
    sigdelset(&startupMask, SIGCHLD);
    struct sigaction action {};
    action.sa_handler = noteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGALRM, &action, nullptr);
    sigaction(SIGCHLD, &action, nullptr);
}

const sigset_t* waitSignalMask() { return &startupMask; }

void handlePendingSignals() {
    // Handled in the order in which the handlers of a single-threaded daemon would most
    // plausibly have run; each kind at most once per pass, as the kernel merges repeats.
    if (termPending) {
        termPending = 0;
        sigTerm();
    }
    if (alarmPending) {
        alarmPending = 0;
        alarmHandler();
    }
    if (childPending) {
        childPending = 0;
        childDead();
    }
}

void sigTerm() { UPDATE_ERR(LogLevel::Warning, 107, "SIGTERM receiced and ignored !!\n"); }

void alarmHandler() {
    UPDATE_ERR(LogLevel::Critical, 107, "Update step timed out !!!");
    stepState = STATE_TIMEOUT;
    postWakeUp(WAKE_UP);
}
