#include "btlink/module_answers.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "btlink/module_commands.h"
#include "btlink/module_link.h"
#include "core/error_codes.h"
#include "core/file_util.h"
#include "core/log.h"
#include "core/platform.h"

namespace {

// An event is reported in the name of the operation that read it.
constexpr const char* kEventReader = "readBtModule";

// Offsets in the answer payload: one byte further than in the message.
constexpr std::size_t kAnswerTypeAt = 1 + kBccmdTypeAt;
constexpr std::size_t kAnswerVaridAt = 1 + kBccmdVaridAt;
constexpr std::size_t kAnswerStatusAt = 1 + kBccmdStatusAt;
constexpr std::size_t kAnswerKeyIdAt = 1 + kPsKeyIdAt;
constexpr std::size_t kAnswerLengthAt = 1 + kPsKeyLengthAt;
constexpr std::size_t kAnswerValueAt = 1 + kPsKeyValueAt;
static_assert(kAnswerValueAt == kAnswerHeaderSize);

std::uint16_t wordAt(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

unsigned byteAt(std::span<const std::uint8_t> bytes, std::size_t at) {
    return at < bytes.size() ? bytes[at] : 0;
}

ModuleAnswer hciResetComplete(std::uint8_t status) {
    if (status == 0) return MODULE_ANSWERED;
    UPDATE_ERR_AS(kEventReader, LogLevel::Warning, kErrorOperationFailed,
                  "HCI Reset refused by the module: status 0x%02X \n", status);
    return MODULE_REFUSED;
}
ModuleAnswer bccmdCarrierComplete(std::uint8_t) { return MODULE_NO_ANSWER; }

// The Command Complete events that have an effect: opcode (wire order) and what it means, by
// the event's status. Only the event for the command that waits for its answer has one.
struct HciCompleteHandler {
    std::array<std::uint8_t, 2> opcode;
    ModuleAnswer (*handler)(std::uint8_t status);
};
constexpr std::array<HciCompleteHandler, 2> hciCompleteTable{{
    {{kHciResetOpcodeLow, kHciResetOpcodeHigh}, hciResetComplete},
    {{kBccmdCarrierOpcodeLow, kBccmdCarrierOpcodeHigh}, bccmdCarrierComplete},
}};

// The header fields, each high byte first, as the trace shows them.
void printAnswerFields(std::span<const std::uint8_t> payload) {
    static constexpr const char* kLabels[] = {
        "  BCCMD Type:   ", "  BCCMD Length: ", "  BCCMD Seqno:  ", "  BCCMD Varid:  ",
        "  BCCMD Status: ", "  PS-Key ID:    ", "  PS-Key Length:", "  PS-Key Stores:",
    };
    std::printf("  Payl.Descr.:  0x%02x\n", payload[0]);
    for (std::size_t i = 0; i < std::size(kLabels); ++i) {
        std::size_t low = 1 + 2 * i;
        std::printf("%s0x%02x%02x\n", kLabels[i], payload[low + 1], payload[low]);
    }
    std::printf("  PS-Key Value: ");
}

}  // namespace

PsKeyAnswer decodePsKeyAnswer(std::span<const std::uint8_t> payload) {
    PsKeyAnswer answer;
    if (payload.size() < kAnswerHeaderSize) return answer;
    answer.complete = true;
    answer.type = wordAt(payload, kAnswerTypeAt);
    answer.varid = wordAt(payload, kAnswerVaridAt);
    answer.status = wordAt(payload, kAnswerStatusAt);
    answer.key.id = wordAt(payload, kAnswerKeyIdAt);
    answer.claimedWords = wordAt(payload, kAnswerLengthAt);
    std::size_t received = (payload.size() - kAnswerHeaderSize) / 2;
    std::size_t taken = std::min({std::size_t{answer.claimedWords}, kMaxPsKeyWords, received});
    for (std::size_t i = 0; i < taken; ++i)
        answer.key.words[i] = wordAt(payload, kAnswerValueAt + 2 * i);
    answer.key.wordCount = static_cast<std::uint8_t>(taken);
    return answer;
}

namespace {

std::int32_t refusedCount = 0;
std::int32_t malformedCount = 0;
std::int32_t dumpedCount = 0;
std::int32_t failedDumpCount = 0;

// The statuses with which gets came back "not held", and how often each: a capture of a board
// shows what its module's firmware says for the ids it doesn't hold. The last place gathers
// every status beyond the first few.
struct UnheldStatusCount {
    std::uint16_t status = 0;
    std::int32_t count = 0;
};
std::array<UnheldStatusCount, 8> unheldCounts{};
bool unheldOthers = false;

void countUnheld(std::uint16_t status) {
    for (UnheldStatusCount& entry : unheldCounts) {
        if (entry.count == 0) entry.status = status;
        if (entry.status != status) continue;
        ++entry.count;
        return;
    }
    unheldOthers = true;
    ++unheldCounts.back().count;
}

// What was not taken for the awaited answer, each kind logged once per step.
enum Ignored : unsigned {
    IGNORED_NOT_AWAITED = 1u << 0,
    IGNORED_TYPE = 1u << 1,
    IGNORED_VARID = 1u << 2,
    IGNORED_KEY = 1u << 3,
    IGNORED_NOT_BCCMD = 1u << 4,
    LOGGED_REFUSAL = 1u << 5,
};
unsigned loggedKinds = 0;

bool firstOfKind(unsigned kind) {
    if (loggedKinds & kind) return false;
    loggedKinds |= kind;
    return true;
}

bool bccmdRequestAwaited() {
    return awaitedAnswer.kind == AwaitedKind::PsKeyGet ||
           awaitedAnswer.kind == AwaitedKind::PsKeySet;
}

// Why a whole answer isn't the awaited one's; nothing when it is.
unsigned notTheAwaited(const PsKeyAnswer& answer) {
    if (!bccmdRequestAwaited()) return IGNORED_NOT_AWAITED;
    if (answer.type != kBccmdGetResponse) return IGNORED_TYPE;
    if (answer.varid != kBccmdVaridPsKey) return IGNORED_VARID;
    if (answer.key.id != awaitedAnswer.opcodeOrKey) return IGNORED_KEY;
    return 0;
}

const char* ignoredText(unsigned kind) {
    switch (kind) {
        case IGNORED_NOT_AWAITED:
            return "no request waits for it";
        case IGNORED_TYPE:
            return "not a response";
        case IGNORED_VARID:
            return "not a PS-Key answer";
        default:
            return "for another PS-Key";
    }
}

void appendToDump(const PsKey& key) {
    char line[kMaxPsKeyLineLength + 1];
    std::size_t length = formatPsKeyLine(key, line);
    // A dump without the line (a full /tmp) isn't the module's store.
    if (writeFile(kPsKeyDumpPath, "a", line, length) == static_cast<int>(length)) {
        ++dumpedCount;
    } else {
        ++failedDumpCount;
    }
}

}  // namespace

std::int32_t refusedAnswers() { return refusedCount; }
std::int32_t malformedAnswers() { return malformedCount; }
std::int32_t dumpedKeys() { return dumpedCount; }
void logUnheldStatuses() {
    for (std::size_t i = 0; i < unheldCounts.size() && unheldCounts[i].count > 0; ++i) {
        const UnheldStatusCount& entry = unheldCounts[i];
        if (unheldOthers && i + 1 == unheldCounts.size()) {
            UPDATE_LOG_AS("readAllPSKeys", LogLevel::Critical,
                          "%d PS-Key ids answered with other statuses: not held\n",
                          static_cast<int>(entry.count));
        } else {
            UPDATE_LOG_AS("readAllPSKeys", LogLevel::Critical,
                          "%d PS-Key ids answered with status 0x%04x: not held\n",
                          static_cast<int>(entry.count), static_cast<unsigned>(entry.status));
        }
    }
}
std::int32_t failedDumpWrites() { return failedDumpCount; }
void resetAnswerCounts() {
    refusedCount = 0;
    malformedCount = 0;
    dumpedCount = 0;
    failedDumpCount = 0;
    unheldCounts = {};
    unheldOthers = false;
    loggedKinds = 0;
    awaitedAnswer = {};
}

ModuleAnswer pskeyReqRsp(std::span<const std::uint8_t> payload, std::uint8_t traceLength) {
    bool trace = (traceFlags & kTracePsKeyAnswers) != 0;
    PsKeyAnswer answer = decodePsKeyAnswer(payload);
    if (trace) {
        std::printf("GET PS-Key response\n");
        std::size_t shown = std::min(std::size_t{traceLength}, payload.size());
        for (std::size_t i = 0; i < shown; ++i) std::printf("0x%02x ", payload[i]);
        std::printf("\n");
        if (answer.complete) printAnswerFields(payload);
        std::fflush(stdout);
    }
    if (!answer.complete) {
        if (!bccmdRequestAwaited()) return MODULE_NO_ANSWER;
        awaitedAnswer = {};
        ++malformedCount;
        UPDATE_ERR(LogLevel::Warning, kErrorOperationFailed,
                   "BCCMD answer of %u bytes is shorter than its header, no PS-Key taken \n",
                   static_cast<unsigned>(payload.size()));
        return MODULE_ANSWERED;
    }
    if (unsigned ignored = notTheAwaited(answer)) {
        if (firstOfKind(ignored)) {
            UPDATE_ERR(LogLevel::Warning, kErrorOperationFailed,
                       "BCCMD answer ignored, %s: type 0x%04x varid 0x%04x PS-Key 0x%04x \n",
                       ignoredText(ignored), static_cast<unsigned>(answer.type),
                       static_cast<unsigned>(answer.varid), static_cast<unsigned>(answer.key.id));
        }
        return MODULE_NO_ANSWER;
    }
    bool getRequest = awaitedAnswer.kind == AwaitedKind::PsKeyGet;
    awaitedAnswer = {};
    if (answer.status != 0) {
        if (trace) {
            std::printf("request failed (see BCCMD Status) \n");
            std::fflush(stdout);
        }
        // A get that the module answers with any non-zero status is a key it doesn't hold:
        // the reading walk's normal case, whatever word a module's firmware has for it. A
        // dump that lacks a key the module does hold costs nothing true: the comparison puts
        // every key missing from the dump into the keys to set.
        if (getRequest) {
            countUnheld(answer.status);
            return MODULE_ANSWERED;
        }
        ++refusedCount;
        if (firstOfKind(LOGGED_REFUSAL)) {
            UPDATE_ERR(LogLevel::Warning, kErrorOperationFailed,
                       "BCCMD %s of PS-Key 0x%04x refused: status 0x%04x \n",
                       getRequest ? "get" : "set", static_cast<unsigned>(answer.key.id),
                       static_cast<unsigned>(answer.status));
        }
        return MODULE_ANSWERED;
    }
    if (answer.claimedWords > answer.key.wordCount) {
        ++malformedCount;
        UPDATE_ERR(LogLevel::Warning, kErrorOperationFailed,
                   "BCCMD answer for PS-Key 0x%04x claims %u words, %u taken \n",
                   static_cast<unsigned>(answer.key.id), static_cast<unsigned>(answer.claimedWords),
                   static_cast<unsigned>(answer.key.wordCount));
    }
    // Only the keys asked for belong in the dump; the answers to set requests echo what was
    // written.
    if (getRequest) appendToDump(answer.key);
    if (trace) {
        for (std::size_t i = 0; i < 2u * answer.key.wordCount; ++i)
            std::printf("%02x ", payload[kAnswerValueAt + i]);
        std::printf("\n");
        std::fflush(stdout);
    }
    return MODULE_ANSWERED;
}

ModuleAnswer handleHciEvent(std::span<const std::uint8_t> event) {
    if (traceFlags & kTraceModulePackets) {
        std::printf("HCI Event: 0x%02X  len: 0x%02X, typ: 0x%02X 0x%02X hdata: ", byteAt(event, 1),
                    byteAt(event, 2), byteAt(event, 4), byteAt(event, 5));
        for (std::uint8_t byte : event) std::printf("0x%02X ", byte);
        std::printf("\n");
        std::fflush(stdout);
    }
    unsigned code = byteAt(event, 1);
    switch (code) {
        case kHciCommandComplete: {
            UPDATE_LOG_AS(kEventReader, LogLevel::Detail,
                          "Command Complete event for command 0x%02X 0x%02X received\n",
                          byteAt(event, 4), byteAt(event, 5));
            ModuleAnswer result = MODULE_NO_ANSWER;
            if (event.size() < 6) return result;
            // Only the event for the command that waits for it counts.
            std::uint16_t opcode = static_cast<std::uint16_t>(event[5] << 8 | event[4]);
            if (awaitedAnswer.kind != AwaitedKind::HciCommand ||
                awaitedAnswer.opcodeOrKey != opcode)
                return result;
            // An event without its status can't say that the command succeeded.
            std::uint8_t status = event.size() > 6 ? event[6] : 0xFF;
            for (const HciCompleteHandler& entry : hciCompleteTable) {
                if (entry.opcode[0] != event[4] || entry.opcode[1] != event[5]) continue;
                ModuleAnswer handled = entry.handler(status);
                if (handled != MODULE_NO_ANSWER) {
                    result = handled;
                    awaitedAnswer = {};
                }
            }
            return result;
        }
        case kHciCommandStatus:
            UPDATE_LOG_AS(kEventReader, LogLevel::Detail,
                          "Command Status event 0x%02X for command 0x%02X 0x%02X received\n",
                          byteAt(event, 3), byteAt(event, 5), byteAt(event, 6));
            return MODULE_NO_ANSWER;
        case kHciVendorEvent:
            UPDATE_LOG_AS(kEventReader, LogLevel::Detail,
                          "Extended Hci complete 0x%02X  received\n", byteAt(event, 3));
            // Only a whole message of the BCCMD channel carries an answer.
            if (byteAt(event, 3) != kBccmdPayloadDescriptor) {
                if (firstOfKind(IGNORED_NOT_BCCMD)) {
                    UPDATE_ERR_AS(
                        kEventReader, LogLevel::Warning, kErrorOperationFailed,
                        "vendor event with payload descriptor 0x%02X ignored, not a BCCMD "
                        "answer \n",
                        byteAt(event, 3));
                }
                return MODULE_NO_ANSWER;
            }
            return pskeyReqRsp(
                event.size() > 3 ? event.subspan(3) : std::span<const std::uint8_t>{},
                static_cast<std::uint8_t>(byteAt(event, 2)));
        default:
            UPDATE_ERR_AS(kEventReader, LogLevel::Warning, kErrorOperationFailed,
                          "unexpected hci event 0x%02X received \n", code);
            return MODULE_NO_ANSWER;
    }
}

ModuleAnswer handleBccmdChannelMessage(std::span<const std::uint8_t> buffer) {
    if (traceFlags & kTraceModulePackets) {
        for (std::uint8_t byte : buffer) std::printf("0x%02X ", byte);
        std::printf("\n");
        std::fflush(stdout);
    }
    return pskeyReqRsp(buffer, static_cast<std::uint8_t>(buffer.size() & 0xFF));
}

ModuleAnswer readBtModule() {
    std::array<std::uint8_t, kMaxHciEventSize> event;
    int fd = moduleLinkDescriptor();
    ssize_t count = fd < 0 ? (errno = EBADF, -1) : devRead(fd, event.data(), event.size());
    if (count <= 0) {
        UPDATE_ERR(LogLevel::Warning, kErrorOperationFailed,
                   "read error from module: counter = %d; error %d %m \n", static_cast<int>(count),
                   errno);
        return MODULE_NO_ANSWER;
    }
    return handleHciEvent(std::span(event.data(), static_cast<std::size_t>(count)));
}

ModuleAnswer readBtModuleBccmdChannel() {
    std::array<std::uint8_t, 1 + kMaxBccmdChannelRead> buffer;
    buffer[0] = 0;
    int fd = moduleLinkDescriptor();
    ssize_t count =
        fd < 0 ? (errno = EBADF, -1) : devRead(fd, buffer.data() + 1, kMaxBccmdChannelRead);
    if (count <= 0) {
        UPDATE_ERR(LogLevel::Warning, kErrorOperationFailed,
                   "BCCMD read error from module: counter = %d; error %d %m \n",
                   static_cast<int>(count), errno);
        return MODULE_NO_ANSWER;
    }
    return handleBccmdChannelMessage(std::span(buffer.data(), 1 + static_cast<std::size_t>(count)));
}
