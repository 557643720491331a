#include "core/guarded_read.h"

#include <setjmp.h>
#include <signal.h>

#include <cerrno>

#include "core/error_codes.h"
#include "core/log.h"

namespace {

sigjmp_buf readFault;

// SIGBUS, while a guarded read runs: the read can't go on, back to its start.
void abandonRead(int) { siglongjmp(readFault, 1); }

// Puts back the handler that was there before the read. Should that fail, a later fault would
// jump into a read that has ended: it is logged, as nothing else can be done about it.
void restoreBusHandler(const struct sigaction& previous) {
    if (sigaction(SIGBUS, &previous, nullptr) != 0)
        UPDATE_ERR(LogLevel::Critical, kErrorSystem, "SIGBUS handler not restored: %d %m \n",
                   errno);
}

}  // namespace

bool runGuardedRead(void (*read)(void* context), void* context) {
    struct sigaction guard {};
    guard.sa_handler = abandonRead;
    sigemptyset(&guard.sa_mask);
    struct sigaction previous {};
    // Unguarded, a file cut short meanwhile would end the daemon: the read is not done.
    if (sigaction(SIGBUS, &guard, &previous) != 0) {
        UPDATE_ERR(LogLevel::Critical, kErrorSystem,
                   "mapped file not read, no SIGBUS guard: %d %m \n", errno);
        return false;
    }
    // The mask is saved with the jump buffer, so that the jump also lifts the block that the
    // handler's entry put on SIGBUS.
    if (sigsetjmp(readFault, 1) != 0) {
        restoreBusHandler(previous);
        return false;
    }
    read(context);
    restoreBusHandler(previous);
    return true;
}
