// Matching BCCMD answers against the request that waits for one: the awaited answer moves its
// walk on; the others are logged once per kind and step, and counted.
#include <cstdio>

#include "btlink/answer_trace.h"
#include "btlink/module_answers.h"
#include "btlink/module_commands.h"
#include "core/error_codes.h"
#include "core/file_util.h"
#include "core/log.h"

namespace {

// The statuses with which gets came back "not held", and how often each: a capture of a board
// shows what its module's firmware says for the ids it doesn't hold. The last place gathers
// every status beyond the first few.
struct UnheldStatusCount {
    std::uint16_t status = 0;
    std::int32_t count = 0;
};

// What the answers since the last reset came to; all of it is forgotten at a step's end.
struct AnswerTally {
    std::int32_t refusedCount = 0;
    std::array<std::uint16_t, 8> refusedKeys{};  // the first refused keys, in answer order
    std::int32_t malformedCount = 0;
    std::int32_t dumpedCount = 0;
    std::int32_t failedDumpCount = 0;
    std::array<UnheldStatusCount, 8> unheldCounts{};
    bool unheldOthers = false;
    unsigned loggedKinds = 0;  // the kinds of ignored answers logged (Ignored)
};
AnswerTally tally;

void countUnheld(std::uint16_t status) {
    for (UnheldStatusCount& entry : tally.unheldCounts) {
        if (entry.count == 0) entry.status = status;
        if (entry.status != status) continue;
        ++entry.count;
        return;
    }
    tally.unheldOthers = true;
    ++tally.unheldCounts.back().count;
}

// The answers are reported in the name of the operation that takes them, whichever of its
// parts finds what it reports.
constexpr const char* kAnswerTaker = "pskeyReqRsp";

// What was not taken for the awaited answer, each kind logged once per step.
enum Ignored : unsigned {
    IGNORED_NOT_AWAITED = 1u << 0,
    IGNORED_TYPE = 1u << 1,
    IGNORED_VARID = 1u << 2,
    IGNORED_KEY = 1u << 3,
    IGNORED_NOT_BCCMD = 1u << 4,
    LOGGED_REFUSAL = 1u << 5,
};

bool firstOfKind(unsigned kind) {
    if (tally.loggedKinds & kind) return false;
    tally.loggedKinds |= kind;
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
        ++tally.dumpedCount;
    } else {
        ++tally.failedDumpCount;
    }
}

// An answer shorter than its header can't name its request: it counts as the awaited one's,
// malformed.
ModuleAnswer takeShortAnswer(std::size_t size) {
    if (!bccmdRequestAwaited()) return MODULE_NO_ANSWER;
    awaitedAnswer = {};
    ++tally.malformedCount;
    UPDATE_ERR_AS(kAnswerTaker, LogLevel::Warning, kErrorOperationFailed,
                  "BCCMD answer of %u bytes is shorter than its header, no PS-Key taken \n",
                  static_cast<unsigned>(size));
    return MODULE_ANSWERED;
}

// Whether a whole answer is none of the awaited request's: it is then ignored, and logged
// once per kind.
bool ignoredAsNotAwaited(const PsKeyAnswer& answer) {
    unsigned ignored = notTheAwaited(answer);
    if (ignored != 0 && firstOfKind(ignored)) {
        UPDATE_ERR_AS(kAnswerTaker, LogLevel::Warning, kErrorOperationFailed,
                      "BCCMD answer ignored, %s: type 0x%04x varid 0x%04x PS-Key 0x%04x \n",
                      ignoredText(ignored), static_cast<unsigned>(answer.type),
                      static_cast<unsigned>(answer.varid), static_cast<unsigned>(answer.key.id));
    }
    return ignored != 0;
}

// An answer with a non-zero status. To a get it means a key the module doesn't hold: the
// reading walk's normal case, whatever word a module's firmware has for it. A dump that lacks
// a key the module does hold costs nothing true: the comparison puts every key missing from
// the dump into the keys to set. To a set it is a refusal.
void takeRefusal(const PsKeyAnswer& answer, bool getRequest) {
    if (getRequest) {
        countUnheld(answer.status);
        return;
    }
    if (static_cast<std::size_t>(tally.refusedCount) < tally.refusedKeys.size()) {
        tally.refusedKeys[static_cast<std::size_t>(tally.refusedCount)] = answer.key.id;
    }
    ++tally.refusedCount;
    if (firstOfKind(LOGGED_REFUSAL)) {
        UPDATE_ERR_AS(kAnswerTaker, LogLevel::Warning, kErrorOperationFailed,
                      "BCCMD set of PS-Key 0x%04x refused: status 0x%04x \n",
                      static_cast<unsigned>(answer.key.id), static_cast<unsigned>(answer.status));
    }
}

// An answer with status 0: a malformed one (more words claimed than came) is counted, and the
// key of a get goes to the dump; the answers to set requests echo what was written.
void takeKey(const PsKeyAnswer& answer, bool getRequest) {
    if (answer.claimedWords > answer.key.wordCount) {
        ++tally.malformedCount;
        UPDATE_ERR_AS(kAnswerTaker, LogLevel::Warning, kErrorOperationFailed,
                      "BCCMD answer for PS-Key 0x%04x claims %u words, %u taken \n",
                      static_cast<unsigned>(answer.key.id),
                      static_cast<unsigned>(answer.claimedWords),
                      static_cast<unsigned>(answer.key.wordCount));
    }
    if (getRequest) appendToDump(answer.key);
}

}  // namespace

std::int32_t refusedAnswers() { return tally.refusedCount; }
std::int32_t malformedAnswers() { return tally.malformedCount; }
std::int32_t dumpedKeys() { return tally.dumpedCount; }
void logUnheldStatuses() {
    // The read step's walk asked for the keys.
    constexpr const char* kKeyWalk = "readAllPSKeys";
    for (std::size_t i = 0; i < tally.unheldCounts.size() && tally.unheldCounts[i].count > 0; ++i) {
        const UnheldStatusCount& entry = tally.unheldCounts[i];
        if (tally.unheldOthers && i + 1 == tally.unheldCounts.size()) {
            UPDATE_LOG_AS(kKeyWalk, LogLevel::Critical,
                          "%d PS-Key ids answered with other statuses: not held\n",
                          static_cast<int>(entry.count));
        } else {
            UPDATE_LOG_AS(kKeyWalk, LogLevel::Critical,
                          "%d PS-Key ids answered with status 0x%04x: not held\n",
                          static_cast<int>(entry.count), static_cast<unsigned>(entry.status));
        }
    }
}
std::int32_t failedDumpWrites() { return tally.failedDumpCount; }
void logRefusedKeys() {
    if (tally.refusedCount < 2) return;  // the one refusal's own line names its key
    char keys[tally.refusedKeys.size() * 7 + 5] = "";
    std::size_t used = 0;
    for (std::size_t i = 0;
         i < tally.refusedKeys.size() && i < static_cast<std::size_t>(tally.refusedCount); ++i) {
        used += static_cast<std::size_t>(
            std::snprintf(keys + used, sizeof keys - used, " 0x%04x", tally.refusedKeys[i]));
    }
    if (static_cast<std::size_t>(tally.refusedCount) > tally.refusedKeys.size()) {
        std::snprintf(keys + used, sizeof keys - used, " ...");
    }
    UPDATE_ERR_AS(kAnswerTaker, LogLevel::Warning, kErrorOperationFailed,
                  "BCCMD set refused for %d PS-Keys:%s \n", static_cast<int>(tally.refusedCount),
                  keys);
}
void resetAnswerCounts() {
    tally = {};
    awaitedAnswer = {};
}

ModuleAnswer pskeyReqRsp(std::span<const std::uint8_t> payload, std::uint8_t traceLength) {
    constexpr bool trace = (kModuleTraceFlags & kTracePsKeyAnswers) != 0;
    PsKeyAnswer answer = decodePsKeyAnswer(payload);
    if (trace) traceAnswer(payload, traceLength, answer.complete);
    if (!answer.complete) return takeShortAnswer(payload.size());
    if (ignoredAsNotAwaited(answer)) return MODULE_NO_ANSWER;
    bool getRequest = awaitedAnswer.kind == AwaitedKind::PsKeyGet;
    awaitedAnswer = {};
    if (answer.status != 0) {
        if (trace) traceAnswerEnd({}, true);
        takeRefusal(answer, getRequest);
        return MODULE_ANSWERED;
    }
    takeKey(answer, getRequest);
    if (trace) traceAnswerEnd(payload.subspan(kAnswerHeaderSize, 2u * answer.key.wordCount), false);
    return MODULE_ANSWERED;
}

ModuleAnswer vendorEventAnswer(std::span<const std::uint8_t> event) {
    // Only a whole message of the BCCMD channel carries an answer.
    std::uint8_t descriptor = event.size() > 3 ? event[3] : 0;
    if (descriptor != kBccmdPayloadDescriptor) {
        if (firstOfKind(IGNORED_NOT_BCCMD)) {
            UPDATE_ERR_AS(kEventReader, LogLevel::Warning, kErrorOperationFailed,
                          "vendor event with payload descriptor 0x%02X ignored, not a BCCMD "
                          "answer \n",
                          static_cast<unsigned>(descriptor));
        }
        return MODULE_NO_ANSWER;
    }
    return pskeyReqRsp(event.subspan(3), event[2]);
}
