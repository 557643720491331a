#include "btlink/module_commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "btlink/module_link.h"
#include "core/byte_order.h"
#include "core/error_codes.h"
#include "core/log.h"
#include "core/platform.h"

AwaitedAnswer awaitedAnswer;

namespace {

void putWord(BccmdMessage* message, std::size_t at, std::uint16_t value) {
    writeLittleEndian16(&(*message)[at], value);
}

// The header words common to get and set requests.
BccmdMessage psKeyRequest(std::uint16_t type, std::uint16_t keyId, std::uint16_t valueWords,
                          std::uint16_t stores) {
    BccmdMessage message{};
    putWord(&message, kBccmdTypeAt, type);
    putWord(&message, kBccmdLengthAt, kBccmdMessageSize / 2);
    putWord(&message, kBccmdSeqnoAt, kBccmdSeqno);
    putWord(&message, kBccmdVaridAt, kBccmdVaridPsKey);
    putWord(&message, kBccmdStatusAt, 0);
    putWord(&message, kPsKeyIdAt, keyId);
    putWord(&message, kPsKeyLengthAt, valueWords);
    putWord(&message, kPsKeyStoresAt, stores);
    return message;
}

std::uint16_t keyIdOf(std::uint8_t high, std::uint8_t low) {
    return static_cast<std::uint16_t>(high << 8 | low);
}

}  // namespace

ModulePacket buildHciCommand(std::uint8_t opcodeLow, std::uint8_t opcodeHigh,
                             std::span<const std::uint8_t> parameters) {
    std::size_t count = parameters.size() < 255 ? parameters.size() : 255;
    ModulePacket packet;
    packet.bytes[0] = kHciCommandPacket;
    packet.bytes[1] = opcodeLow;
    packet.bytes[2] = opcodeHigh;
    packet.bytes[3] = static_cast<std::uint8_t>(count);
    if (count > 0)
        std::memcpy(packet.bytes.data() + kHciCommandHeaderSize, parameters.data(), count);
    packet.length = kHciCommandHeaderSize + count;
    return packet;
}

BccmdMessage buildGetPsKeyMessage(std::uint16_t keyId, std::uint16_t stores) {
    return psKeyRequest(kBccmdGetRequest, keyId, kMaxBccmdValueWords, stores);
}

bool buildSetPsKeyMessage(std::uint16_t keyId, std::uint8_t wordCount,
                          const std::uint8_t* valueBytes, BccmdMessage* message) {
    if (wordCount > kMaxBccmdValueWords) return false;
    *message = psKeyRequest(kBccmdSetRequest, keyId, wordCount, kSetRequestStores);
    if (wordCount > 0) std::memcpy(message->data() + kPsKeyValueAt, valueBytes, 2u * wordCount);
    return true;
}

std::size_t bccmdByteLength(const BccmdMessage& message) {
    return 2u * std::size_t{readLittleEndian16(&message[kBccmdLengthAt])};
}

BccmdFraming frameBccmdRequest(const BccmdMessage& message, std::int32_t transport,
                               ModulePacket* packet) {
    std::size_t length = bccmdByteLength(message);
    if (length < kMinBccmdRequestBytes || length > kBccmdMessageSize) return BCCMD_INVALID_LENGTH;
    if (transport == TL_BCSP) {
        std::memcpy(packet->bytes.data(), message.data(), length);
        packet->length = length;
        return BCCMD_FRAMED;
    }
    if (transport != TL_HCI && transport != TL_HCI_AT_START) return BCCMD_NO_TRANSPORT;
    std::array<std::uint8_t, 1 + kBccmdMessageSize> payload;
    payload[0] = kBccmdPayloadDescriptor;
    std::memcpy(payload.data() + 1, message.data(), length);
    *packet = buildHciCommand(kBccmdCarrierOpcodeLow, kBccmdCarrierOpcodeHigh,
                              std::span(payload.data(), 1 + length));
    return BCCMD_FRAMED;
}

void printCommandTrace(std::span<const std::uint8_t> packet) {
    auto byteAt = [&](std::size_t i) -> unsigned { return i < packet.size() ? packet[i] : 0; };
    std::printf("HCI Cmd len: 0x%02x, typ: 0x%02x 0x%02x hdata: ", byteAt(3), byteAt(1), byteAt(2));
    for (std::uint8_t byte : packet) std::printf("0x%02x ", byte);
    std::printf("\n");
    std::fflush(stdout);
}

int writeBtmodule(const std::uint8_t* bytes, std::uint32_t length) {
    int fd = moduleLinkDescriptor();
    if (fd < 0) {
        // With no link, entry 0 of the poll set is the AI socket: never write there.
        UPDATE_ERR(LogLevel::Critical, kErrorWriteOrEvent,
                   "BT_module_write_error no TL interface open, %u bytes not sent \n",
                   static_cast<unsigned>(length));
        return -1;
    }
    ssize_t written = devWrite(fd, bytes, length);
    if (written < 0 || static_cast<std::size_t>(written) < length) {
        UPDATE_ERR(LogLevel::Critical, kErrorWriteOrEvent, "BT_module_write_error %d %m \n", errno);
        return -1;
    }
    if (kModuleTraceFlags & kTraceModulePackets) printCommandTrace(std::span(bytes, length));
    return 1;
}

int sendHCICmd(std::uint8_t parameterLength, std::uint8_t opcodeLow, std::uint8_t opcodeHigh,
               const std::uint8_t* parameters) {
    ModulePacket packet =
        buildHciCommand(opcodeLow, opcodeHigh, std::span(parameters, parameterLength));
    awaitedAnswer = {AwaitedKind::HciCommand, keyIdOf(opcodeHigh, opcodeLow)};
    writeBtmodule(packet.bytes.data(), static_cast<std::uint32_t>(packet.length));
    return 1;
}

int sendBCCMDReq(const BccmdMessage& message) {
    ModulePacket packet;
    std::uint16_t type = readLittleEndian16(&message[kBccmdTypeAt]);
    awaitedAnswer = {type == kBccmdGetRequest ? AwaitedKind::PsKeyGet : AwaitedKind::PsKeySet,
                     readLittleEndian16(&message[kPsKeyIdAt])};
    switch (frameBccmdRequest(message, tlInterface, &packet)) {
        case BCCMD_FRAMED:
            return writeBtmodule(packet.bytes.data(), static_cast<std::uint32_t>(packet.length));
        case BCCMD_INVALID_LENGTH:
            UPDATE_ERR(LogLevel::Critical, kErrorSystem, "invalid length %d in BCCMDReq received",
                       static_cast<int>(bccmdByteLength(message)));
            return -1;
        case BCCMD_NO_TRANSPORT:
            break;
    }
    return -1;
}

int getPSKeyReq(std::uint8_t keyHigh, std::uint8_t keyLow, std::uint8_t storesHigh,
                std::uint8_t storesLow) {
    return sendBCCMDReq(
        buildGetPsKeyMessage(keyIdOf(keyHigh, keyLow), keyIdOf(storesHigh, storesLow)));
}

int setPSKeyReq(std::uint8_t keyHigh, std::uint8_t keyLow, std::uint8_t wordCount,
                const std::uint8_t* valueBytes) {
    BccmdMessage message;
    if (!buildSetPsKeyMessage(keyIdOf(keyHigh, keyLow), wordCount, valueBytes, &message)) {
        UPDATE_ERR(LogLevel::Critical, kErrorSystem,
                   "PS-Key 0x%02x%02x with %u words doesn't fit a request of %u words, not sent\n",
                   keyHigh, keyLow, static_cast<unsigned>(wordCount),
                   static_cast<unsigned>(kMaxBccmdValueWords));
        return -1;
    }
    return sendBCCMDReq(message);
}
