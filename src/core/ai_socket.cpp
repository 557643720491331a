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

#include "core/log.h"

namespace {

// Build-time trace switches: bit 0 dumps received, bit 1 sent messages.
constexpr unsigned aiTraceFlags = 0;

int socketDescriptor = -1;
char ownAddress[sizeof(sockaddr_un::sun_path)] = "";
sockaddr_un destination{};
socklen_t destinationLength = 0;

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
    std::snprintf(ownAddress, sizeof ownAddress, "%s", path);
    if (fcntl(socketDescriptor, F_SETFL, O_NONBLOCK) != 0) return -2;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
    if (bind(socketDescriptor, reinterpret_cast<sockaddr*>(&address), addressLength(path)) != 0)
        return -3;
    return socketDescriptor;
}

void setAiDestination(const char* path) {
    destination = sockaddr_un{};
    destination.sun_family = AF_UNIX;
    std::snprintf(destination.sun_path, sizeof destination.sun_path, "%s", path);
    destinationLength = addressLength(path);
}

ssize_t sendAiMessage(const AiMessage& message) {
    if (socketDescriptor == -1) {
        std::printf("CAUTION! Initialise the AI interface first!\n");
        std::fflush(stdout);
        std::exit(5);
    }
    if (aiTraceFlags & 2) traceMessage("AI-TRM", &message, sizeof message);
    return sendto(socketDescriptor, &message, message.length, 0,
                  reinterpret_cast<const sockaddr*>(&destination), destinationLength);
}

ssize_t receiveAiMessage(void* buffer) {
    sockaddr_un sender{};
    socklen_t senderLength = 110;
    ssize_t n = recvfrom(socketDescriptor, buffer, kAiReceiveSize, 0,
                         reinterpret_cast<sockaddr*>(&sender), &senderLength);
    if ((aiTraceFlags & 1) && n > 0) traceMessage("AI-RCV", buffer, static_cast<std::size_t>(n));
    return n;
}

void closeAiSocket() {
    close(socketDescriptor);
    unlink(ownAddress);
}

int aiSocketDescriptor() { return socketDescriptor; }

int write_message(const void* message, int len) {
    AiMessage frame{};
    std::memcpy(&frame, message, std::min(static_cast<std::size_t>(len), sizeof frame));
    ssize_t sent = sendAiMessage(frame);
    if (sent == len) return 1;
    int error = errno;
    UPDATE_ERR(LogLevel::Critical, 107, "%d Bytes from %d written => socket write errno %d %s \n",
               static_cast<int>(sent), len, error, std::strerror(error));
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

int sendTextFrame(const char* function, std::uint32_t type, std::int32_t param, const void* text,
                  std::size_t length) {
    if (length > kAiMaxText) {
        UPDATE_ERR_AS(function, LogLevel::Critical, 107,
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
    return sendTextFrame("sendNotice", AI_NOTICE, param, text, length);
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
    postToSelf(&message, kAiHeaderSize);
}
