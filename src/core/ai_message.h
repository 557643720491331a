// The AI socket's datagram record, shared by the daemon and the peer tool.
// Fields are in the host's byte order (big-endian on the board).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

inline constexpr char kAiOwnPath[] = "/rb_ai_sock2up";
inline constexpr char kAiPeerPath[] = "/rb_ai_sock2ad";

inline constexpr std::uint32_t AI_CHILD_EXIT = 12;
inline constexpr std::uint32_t AI_TRIGGER = 768;
inline constexpr std::uint32_t AI_REQUEST = 1024;
inline constexpr std::uint32_t AI_REPLY = 1025;
inline constexpr std::uint32_t AI_NOTICE = 1026;

// Commands of AI_REQUEST.
inline constexpr std::int32_t REQ_QUERY = 0;
inline constexpr std::int32_t REQ_START_UPDATE = 1;
inline constexpr std::int32_t REQ_IGNORED = 2;
inline constexpr std::int32_t REQ_STOP = 3;

// AI_TRIGGER code that runs the state machine.
inline constexpr std::int32_t WAKE_UP = 10;

inline constexpr std::size_t kAiHeaderSize = 12;
inline constexpr std::size_t kAiTextFrameSize = 64;
inline constexpr std::size_t kAiMaxText = 51;
inline constexpr std::size_t kAiChildExitSize = 16;
inline constexpr std::size_t kAiReceiveSize = 224;

// The identification text: the first ten characters of "/x0AT0x0Do0x00maso/x02", literally.
inline constexpr char kAiIdentText[] = "/x0AT0x0Do0x00maso/x02";
inline constexpr std::size_t kAiIdentLength = 10;

struct AiMessage {
    std::uint16_t length;   // whole datagram, header included
    std::uint16_t padding;  // never read
    std::uint32_t type;
    std::int32_t param;
    std::uint8_t payload[kAiTextFrameSize - kAiHeaderSize];
};
static_assert(sizeof(AiMessage) == kAiTextFrameSize);
static_assert(offsetof(AiMessage, type) == 4 && offsetof(AiMessage, param) == 8 &&
              offsetof(AiMessage, payload) == 12);

// A message of length bytes whose payload, if any, the caller fills: a request, a trigger or
// a child's end.
inline AiMessage makeHeaderFrame(std::uint32_t type, std::int32_t param, std::size_t length) {
    AiMessage frame{};
    frame.length = static_cast<std::uint16_t>(length);
    frame.type = type;
    frame.param = param;
    return frame;
}

// Builds a text frame (AI_REPLY or AI_NOTICE); text must be at most kAiMaxText bytes.
inline AiMessage makeTextFrame(std::uint32_t type, std::int32_t param, const void* text,
                               std::size_t textLength) {
    AiMessage frame = makeHeaderFrame(type, param, kAiTextFrameSize);
    frame.payload[0] = static_cast<std::uint8_t>(textLength);
    std::memcpy(frame.payload + 1, text, textLength);
    return frame;
}
