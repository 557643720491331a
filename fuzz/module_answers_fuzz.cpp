// The module's answers as the main loop hands them over: one read of the HCI device (an HCI
// event) to handleHciEvent, one read of the BCCMD channel (a bare BCCMD message, behind the 0
// byte that stands for the payload descriptor) to handleBccmdChannelMessage. Both end in
// pskeyReqRsp, which appends the keys that get requests asked for to the dump
// "/tmp/pskeydump.psr".
//
// Input: packets, each a control byte, a two-byte big-endian length and that many bytes (at
// most one read: 258 bytes of an event, 1031 of a BCCMD message). Control bit 0 picks the
// BCCMD channel, bits 2-3 are the trace switches (the traces are called on the packet); bits 4-5
// say what waits for its answer: a get request (0), a set request (1), the HCI Reset (2) or nothing
// (3); with bit 1 the request is for the key the answer names, otherwise for 0x01a5.
//
// Promises checked: an answer adds at most one line to the dump, and only the whole answer
// with status 0 to the awaited get request adds one; every dump line is a key line that
// readPsKeyLine accepts, of the answer's key, with the value words the answer carried (at most
// the claimed count, 40 and the words received); only the awaited request's answer with a
// non-zero status counts as refused ("no value" to a get excepted); the answer to the awaited
// command is recognised (Command Complete for HCI Reset, its status 0 or a refusal; the BCCMD
// answer of its type, varid and key), nothing else.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "btlink/answer_trace.h"
#include "btlink/module_answers.h"
#include "btlink/module_commands.h"
#include "btlink/pskey_line.h"
#include "core/log.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr std::size_t kMaxPackets = 16;

std::uint16_t wordAt(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

// The answer payload that the packet carries (descriptor first), if it carries one.
bool answerPayload(bool bccmdChannel, const std::vector<std::uint8_t>& packet,
                   std::vector<std::uint8_t>* payload) {
    if (bccmdChannel) {
        *payload = packet;
        return true;
    }
    if (packet.size() < 2 || packet[1] != kHciVendorEvent) return false;
    payload->assign(packet.begin() + std::min<std::size_t>(3, packet.size()), packet.end());
    return true;
}

void checkDumpLine(std::string_view line, const std::vector<std::uint8_t>& payload) {
    PsKey key;
    FUZZ_ASSERT(readPsKeyLine(line, PsKeyLineKind::FileLine, &key) == PsKeyLineError::None &&
                    line.ends_with("\r\n"),
                "a dump line is a key line in the .psr format");
    FUZZ_ASSERT(key.id == wordAt(payload, 1 + kPsKeyIdAt), "a dump line names the answer's key");
    std::size_t claimed = wordAt(payload, 1 + kPsKeyLengthAt);
    std::size_t received = (payload.size() - kAnswerHeaderSize) / 2;
    FUZZ_ASSERT(key.wordCount == std::min({claimed, kMaxPsKeyWords, received}),
                "a dump line takes the words claimed, at most 40, as far as they came");
    for (std::size_t i = 0; i < key.wordCount; ++i) {
        FUZZ_ASSERT(key.words[i] == wordAt(payload, kAnswerHeaderSize + 2 * i),
                    "a dump line holds the answer's value words");
    }
}

// The traces, off in the daemon, print what the daemon would take in: the packet and, of a
// BCCMD answer, its header's fields and its value or refusal.
void trace(unsigned switches, bool bccmdChannel, const std::vector<std::uint8_t>& packet,
           const std::vector<std::uint8_t>* payload) {
    if (switches & kTraceModulePackets) tracePacket(packet, !bccmdChannel);
    if (!(switches & kTracePsKeyAnswers) || payload == nullptr) return;
    PsKeyAnswer answer = decodePsKeyAnswer(*payload);
    auto traceLength = static_cast<std::uint8_t>(
        bccmdChannel ? packet.size() : (packet.size() > 2 ? packet[2] : 0));
    traceAnswer(*payload, traceLength, answer.complete);
    if (answer.complete) {
        traceAnswerEnd(std::span(*payload).subspan(kAnswerHeaderSize, 2u * answer.key.wordCount),
                       answer.status != 0);
    }
}

void handOver(std::uint8_t control, std::vector<std::uint8_t> packet) {
    bool bccmdChannel = (control & 1) != 0;
    if (bccmdChannel) packet.insert(packet.begin(), 0);
    std::vector<std::uint8_t> payload;
    bool isAnswer = answerPayload(bccmdChannel, packet, &payload);
    bool whole = isAnswer && payload.size() >= kAnswerHeaderSize;
    std::uint16_t answerKey = whole ? wordAt(payload, 1 + kPsKeyIdAt) : 0;
    std::uint16_t awaitedKey = (control & 2) != 0 ? answerKey : 0x01a5;
    static constexpr AwaitedKind kKinds[] = {AwaitedKind::PsKeyGet, AwaitedKind::PsKeySet,
                                             AwaitedKind::HciCommand, AwaitedKind::Nothing};
    AwaitedKind kind = kKinds[(control >> 4) & 3];
    awaitedAnswer = {kind, kind == AwaitedKind::HciCommand ? std::uint16_t{0x0C03} : awaitedKey};
    bool bccmdAwaited = kind == AwaitedKind::PsKeyGet || kind == AwaitedKind::PsKeySet;

    std::string before = readWholeFile(kPsKeyDumpPath).value_or("");
    std::int32_t refusedBefore = refusedAnswers();

    ModuleAnswer answer = bccmdChannel ? handleBccmdChannelMessage(packet) : handleHciEvent(packet);
    trace((control >> 2) & 3, bccmdChannel, packet, isAnswer ? &payload : nullptr);

    std::string after = readWholeFile(kPsKeyDumpPath).value_or("");
    FUZZ_ASSERT(after.starts_with(before), "the dump only grows");
    std::string_view added = std::string_view(after).substr(before.size());
    bool bccmdEvent = bccmdChannel || (packet.size() > 3 && packet[3] == kBccmdPayloadDescriptor);
    bool matched = isAnswer && bccmdEvent && whole && bccmdAwaited &&
                   wordAt(payload, 1 + kBccmdTypeAt) == kBccmdGetResponse &&
                   wordAt(payload, 1 + kBccmdVaridAt) == kBccmdVaridPsKey &&
                   answerKey == awaitedKey;
    std::uint16_t status = whole ? wordAt(payload, 1 + kBccmdStatusAt) : 0;
    // Any non-zero status to a get says that the key isn't held; to a set, that it was refused.
    bool notHeld = kind == AwaitedKind::PsKeyGet && status != 0;
    FUZZ_ASSERT(refusedAnswers() - refusedBefore == (matched && status != 0 && !notHeld ? 1 : 0),
                "only the awaited answer with a refusing status is refused");
    if (matched && status == 0 && kind == AwaitedKind::PsKeyGet) {
        FUZZ_ASSERT(splitLines(added).size() == 1, "a key the walk asked for adds one line");
        checkDumpLine(added, payload);
    } else {
        FUZZ_ASSERT(added.empty(), "nothing else goes into the dump");
    }

    bool truncated = isAnswer && bccmdEvent && !whole && bccmdAwaited;
    bool resetComplete = !bccmdChannel && packet.size() >= 6 && packet[1] == kHciCommandComplete &&
                         packet[4] == kHciResetOpcodeLow && packet[5] == kHciResetOpcodeHigh &&
                         kind == AwaitedKind::HciCommand;
    bool resetOk = resetComplete && packet.size() > 6 && packet[6] == 0;
    FUZZ_ASSERT((answer == MODULE_ANSWERED) == (matched || truncated || resetOk),
                "the answer to the awaited command is recognised, nothing else");
    FUZZ_ASSERT((answer == MODULE_REFUSED) == (resetComplete && !resetOk),
                "a refused HCI Reset is recognised");
    if (answer != MODULE_NO_ANSWER) {
        FUZZ_ASSERT(awaitedAnswer.kind == AwaitedKind::Nothing, "an answer is taken once");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    removeFile(kUpdateReportPath);
    removeFile(kPsKeyDumpPath);
    resetAnswerCounts();
    std::size_t at = 0;
    for (std::size_t packets = 0; packets < kMaxPackets && at + 3 <= size; ++packets) {
        std::uint8_t control = data[at];
        std::size_t limit = (control & 1) != 0 ? kMaxBccmdChannelRead : kMaxHciEventSize;
        std::size_t length = ((std::size_t{data[at + 1]} << 8) | data[at + 2]) % (limit + 1);
        at += 3;
        length = std::min(length, size - at);
        // A read of nothing is a read error: the main loop hands nothing over.
        if (length > 0) handOver(control, {data + at, data + at + length});
        at += length;
    }
    awaitedAnswer = {};
    return 0;
}
