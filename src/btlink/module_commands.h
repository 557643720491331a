// What the daemon sends to the Bluetooth module: the HCI Reset command and BCCMD requests that
// read (GET) or write (SET) one PS-Key. A BCCMD request is one 96-byte message; on the HCI
// device it travels inside an HCI vendor command behind a one-byte payload descriptor, on the
// BCCMD channel bare. Every send is one write of one whole packet on the module link; nothing
// here waits for the answer. All 16-bit fields on the wire are little-endian.
//
// The packets are built by the pure builders below, in fixed buffers, without allocation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

// Build-time trace switches, on standard output: bit 0 the bytes of every command written and
// of every event or message read, bit 1 the PS-Key answers field by field. Off (0) in the
// daemon, whose code then holds none of the traces.
inline constexpr std::uint32_t kTraceModulePackets = 1u << 0;
inline constexpr std::uint32_t kTracePsKeyAnswers = 1u << 1;
inline constexpr std::uint32_t kModuleTraceFlags = 0;

// HCI command packet: type 0x01, opcode (low byte first), parameter length n, n parameters.
inline constexpr std::uint8_t kHciCommandPacket = 0x01;
inline constexpr std::size_t kHciCommandHeaderSize = 4;
inline constexpr std::size_t kMaxHciCommandSize = kHciCommandHeaderSize + 255;
// HCI Reset, opcode 0x0C03; the BCCMD carrier, the vendor command 0xFC00.
inline constexpr std::uint8_t kHciResetOpcodeLow = 0x03;
inline constexpr std::uint8_t kHciResetOpcodeHigh = 0x0C;
inline constexpr std::uint8_t kBccmdCarrierOpcodeLow = 0x00;
inline constexpr std::uint8_t kBccmdCarrierOpcodeHigh = 0xFC;
// First and last fragment (the message is never split), channel 2 (BCCMD).
inline constexpr std::uint8_t kBccmdPayloadDescriptor = 0xC2;

// BccmdMessage: eight 16-bit header words, then up to 40 value words.
inline constexpr std::size_t kBccmdMessageSize = 96;
using BccmdMessage = std::array<std::uint8_t, kBccmdMessageSize>;
// Byte offsets of the header words.
inline constexpr std::size_t kBccmdTypeAt = 0;
inline constexpr std::size_t kBccmdLengthAt = 2;  // the whole message, in 16-bit words
inline constexpr std::size_t kBccmdSeqnoAt = 4;
inline constexpr std::size_t kBccmdVaridAt = 6;
inline constexpr std::size_t kBccmdStatusAt = 8;
inline constexpr std::size_t kPsKeyIdAt = 10;
inline constexpr std::size_t kPsKeyLengthAt = 12;  // value length, in 16-bit words
inline constexpr std::size_t kPsKeyStoresAt = 14;
inline constexpr std::size_t kPsKeyValueAt = 16;
inline constexpr std::size_t kBccmdHeaderSize = kPsKeyValueAt;
inline constexpr std::size_t kMaxBccmdValueWords = (kBccmdMessageSize - kPsKeyValueAt) / 2;

inline constexpr std::uint16_t kBccmdGetRequest = 0x0000;
inline constexpr std::uint16_t kBccmdGetResponse = 0x0001;
inline constexpr std::uint16_t kBccmdSetRequest = 0x0002;
// Answers are not matched to requests: every request carries the same number.
inline constexpr std::uint16_t kBccmdSeqno = 0x0FA5;
inline constexpr std::uint16_t kBccmdVaridPsKey = 0x7003;
// A get request asks for the whole value field, from all stores; a set goes to the default.
inline constexpr std::uint16_t kGetRequestStores = 0x0007;
inline constexpr std::uint16_t kSetRequestStores = 0x0000;
// A message shorter than its header or longer than 96 bytes is refused.
inline constexpr std::size_t kMinBccmdRequestBytes = 18;

// One packet as written to the module.
struct ModulePacket {
    std::array<std::uint8_t, kMaxHciCommandSize> bytes{};
    std::size_t length = 0;
    std::span<const std::uint8_t> view() const { return {bytes.data(), length}; }
};

// --- Builders (pure) ---

// The HCI command packet of an opcode (wire order) and its parameters (at most 255 bytes; more
// are cut at 255).
ModulePacket buildHciCommand(std::uint8_t opcodeLow, std::uint8_t opcodeHigh,
                             std::span<const std::uint8_t> parameters);

// A get request for keyId from stores.
BccmdMessage buildGetPsKeyMessage(std::uint16_t keyId, std::uint16_t stores);

// A set request of keyId with wordCount value words, valueBytes holding 2 × wordCount bytes in
// wire order (each word low byte first). False, message untouched, for more than 40 words.
bool buildSetPsKeyMessage(std::uint16_t keyId, std::uint8_t wordCount,
                          const std::uint8_t* valueBytes, BccmdMessage* message);

// The message's length in bytes, from its length word.
std::size_t bccmdByteLength(const BccmdMessage& message);

enum BccmdFraming : int {
    BCCMD_FRAMED = 1,           // packet holds what to write
    BCCMD_INVALID_LENGTH = -1,  // the length word gives fewer than 18 or more than 96 bytes
    BCCMD_NO_TRANSPORT = -2,    // transport is none of 0, 1, 2: nothing to send
};
// The packet that carries message on transport: on the HCI device (0, 2) the BCCMD carrier
// command with the payload descriptor in front of the message, on the BCCMD channel (1) the
// bare message; as many message bytes as its length word says.
BccmdFraming frameBccmdRequest(const BccmdMessage& message, std::int32_t transport,
                               ModulePacket* packet);

// --- Traces (standard output) ---

// "HCI Cmd len: 0xLL, typ: 0xTT 0xTT hdata: " with bytes 3, 1 and 2, then every byte as
// "0x%02x ", then a line end. Printed for every command written while bit 0 is set.
void printCommandTrace(std::span<const std::uint8_t> packet);

// --- The request that waits for its answer ---

// What the last command sent asks for. Every request carries the same sequence number, so an
// answer is known for this request's only by what it names: the HCI command's opcode, or the
// PS-Key request's key. The answer taken for it, and the end of a step, clear it.
enum class AwaitedKind : std::uint8_t { Nothing, HciCommand, PsKeyGet, PsKeySet };
struct AwaitedAnswer {
    AwaitedKind kind = AwaitedKind::Nothing;
    std::uint16_t opcodeOrKey = 0;  // the HCI opcode, or the PS-Key id
};
extern AwaitedAnswer awaitedAnswer;

// --- Sends on the module link ---

// Writes bytes in one write on the module link. 1 when all were written; -1 when fewer were,
// or when no link is open (logged; nothing reaches any other descriptor).
int writeBtmodule(const std::uint8_t* bytes, std::uint32_t length);

// Sends the HCI command of an opcode (wire order) with parameterLength parameter bytes
// (parameters may be nullptr when parameterLength is 0). Always 1; a failed write is logged.
int sendHCICmd(std::uint8_t parameterLength, std::uint8_t opcodeLow, std::uint8_t opcodeHigh,
               const std::uint8_t* parameters);

// Sends message in the framing of tlInterface. 1 when written; -1 when the write failed or
// nothing was sent (a refused length is logged).
int sendBCCMDReq(const BccmdMessage& message);

// Sends a get request for the key (keyHigh, keyLow) from the stores (storesHigh, storesLow).
// The result of sendBCCMDReq.
int getPSKeyReq(std::uint8_t keyHigh, std::uint8_t keyLow, std::uint8_t storesHigh,
                std::uint8_t storesLow);

// Sends a set request of the key (keyHigh, keyLow) with wordCount words, valueBytes holding
// 2 × wordCount bytes in wire order. More than 40 words are refused (logged, nothing sent,
// -1); otherwise the result of sendBCCMDReq.
int setPSKeyReq(std::uint8_t keyHigh, std::uint8_t keyLow, std::uint8_t wordCount,
                const std::uint8_t* valueBytes);
