// What the simulated module answers: HCI events for the HCI commands written to its serial
// line, and BCCMD answers for BCCMD messages, read with the module's own decoding of the bytes.
// All 16-bit fields on the wire are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

using ModulePacket = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kHciCommandPacket = 0x01;
inline constexpr std::uint8_t kHciEventPacket = 0x04;
inline constexpr std::uint16_t kHciResetOpcode = 0x0C03;
inline constexpr std::uint16_t kBccmdCarrierOpcode = 0xFC00;   // vendor-specific, OCF 0
inline constexpr std::uint8_t kBccmdPayloadDescriptor = 0xC2;  // one fragment, channel 2
inline constexpr std::uint8_t kCommandCompleteEvent = 0x0E;
inline constexpr std::uint8_t kCommandStatusEvent = 0x0F;
inline constexpr std::uint8_t kHardwareErrorEvent = 0x10;  // the event of the "unknown" fault
inline constexpr std::uint8_t kVendorEvent = 0xFF;
// Command Complete status of a command the module doesn't know, and of a BCCMD carrier whose
// parameters aren't one BCCMD message behind the payload descriptor.
inline constexpr std::uint8_t kHciUnknownCommand = 0x01;
inline constexpr std::uint8_t kHciInvalidParameters = 0x12;
// The status of every Command Complete under the "status" fault, and of the Command Status
// events of the "cmdstatus" fault.
inline constexpr std::uint8_t kHciHardwareFailure = 0x03;
inline constexpr std::uint8_t kHciCommandDisallowed = 0x0C;

// BCCMD message: eight header words, then the value words.
inline constexpr std::size_t kBccmdHeaderBytes = 16;
inline constexpr std::size_t kBccmdMessageBytes = 96;
inline constexpr std::uint16_t kBccmdGetRequest = 0x0000;
inline constexpr std::uint16_t kBccmdGetResponse = 0x0001;
inline constexpr std::uint16_t kBccmdSetRequest = 0x0002;
inline constexpr std::uint16_t kBccmdPsKeyVarid = 0x7003;
inline constexpr std::uint16_t kBccmdOk = 0x0000;
inline constexpr std::uint16_t kBccmdNoSuchVarid = 0x0001;
inline constexpr std::uint16_t kBccmdTooBig = 0x0002;
inline constexpr std::uint16_t kBccmdNoValue = 0x0003;  // a key the module doesn't hold
inline constexpr std::uint16_t kBccmdBadRequest = 0x0004;
inline constexpr std::uint16_t kBccmdError = 0x0008;  // every answer under the "status" fault
// The words that the "short" fault claims beyond those carried, and the words of a "long"
// answer.
inline constexpr std::uint16_t kShortAnswerMissingWords = 4;
inline constexpr std::uint16_t kLongAnswerWords = 48;

// The faults that change the content of an answer.
enum class AnswerFault { none, status, shortAnswer, longAnswer };

std::uint16_t getLe16(std::span<const std::uint8_t> bytes, std::size_t offset);
void putLe16(std::span<std::uint8_t> bytes, std::size_t offset, std::uint16_t value);

// The BCCMD answer to one bare message, or nothing when the bytes are too few to be one. A
// GET reads and a SET writes the store in module.psr.
std::optional<ModulePacket> answerBccmdMessage(std::span<const std::uint8_t> message,
                                               AnswerFault fault);

// The events that answer one HCI command packet (packet type byte first).
std::vector<ModulePacket> answerHciCommand(std::span<const std::uint8_t> command,
                                           AnswerFault fault);

// A copy of the BCCMD answer that starts at messageAt of packet (0 for a bare message, 4 in a
// vendor-specific event) with the next key id: the answer of the "otherkey" fault, which no
// request waits for.
ModulePacket withAnotherKey(ModulePacket packet, std::size_t messageAt);

// Command Status event 04 0F 04 <status> 01 <opcode>.
ModulePacket commandStatusEvent(std::uint16_t opcode, std::uint8_t status);

// A BCCMD message framed as on the HCI device: in the carrier command 01 00 FC <n+1> C2, or in
// the vendor-specific event 04 FF <n+1> C2 (both cut to fit an HCI length byte).
ModulePacket bccmdInCarrierCommand(std::span<const std::uint8_t> message);
ModulePacket bccmdInVendorEvent(std::span<const std::uint8_t> message);

// Short decodings for the module's text log: "HCI Reset", "BCCMD GET key 0x01a5",
// "GETRESP key 0x01a5 status 0 len 1", "Command Complete HCI Reset status 0", ...
std::string describeHciPacket(std::span<const std::uint8_t> packet);
std::string describeBccmdMessage(std::span<const std::uint8_t> message);
