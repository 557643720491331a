// The AI socket: a Unix datagram socket at "/rb_ai_sock2up" talking to the peer at
// "/rb_ai_sock2ad", and the daemon's own wake-ups posted to itself.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "core/ai_message.h"

// Descriptor (>= 0), or -1 (no socket), -2 (not non-blocking), -3 (not bound).
std::int32_t openAiSocket(const char* path);
void setAiDestination(const char* path);
// Bytes sent or -1. Without a socket: "CAUTION! ..." on standard output and exit status 5.
ssize_t sendAiMessage(const AiMessage& message);
// Bytes received, 0 or -1; at most kAiReceiveSize bytes into buffer. fromSelf: whether the
// sender's address is the daemon's own (only the daemon's own socket is bound there).
ssize_t receiveAiMessage(void* buffer, bool* fromSelf);
void closeAiSocket();
int aiSocketDescriptor();

// 1 when all len bytes went out, -1 (logged) otherwise. A send to the peer that finds its
// queue full is tried again as the queue takes it, for up to kAiSendWaitSeconds.
int write_message(const void* message, int len);
inline constexpr int kAiSendWaitSeconds = 5;
// The type field when the length field equals n and the datagram holds the type; else -1.
std::uint32_t checkAiMessage(const void* buffer, ssize_t n);

int sendReply(std::int32_t param, const void* text, std::size_t length);
int sendNotice(std::int32_t param, const void* text, std::size_t length);
int sendTrigger(std::int32_t param);
// Posts an AI_TRIGGER with param to the daemon's own address.
void postWakeUp(std::int32_t param);
// True once after a wake-up could not be posted (a flood fills the daemon's own queue): the
// main loop then does the wake-up's work itself.
bool takeLostWakeUp();
// Posts message to the daemon's own address; the result of write_message.
int postToSelf(const void* message, int len);
