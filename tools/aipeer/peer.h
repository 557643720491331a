// The peer's side of the AI socket, for the aipeer tool.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

struct PeerRecord {
    std::uint32_t type = 0;
    std::int32_t param = 0;
    std::string text;  // text frames only
};

// Decodes a datagram in host byte order; nothing when it is too short for its header.
std::optional<PeerRecord> decodeRecord(std::span<const std::uint8_t> datagram);
// "AI_NOTICE param 2 text \"OK\" (2 bytes)", "AI_TRIGGER param 0", ...
std::string describeRecord(const PeerRecord& record);
const char* typeName(std::uint32_t type);

// What a command waits for.
struct Expectation {
    std::uint32_t type;
    std::int32_t param;
};

// Capture starts the read-only update as start does, then writes the board's folder;
// CaptureImage only writes that update to a file.
enum class PeerCommand { Notice, Query, Start, Stop, Listen, Capture, CaptureImage };
std::optional<PeerCommand> parsePeerCommand(const std::string& word);
// The request a command sends, if any, and the record it waits for, if any.
std::optional<std::int32_t> requestOf(PeerCommand command);
std::optional<Expectation> expectationOf(PeerCommand command);
