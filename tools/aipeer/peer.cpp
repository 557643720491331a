#include "tools/aipeer/peer.h"

#include <cstring>

#include "core/ai_message.h"

std::optional<PeerRecord> decodeRecord(std::span<const std::uint8_t> datagram) {
    if (datagram.size() < kAiHeaderSize) return std::nullopt;
    AiMessage message{};
    std::memcpy(&message, datagram.data(), std::min(datagram.size(), sizeof message));
    PeerRecord record{message.type, message.param, {}};
    if ((message.type == AI_REPLY || message.type == AI_NOTICE) &&
        datagram.size() > kAiHeaderSize) {
        std::size_t length = message.payload[0];
        std::size_t available = datagram.size() - kAiHeaderSize - 1;
        record.text.assign(reinterpret_cast<const char*>(message.payload + 1),
                           std::min(length, available));
    }
    return record;
}

const char* typeName(std::uint32_t type) {
    switch (type) {
        case AI_CHILD_EXIT:
            return "AI_CHILD_EXIT";
        case AI_TRIGGER:
            return "AI_TRIGGER";
        case AI_REQUEST:
            return "AI_REQUEST";
        case AI_REPLY:
            return "AI_REPLY";
        case AI_NOTICE:
            return "AI_NOTICE";
        default:
            return "unknown type";
    }
}

std::string describeRecord(const PeerRecord& record) {
    std::string text = std::string(typeName(record.type)) + " (" + std::to_string(record.type) +
                       ") param " + std::to_string(record.param);
    if (record.type == AI_REPLY || record.type == AI_NOTICE) {
        std::string shown;
        for (char c : record.text) {
            if (c == '\0') {
                shown += "\\0";
            } else if (c < 0x20 || c == 0x7f) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
                shown += escaped;
            } else {
                shown += c;
            }
        }
        text += " text \"" + shown + "\" (" + std::to_string(record.text.size()) + " bytes)";
    }
    return text;
}

std::optional<PeerCommand> parsePeerCommand(const std::string& word) {
    if (word == "notice") return PeerCommand::Notice;
    if (word == "query") return PeerCommand::Query;
    if (word == "start") return PeerCommand::Start;
    if (word == "stop") return PeerCommand::Stop;
    if (word == "listen") return PeerCommand::Listen;
    if (word == "capture") return PeerCommand::Capture;
    if (word == "capture-image") return PeerCommand::CaptureImage;
    return std::nullopt;
}

std::optional<std::int32_t> requestOf(PeerCommand command) {
    switch (command) {
        case PeerCommand::Query:
            return REQ_QUERY;
        case PeerCommand::Start:
        case PeerCommand::Capture:
            return REQ_START_UPDATE;
        case PeerCommand::Stop:
            return REQ_STOP;
        default:
            return std::nullopt;
    }
}

std::optional<Expectation> expectationOf(PeerCommand command) {
    switch (command) {
        case PeerCommand::Notice:
            return Expectation{AI_NOTICE, 0};
        case PeerCommand::Query:
            return Expectation{AI_REPLY, 0};
        case PeerCommand::Start:
        case PeerCommand::Capture:
            return Expectation{AI_NOTICE, 2};
        case PeerCommand::Stop:
            return Expectation{AI_REPLY, 3};
        default:
            return std::nullopt;
    }
}
