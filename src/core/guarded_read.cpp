#include "core/guarded_read.h"

#include <setjmp.h>
#include <signal.h>

namespace {

sigjmp_buf readFault;

// SIGBUS, while a guarded read runs: the read can't go on, back to its start.
void abandonRead(int) { siglongjmp(readFault, 1); }

}  // namespace

bool runGuardedRead(void (*read)(void* context), void* context) {
    struct sigaction guard {};
    guard.sa_handler = abandonRead;
    sigemptyset(&guard.sa_mask);
    struct sigaction previous {};
    sigaction(SIGBUS, &guard, &previous);
    // The mask is saved with the jump buffer, so that the jump also lifts the block that the
    // handler's entry put on SIGBUS.
    if (sigsetjmp(readFault, 1) != 0) {
        sigaction(SIGBUS, &previous, nullptr);
        return false;
    }
    read(context);
    sigaction(SIGBUS, &previous, nullptr);
    return true;
}
