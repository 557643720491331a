// The update daemon of the BT-LAP: start-up and the main loop.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "btlink/module_link.h"
#include "core/ai_socket.h"
#include "core/build_time.h"
#include "core/child_process.h"
#include "core/clock.h"
#include "core/daemon_life.h"
#include "core/due_work.h"
#include "core/error_codes.h"
#include "core/log.h"
#include "core/platform.h"
#include "core/signals.h"
#include "core/work_files.h"
#include "image/flash.h"
#include "image/image_signature.h"
#include "update/board_keys.h"
#include "update/module_steps.h"
#include "update/state_machine.h"
#include "update/update_events.h"

namespace {

// The start-up and the loop are main's; their log lines say so.
constexpr const char* kMain = "main";

// When the time-out falls due: 15 s after the previous one or after the last step event. A
// datagram that moves no step (a query, junk, a flood) doesn't put it off, so that no sender
// can keep a step that waits for it from going on.
std::int64_t timeOutAt = 0;

void putOffTimeOut() { timeOutAt = monotonicMs() + kPollTimeoutMs; }

void startUp() {
    std::fprintf(stderr, "Korvane quorvale BT-LAP update software.\n");
    std::fprintf(stderr, "Version: %s  Compilation time: %s\n", kVersionText, kBuildTime);
    setSignalWork(SignalWork{sigTerm, alarmHandler, childDead});
    if (!installSignalHandlers()) {
        UPDATE_ERR_AS(kMain, LogLevel::Critical, kErrorSystem,
                      "signal handling not set up: %d %m \n", errno);
    }
    // A DFU program that a crashed run left loading the module must not meet a second one.
    stopRecordedGroup();

    std::int32_t socket = openAiSocket(kAiOwnPath);
    if (socket < 0) {
        UPDATE_ERR_AS(kMain, LogLevel::Critical, kErrorAiSocket,
                      "open error on ai socket: %d %m \n", errno);
    }
    setAiDestination(kAiPeerPath);
    // The report is made afresh at its first entry, by the daemon: whatever stands at its name
    // (a link, another user's file, a folder) goes.
    removeWhateverStands(kMain, kUpdateReportPath);
    checkFlashConfig();
    KeyFolderRules rules;
    const char* folder = boardKeyFolder(&rules);
    KeyFolder keys = inspectKeyFolder(folder, nullptr, rules);
    if (!keysRequired(keys.state) && !rules.enrolled) {
        UPDATE_LOG_AS(kMain, LogLevel::Warning,
                      "no update key installed: images are not signature-checked\n");
    } else if (keys.state != KeyFolderState::Keys) {
        UPDATE_LOG_AS(kMain, LogLevel::Warning,
                      "update key folder %s holds no usable key: every image is refused\n", folder);
    }
    sendNotice(0, kAiIdentText, kAiIdentLength);
    putOffTimeOut();
}

void runLoopPass() {
    applyPendingSignals();
    runDueWork();
    std::int64_t now = monotonicMs();
    if (now >= timeOutAt) {
        takeLostWakeUp();
        stateMachine();
        putOffTimeOut();
        return;
    }
    std::int64_t wakeAt = std::min(timeOutAt, nextDueWorkMs().value_or(timeOutAt));
    int timeoutMs = static_cast<int>(std::clamp<std::int64_t>(wakeAt - now, 0, kPollTimeoutMs));
    std::uint64_t runsBefore = stateMachineRuns();
    // Entry 0 the AI socket; entry 1 the module's link while it is open.
    int moduleFd = moduleLinkDescriptor();
    pollfd polled[] = {{aiSocketDescriptor(), POLLIN, 0}, {moduleFd, POLLIN | POLLPRI, 0}};
    int n = devPoll(polled, moduleFd >= 0 ? 2 : 1, timeoutMs, waitSignalMask());
    if (n == -1) {
        if (errno == EINTR) {
            UPDATE_LOG_AS(kMain, LogLevel::Detail, "some signal occured: errno = %d %m \n", errno);
        } else {
            UPDATE_ERR_AS(kMain, LogLevel::Fatal, kErrorSystem, "poll error: %d %m \n", errno);
        }
        return;
    }
    // Nothing came: the next pass does what fell due.
    if (n == 0) return;
    if (polled[0].revents & (POLLIN | POLLPRI | POLLERR | POLLHUP)) {
        readMessage();
    } else if (moduleFd < 0) {
        UPDATE_ERR_AS(kMain, LogLevel::Warning, kErrorUnknownDescriptor,
                      "Unknown filedescriptor %d\n", n);
    } else {
        moduleDataReady(polled[1].revents);
        stateMachine();
    }
    // A wake-up that couldn't be posted (the socket's own send buffer full) must not stall the
    // update: its work is done here.
    if (takeLostWakeUp()) stateMachine();
    if (stateMachineRuns() != runsBefore) putOffTimeOut();
}

}  // namespace

int main() {
    startUp();
    // The daemon ends only through exitProcess or reboot.
    for (;;) runLoopPass();
}
