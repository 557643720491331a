#include "core/due_work.h"

#include <algorithm>

#include "core/ai_socket.h"
#include "core/child_process.h"
#include "core/clock.h"
#include "core/signals.h"

std::optional<std::int64_t> nextDueWorkMs() {
    std::optional<std::int64_t> kill = groupKillDueMs();
    std::optional<std::int64_t> notice = pendingNoticeDueMs();
    if (kill && notice) return std::min(*kill, *notice);
    return kill ? kill : notice;
}

void runDueWork() {
    std::int64_t now = monotonicMs();
    killOverdueGroup(now);
    retryPendingNotice(now);
}

void pauseDoingDueWork(unsigned seconds) {
    const std::int64_t end = monotonicMs() + std::int64_t{seconds} * 1000;
    for (;;) {
        runDueWork();
        std::int64_t now = monotonicMs();
        if (now >= end) break;
        std::int64_t wake = std::min(end, nextDueWorkMs().value_or(end));
        sleepMs(std::max<std::int64_t>(wake - now, 1));
    }
    applyPendingSignals();
}
