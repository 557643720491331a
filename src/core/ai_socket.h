// The AI socket: a Unix datagram socket at "/rb_ai_sock2up" talking to the peer at
// "/rb_ai_sock2ad", and the daemon's own wake-ups posted to itself.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/ai_message.h"

// Descriptor (>= 0), or -1 (no socket), -2 (not non-blocking), -3 (not bound).
std::int32_t openAiSocket(const char* path);
void setAiDestination(const char* path);
// Bytes sent or -1. Without a socket: "CAUTION! ..." on standard output and exit status 5.
ssize_t sendAiMessage(const AiMessage& message);
// Who sent a datagram: whether from the daemon's own address (only the daemon's own socket is
// bound there), and the user the kernel vouches for (SO_PASSCRED), when it did.
struct AiSender {
    bool fromSelf = false;
    bool vouched = false;
    uid_t uid = 0;
};
// Bytes received, 0 or -1; at most kAiReceiveSize bytes into buffer, and who sent them.
ssize_t receiveAiMessage(void* buffer, AiSender* sender);
void closeAiSocket();
int aiSocketDescriptor();

// 1 when all len bytes went out, -1 (logged) otherwise. Sent once, never waited for.
int write_message(const void* message, int len);
// The type field when the length field equals n and the datagram holds the type; else -1.
std::uint32_t checkAiMessage(const void* buffer, ssize_t n);

int sendReply(std::int32_t param, const void* text, std::size_t length);
int sendNotice(std::int32_t param, const void* text, std::size_t length);
int sendTrigger(std::int32_t param);

// Sends a notice that must reach the peer, the end of an update: one that can't go out now
// (the peer's queue full, no peer bound) stays pending and is sent again every kNoticeRetryMs
// by retryPendingNotice, quietly, until it goes out or is dropped. A later lasting notice, or
// dropPendingNotice (a new update starts), drops it (logged). The result of the first send.
int sendLastingNotice(std::int32_t param, const void* text, std::size_t length);
inline constexpr int kNoticeRetryMs = 200;
std::optional<std::int64_t> pendingNoticeDueMs();
void retryPendingNotice(std::int64_t nowMs);
void dropPendingNotice();
// Posts an AI_TRIGGER with param to the daemon's own address.
void postWakeUp(std::int32_t param);
// True once after a wake-up could not be posted (a flood fills the daemon's own queue): the
// main loop then does the wake-up's work itself.
bool takeLostWakeUp();
// Posts message to the daemon's own address; the result of write_message.
int postToSelf(const void* message, int len);
