#include "core/ai_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/clock.h"
#include "core/error_codes.h"
#include "core/log.h"

namespace {

// Build-time trace switches: bit 0 dumps received, bit 1 sent messages.
constexpr unsigned aiTraceFlags = 0;

// The socket, its own address and the peer's, and whether a wake-up couldn't be posted (the
// descriptor apart: its -1 would give the addresses room in the program file).
int socketDescriptor = -1;
struct AiSocketState {
    char ownAddress[sizeof(sockaddr_un::sun_path)] = "";
    sockaddr_un destination{};
    socklen_t destinationLength = 0;
    bool wakeUpLost = false;
};
constinit AiSocketState aiSocket;

socklen_t addressLength(const char* path) { return static_cast<socklen_t>(std::strlen(path) + 3); }

void traceMessage(const char* direction, const void* message, std::size_t available) {
    const auto* bytes = static_cast<const std::uint8_t*>(message);
    AiMessage header{};
    std::memcpy(&header, bytes, std::min(available, kAiHeaderSize));
    std::printf("%s len: 0x%04x, typ: 0x%08x hdata: ", direction, header.length, header.type);
    for (std::size_t i = 0; i < header.length && i < available; ++i)
        std::printf("0x%02x ", bytes[i]);
    std::printf("\n");
}

// The fields a datagram of this type must carry: type and param (12 bytes), and the
// status word of a child's end (16 bytes).
std::size_t requiredLength(std::uint32_t type) {
    switch (type) {
        case AI_CHILD_EXIT:
            return kAiChildExitSize;
        case AI_TRIGGER:
        case AI_REQUEST:
            return kAiHeaderSize;
        default:
            return 8;
    }
}

}  // namespace

std::int32_t openAiSocket(const char* path) {
    unlink(path);
    // Close-on-exec: the DFU program must not inherit the daemon's socket.
    socketDescriptor = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socketDescriptor < 0) return -1;
    // The kernel tells with each datagram which user sent it: only root and the daemon's own
    // user may start an update or stop the daemon. Without it, nobody may.
    int passCredentials = 1;
    if (setsockopt(socketDescriptor, SOL_SOCKET, SO_PASSCRED, &passCredentials,
                   sizeof passCredentials) != 0) {
        UPDATE_ERR(LogLevel::Critical, kErrorSystem,
                   "senders' credentials not passed on the ai socket: %d %m \n", errno);
    }
    std::snprintf(aiSocket.ownAddress, sizeof aiSocket.ownAddress, "%s", path);
    if (fcntl(socketDescriptor, F_SETFL, O_NONBLOCK) != 0) return -2;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
    if (bind(socketDescriptor, reinterpret_cast<sockaddr*>(&address), addressLength(path)) != 0)
        return -3;
    return socketDescriptor;
}

void setAiDestination(const char* path) {
    aiSocket.destination = sockaddr_un{};
    aiSocket.destination.sun_family = AF_UNIX;
    std::snprintf(aiSocket.destination.sun_path, sizeof aiSocket.destination.sun_path, "%s", path);
    aiSocket.destinationLength = addressLength(path);
}

ssize_t sendAiMessage(const AiMessage& message) {
    if (socketDescriptor == -1) {
        std::printf("CAUTION! Initialise the AI interface first!\n");
        std::fflush(stdout);
        std::exit(5);
    }
    if (aiTraceFlags & 2) traceMessage("AI-TRM", &message, sizeof message);
    return sendto(socketDescriptor, &message, message.length, 0,
                  reinterpret_cast<const sockaddr*>(&aiSocket.destination),
                  aiSocket.destinationLength);
}

ssize_t receiveAiMessage(void* buffer, AiSender* from) {
    sockaddr_un sender{};
    iovec data{buffer, kAiReceiveSize};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    msghdr message{};
    message.msg_name = &sender;
    message.msg_namelen = sizeof sender;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n = recvmsg(socketDescriptor, &message, 0);
    *from = AiSender{};
    // An unbound sender has no path; an abstract one starts with a zero byte.
    constexpr std::size_t kPathOffset = offsetof(sockaddr_un, sun_path);
    socklen_t senderLength = n >= 0 ? message.msg_namelen : 0;
    std::size_t pathLength =
        senderLength > kPathOffset ? strnlen(sender.sun_path, senderLength - kPathOffset) : 0;
    from->fromSelf = n >= 0 && pathLength > 0 && pathLength == std::strlen(aiSocket.ownAddress) &&
                     std::memcmp(sender.sun_path, aiSocket.ownAddress, pathLength) == 0;
    for (cmsghdr* part = n >= 0 ? CMSG_FIRSTHDR(&message) : nullptr; part != nullptr;
         part = CMSG_NXTHDR(&message, part)) {
        if (part->cmsg_level != SOL_SOCKET || part->cmsg_type != SCM_CREDENTIALS) continue;
        ucred credentials{};
        std::memcpy(&credentials, CMSG_DATA(part), sizeof credentials);
        from->vouched = true;
        from->uid = credentials.uid;
    }
    if ((aiTraceFlags & 1) && n > 0) traceMessage("AI-RCV", buffer, static_cast<std::size_t>(n));
    return n;
}

void closeAiSocket() {
    close(socketDescriptor);
    unlink(aiSocket.ownAddress);
}

int aiSocketDescriptor() { return socketDescriptor; }

int write_message(const void* message, int len) {
    AiMessage frame{};
    std::memcpy(&frame, message, std::min(static_cast<std::size_t>(len), sizeof frame));
    // Sent once: the loop never waits for a peer's room, or any process that sends queries
    // and reads none could hold the daemon up. What must reach the peer whatever it does, the
    // end of an update, is kept and sent again by sendLastingNotice.
    ssize_t sent = sendAiMessage(frame);
    if (sent == len) return 1;
    // A flood can make sends fail by the thousand: the report gets them as it gets junk.
    UPDATE_ERR_REPEATABLE(LogLevel::Critical, kErrorWriteOrEvent,
                          "%d Bytes from %d written => socket write errno %d %m \n",
                          static_cast<int>(sent), len, errno);
    return -1;
}

std::uint32_t checkAiMessage(const void* buffer, ssize_t n) {
    if (n < 8) return 0xFFFFFFFFu;
    AiMessage header{};
    std::memcpy(&header, buffer, kAiHeaderSize);
    if (header.length != n) return 0xFFFFFFFFu;
    if (static_cast<std::size_t>(n) < requiredLength(header.type)) return 0xFFFFFFFFu;
    return header.type;
}

namespace {

// The lasting notice's retries and drop are logged as the send they go on with.
constexpr const char* kSendNotice = "sendNotice";

int sendTextFrame(const char* function, std::uint32_t type, std::int32_t param, const void* text,
                  std::size_t length) {
    if (length > kAiMaxText) {
        UPDATE_ERR_AS(function, LogLevel::Critical, kErrorWriteOrEvent,
                      "text of %u bytes doesn't fit a message \n", static_cast<unsigned>(length));
        return -1;
    }
    AiMessage frame = makeTextFrame(type, param, text, length);
    return write_message(&frame, kAiTextFrameSize);
}

}  // namespace

int sendReply(std::int32_t param, const void* text, std::size_t length) {
    return sendTextFrame("sendReply", AI_REPLY, param, text, length);
}

int sendNotice(std::int32_t param, const void* text, std::size_t length) {
    return sendTextFrame(kSendNotice, AI_NOTICE, param, text, length);
}

namespace {

// A final notice that hasn't gone out yet, and when it is tried next.
struct PendingNotice {
    bool pending = false;
    AiMessage frame{};
    std::int64_t nextTryMs = 0;
    int tries = 0;
};
PendingNotice pendingNotice;

}  // namespace

int sendLastingNotice(std::int32_t param, const void* text, std::size_t length) {
    dropPendingNotice();
    int result = sendNotice(param, text, length);
    if (result == 1 || length > kAiMaxText) return result;
    pendingNotice = PendingNotice{true, makeTextFrame(AI_NOTICE, param, text, length),
                                  monotonicMs() + kNoticeRetryMs, 1};
    UPDATE_LOG_AS(kSendNotice, LogLevel::Warning,
                  "notice %d not delivered; tried again every %d ms\n", static_cast<int>(param),
                  kNoticeRetryMs);
    return result;
}

std::optional<std::int64_t> pendingNoticeDueMs() {
    if (!pendingNotice.pending) return std::nullopt;
    return pendingNotice.nextTryMs;
}

void retryPendingNotice(std::int64_t nowMs) {
    if (!pendingNotice.pending || nowMs < pendingNotice.nextTryMs) return;
    ++pendingNotice.tries;
    // Quietly: the first failure is logged, and a peer that is away a while would fill the
    // log with the same line.
    if (sendAiMessage(pendingNotice.frame) == kAiTextFrameSize) {
        pendingNotice.pending = false;
        UPDATE_LOG_AS(kSendNotice, LogLevel::Warning, "notice %d delivered at try %d\n",
                      static_cast<int>(pendingNotice.frame.param), pendingNotice.tries);
        return;
    }
    pendingNotice.nextTryMs = nowMs + kNoticeRetryMs;
}

void dropPendingNotice() {
    if (!pendingNotice.pending) return;
    pendingNotice.pending = false;
    UPDATE_ERR_AS(kSendNotice, LogLevel::Warning, kErrorWriteOrEvent,
                  "notice %d never delivered; dropped after %d tries\n",
                  static_cast<int>(pendingNotice.frame.param), pendingNotice.tries);
}

int sendTrigger(std::int32_t param) {
    AiMessage message = makeHeaderFrame(AI_TRIGGER, param, kAiHeaderSize);
    return write_message(&message, kAiHeaderSize);
}

int postToSelf(const void* message, int len) {
    setAiDestination(kAiOwnPath);
    int result = write_message(message, len);
    setAiDestination(kAiPeerPath);
    return result;
}

void postWakeUp(std::int32_t param) {
    AiMessage message = makeHeaderFrame(AI_TRIGGER, param, kAiHeaderSize);
    if (postToSelf(&message, kAiHeaderSize) == -1) aiSocket.wakeUpLost = true;
}

bool takeLostWakeUp() {
    bool lost = aiSocket.wakeUpLost;
    aiSocket.wakeUpLost = false;
    return lost;
}
