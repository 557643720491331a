#include "sim/module/answer_builder.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>

#include "sim/module/pskey_store.h"

namespace {

// Header word offsets of a BCCMD message.
constexpr std::size_t kTypeAt = 0;
constexpr std::size_t kVaridAt = 6;
constexpr std::size_t kStatusAt = 8;
constexpr std::size_t kKeyAt = 10;
constexpr std::size_t kKeyLengthAt = 12;

// The most parameter bytes an HCI packet's length byte can give, after the descriptor.
constexpr std::size_t kMaxFramedMessage = 254;

ModulePacket commandComplete(std::uint16_t opcode, std::uint8_t status) {
    return {kHciEventPacket,
            kCommandCompleteEvent,
            4,
            1,
            static_cast<std::uint8_t>(opcode & 0xFF),
            static_cast<std::uint8_t>(opcode >> 8),
            status};
}

// The value words of a request, as many as its bytes carry.
std::vector<std::uint16_t> carriedWords(std::span<const std::uint8_t> message, std::size_t count) {
    std::vector<std::uint16_t> words;
    for (std::size_t i = 0; i < count && kBccmdHeaderBytes + 2 * i + 1 < message.size(); ++i) {
        words.push_back(getLe16(message, kBccmdHeaderBytes + 2 * i));
    }
    return words;
}

// Status of the request, with a GET's value filled in and a SET's value stored.
std::uint16_t serveRequest(std::span<const std::uint8_t> request, ModulePacket& answer,
                           AnswerFault fault) {
    if (getLe16(request, kVaridAt) != kBccmdPsKeyVarid) return kBccmdNoSuchVarid;
    std::uint16_t type = getLe16(request, kTypeAt);
    if (type != kBccmdGetRequest && type != kBccmdSetRequest) return kBccmdBadRequest;
    std::uint16_t key = getLe16(request, kKeyAt);
    PsKeyStore store = loadModuleStore();
    if (fault == AnswerFault::status) return kBccmdError;
    if (type == kBccmdGetRequest) {
        auto held = store.find(key);
        if (held == store.end()) return moduleUnheldStatus(kBccmdNoValue);
        std::fill(answer.begin() + kBccmdHeaderBytes, answer.end(), 0);
        putLe16(answer, kKeyLengthAt, static_cast<std::uint16_t>(held->second.size()));
        for (std::size_t i = 0; i < held->second.size(); ++i) {
            putLe16(answer, kBccmdHeaderBytes + 2 * i, held->second[i]);
        }
        return kBccmdOk;
    }
    std::size_t count = getLe16(request, kKeyLengthAt);
    if (count > kPsKeyMaxWords || kBccmdHeaderBytes + 2 * count > request.size()) {
        return kBccmdTooBig;
    }
    if (moduleRefusesKey(key)) return kBccmdError;
    store[key] = carriedWords(request, count);
    saveModuleStore(store);
    return kBccmdOk;
}

__attribute__((format(printf, 1, 2))) std::string formatted(const char* format, ...) {
    char text[64];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return text;
}

}  // namespace

std::uint16_t getLe16(std::span<const std::uint8_t> bytes, std::size_t offset) {
    if (offset + 1 >= bytes.size()) return 0;
    return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

void putLe16(std::span<std::uint8_t> bytes, std::size_t offset, std::uint16_t value) {
    if (offset + 1 >= bytes.size()) return;
    bytes[offset] = static_cast<std::uint8_t>(value & 0xFF);
    bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

std::optional<ModulePacket> answerBccmdMessage(std::span<const std::uint8_t> message,
                                               AnswerFault fault) {
    if (message.size() < kBccmdHeaderBytes) return std::nullopt;
    // The answer is the request's layout: header echoed, then type, status, length and value.
    ModulePacket answer(message.begin(), message.end());
    answer.resize(std::max(answer.size(), kBccmdMessageBytes), 0);
    std::uint16_t status = serveRequest(message, answer, fault);
    putLe16(answer, kTypeAt, kBccmdGetResponse);
    putLe16(answer, kStatusAt, status);
    if (fault == AnswerFault::shortAnswer) {
        std::uint16_t carried = std::min<std::uint16_t>(getLe16(answer, kKeyLengthAt), 40);
        answer.resize(kBccmdHeaderBytes + 2 * carried);
        putLe16(answer, kKeyLengthAt,
                static_cast<std::uint16_t>(carried + kShortAnswerMissingWords));
    } else if (fault == AnswerFault::longAnswer) {
        answer.resize(kBccmdHeaderBytes + 2 * kLongAnswerWords, 0);
        putLe16(answer, kKeyLengthAt, kLongAnswerWords);
    }
    return answer;
}

std::vector<ModulePacket> answerHciCommand(std::span<const std::uint8_t> command,
                                           AnswerFault fault) {
    std::uint16_t opcode = getLe16(command, 1);
    std::span<const std::uint8_t> parameters = command.subspan(4);
    if (opcode == kHciResetOpcode) {
        return {commandComplete(opcode, fault == AnswerFault::status ? kHciHardwareFailure : 0)};
    }
    if (opcode != kBccmdCarrierOpcode) return {commandComplete(opcode, kHciUnknownCommand)};
    std::optional<ModulePacket> answer;
    if (!parameters.empty() && parameters[0] == kBccmdPayloadDescriptor) {
        answer = answerBccmdMessage(parameters.subspan(1), fault);
    }
    if (!answer) return {commandComplete(opcode, kHciInvalidParameters)};
    return {bccmdInVendorEvent(*answer)};
}

ModulePacket withAnotherKey(ModulePacket packet, std::size_t messageAt) {
    std::span<std::uint8_t> message(packet);
    if (messageAt >= message.size()) return packet;
    message = message.subspan(messageAt);
    putLe16(message, kKeyAt, static_cast<std::uint16_t>(getLe16(message, kKeyAt) + 1));
    return packet;
}

ModulePacket commandStatusEvent(std::uint16_t opcode, std::uint8_t status) {
    return {kHciEventPacket,
            kCommandStatusEvent,
            4,
            status,
            1,
            static_cast<std::uint8_t>(opcode & 0xFF),
            static_cast<std::uint8_t>(opcode >> 8)};
}

// Sized once and filled in place: growing the vector by insert makes GCC 12's optimised
// builds warn (falsely) about reading past the header.
static ModulePacket framedPacket(std::span<const std::uint8_t> head,
                                 std::span<const std::uint8_t> message) {
    ModulePacket packet(head.size() + message.size());
    std::copy(head.begin(), head.end(), packet.begin());
    std::copy(message.begin(), message.end(),
              packet.begin() + static_cast<std::ptrdiff_t>(head.size()));
    return packet;
}

ModulePacket bccmdInCarrierCommand(std::span<const std::uint8_t> message) {
    message = message.first(std::min(message.size(), kMaxFramedMessage));
    std::array<std::uint8_t, 5> head{kHciCommandPacket, 0x00, 0xFC,
                                     static_cast<std::uint8_t>(message.size() + 1),
                                     kBccmdPayloadDescriptor};
    return framedPacket(head, message);
}

ModulePacket bccmdInVendorEvent(std::span<const std::uint8_t> message) {
    message = message.first(std::min(message.size(), kMaxFramedMessage));
    std::array<std::uint8_t, 4> head{kHciEventPacket, kVendorEvent,
                                     static_cast<std::uint8_t>(message.size() + 1),
                                     kBccmdPayloadDescriptor};
    return framedPacket(head, message);
}

std::string describeBccmdMessage(std::span<const std::uint8_t> message) {
    if (message.size() < kBccmdHeaderBytes) {
        return "not a BCCMD message (" + std::to_string(message.size()) + " bytes)";
    }
    std::uint16_t type = getLe16(message, kTypeAt);
    std::uint16_t varid = getLe16(message, kVaridAt);
    std::string key = formatted(" key 0x%04x", getLe16(message, kKeyAt));
    std::string length = " len " + std::to_string(getLe16(message, kKeyLengthAt));
    if (varid != kBccmdPsKeyVarid)
        return formatted("BCCMD type %u", type) + formatted(" varid 0x%04x", varid);
    switch (type) {
        case kBccmdGetRequest:
            return "BCCMD GET" + key;
        case kBccmdSetRequest:
            return "BCCMD SET" + key + length;
        case kBccmdGetResponse:
            return "GETRESP" + key + " status " + std::to_string(getLe16(message, kStatusAt)) +
                   length;
        default:
            return formatted("BCCMD type %u", type) + key;
    }
}

std::string describeHciPacket(std::span<const std::uint8_t> packet) {
    if (packet.size() >= 4 && packet[0] == kHciCommandPacket) {
        std::uint16_t opcode = getLe16(packet, 1);
        if (opcode == kHciResetOpcode) return "HCI Reset";
        if (opcode == kBccmdCarrierOpcode && packet.size() > 5 &&
            packet[4] == kBccmdPayloadDescriptor) {
            return describeBccmdMessage(packet.subspan(5));
        }
        return formatted("HCI command 0x%04x", opcode);
    }
    if (packet.size() >= 3 && packet[0] == kHciEventPacket) {
        switch (packet[1]) {
            case kCommandCompleteEvent:
                if (packet.size() >= 7) {
                    std::uint16_t opcode = getLe16(packet, 4);
                    std::string command = opcode == kHciResetOpcode ? std::string("HCI Reset")
                                                                    : formatted("0x%04x", opcode);
                    return "Command Complete " + command + " status " + std::to_string(packet[6]);
                }
                break;
            case kCommandStatusEvent:
                if (packet.size() >= 7) {
                    return formatted("Command Status 0x%04x", getLe16(packet, 5)) + " status " +
                           std::to_string(packet[3]);
                }
                break;
            case kVendorEvent:
                if (packet.size() > 4) return describeBccmdMessage(packet.subspan(4));
                break;
            default:
                break;
        }
        return formatted("HCI event 0x%02x", packet[1]);
    }
    return "not an HCI packet";
}
