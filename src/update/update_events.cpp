#include "update/update_events.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/ai_socket.h"
#include "core/child_process.h"
#include "core/daemon_life.h"
#include "core/due_work.h"
#include "core/error_codes.h"
#include "core/log.h"
#include "update/firmware_step.h"
#include "update/operation_names.h"
#include "update/peer_door.h"
#include "update/state_machine.h"
#include "update/update_reception.h"
#include "update/update_state.h"

namespace {

constexpr unsigned kStopWaitSeconds = 30;

// Starting an update and stopping the daemon are root's and the daemon's own user's: the
// kernel vouches for the sender of each datagram.
bool mayStartOrStop(const AiSender& sender) {
    return sender.vouched && (sender.uid == 0 || sender.uid == getuid());
}

void handleRequest(std::int32_t command, const AiSender& sender) {
    if ((command == REQ_START_UPDATE || command == REQ_STOP) && !mayStartOrStop(sender)) {
        // Refusals are a sender's doing, and may come by the thousand, as datagram errors do.
        UPDATE_ERR_REPEATABLE(LogLevel::Warning, kErrorUnknownMessage,
                              "request %d from uid %d refused: only root or uid %d may ask \n",
                              static_cast<int>(command),
                              sender.vouched ? static_cast<int>(sender.uid) : -1,
                              static_cast<int>(getuid()));
        return;
    }
    switch (command) {
        case REQ_QUERY:
            sendReply(0, kAiIdentText, kAiIdentLength);
            break;
        case REQ_START_UPDATE:
            // A second update over a running one would unpack over the running DFU's files
            // and load the module twice at once.
            if (!admitStartRequest()) break;
            // The end of an earlier update that its peer never took is old news now.
            dropPendingNotice();
            resetUpdateOutcome();
            if (startUpdate(sender.uid) == StartOutcome::Refused) refuseStartRequest();
            startNextStep("");
            break;
        case REQ_STOP:
            // The peer learns that the update it asked for didn't finish before the daemon
            // waits to go; a DFU program under way is stopped, its group killed at its time.
            if (updateUnderWay()) endUpdateForStop();
            pauseDoingDueWork(kStopWaitSeconds);
            sendReply(3, "b", 1);
            reboot("stopped");
            break;
        default:
            break;  // REQ_IGNORED and unknown commands
    }
}

// The end of a child, as its AI_CHILD_EXIT reports it: taken only for a child of this daemon
// that has been reaped, once; the DFU child's end goes to its step.
void childEnded(std::int32_t pid, std::int32_t status) {
    UPDATE_LOG_AS(kReadMessage, LogLevel::Warning, "Child with PID %d dead; status: %d \n", pid,
                  status);
    if (!takeChildEnd(pid, &status)) {
        UPDATE_LOG_AS(kReadMessage, LogLevel::Warning,
                      "PID %d is no ended child of this daemon; ignored\n", pid);
        return;
    }
    if (pid == update.dfuPid) dfuEnded(status);
}

// Only the daemon itself posts wake-ups and children's ends; from anybody else they could
// end a step that still runs.
bool onlyFromSelf(const AiMessage& message) {
    return message.type == AI_CHILD_EXIT ||
           (message.type == AI_TRIGGER && message.param == WAKE_UP);
}

}  // namespace

void readMessage() {
    // Zeroed so that nothing of an earlier datagram can be mistaken for this one's fields.
    alignas(AiMessage) std::uint8_t buffer[kAiReceiveSize] = {};
    AiSender sender;
    ssize_t n = receiveAiMessage(buffer, &sender);
    // The errors of a datagram are the sender's doing, and a sender may send thousands: each
    // goes to standard error, the report gets a few a minute and the count of the others.
    if (n < 0) {
        UPDATE_ERR_REPEATABLE(LogLevel::Warning, kErrorOperationFailed,
                              "read error from socket: counter = %d; %d %m\n", static_cast<int>(n),
                              errno);
        return;
    }
    if (n == 0) {
        // An empty datagram is no failure of the receive: errno holds nothing of it.
        UPDATE_ERR_REPEATABLE(LogLevel::Warning, kErrorOperationFailed,
                              "read error from socket: counter = %d; %d %s\n", 0, 0,
                              "empty datagram");
        return;
    }
    std::uint32_t type = checkAiMessage(buffer, n);
    if (type == 0xFFFFFFFFu) {
        UPDATE_ERR_REPEATABLE(LogLevel::Warning, kErrorOutOfRange,
                              "socket message length error \n");
        return;
    }
    if (type != AI_TRIGGER && type != AI_CHILD_EXIT && type != AI_REQUEST) {
        UPDATE_ERR_REPEATABLE(LogLevel::Warning, kErrorUnknownMessage,
                              "unknown message from socket \n");
        return;
    }
    AiMessage message{};
    std::memcpy(&message, buffer, std::min(static_cast<std::size_t>(n), sizeof message));
    if (!sender.fromSelf && onlyFromSelf(message)) {
        UPDATE_ERR_REPEATABLE(LogLevel::Warning, kErrorUnknownMessage,
                              "message %u %d from unknown sender dropped \n",
                              static_cast<unsigned>(type), static_cast<int>(message.param));
        return;
    }
    switch (type) {
        case AI_TRIGGER:
            if (message.param == WAKE_UP) stateMachine();
            break;
        case AI_CHILD_EXIT: {
            std::int32_t status;
            std::memcpy(&status, message.payload, sizeof status);
            childEnded(message.param, status);
            break;
        }
        case AI_REQUEST:
            handleRequest(message.param, sender);
            break;
    }
}

void alarmHandler() {
    UPDATE_ERR(LogLevel::Critical, kErrorWriteOrEvent, "Update step timed out !!!");
    update.stepState = STATE_TIMEOUT;
    postWakeUp(WAKE_UP);
}

void childDead() {
    if (admitRepeated(Repeated::ChildSignals))
        UPDATE_LOG(LogLevel::Warning, "Child dead signal arrived\n");
    std::int32_t pid = 0;
    std::int32_t status = 0;
    while (reapEndedChild(&pid, &status)) {
        if (pid == update.dfuPid) dfuReaped();
        if (postChildExit(pid, status) == -1) {
            std::printf("PID %d\n", static_cast<int>(pid));
            std::fflush(stdout);
            // Without its report the child's end is taken here.
            childEnded(pid, status);
        }
    }
}
