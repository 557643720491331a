// Decoding a BCCMD answer: the header's words, little-endian, and the value words it carries.
#include <algorithm>

#include "btlink/module_answers.h"
#include "btlink/module_commands.h"
#include "core/byte_order.h"

namespace {

// Offsets in the answer payload: one byte further than in the message.
constexpr std::size_t kAnswerTypeAt = 1 + kBccmdTypeAt;
constexpr std::size_t kAnswerVaridAt = 1 + kBccmdVaridAt;
constexpr std::size_t kAnswerStatusAt = 1 + kBccmdStatusAt;
constexpr std::size_t kAnswerKeyIdAt = 1 + kPsKeyIdAt;
constexpr std::size_t kAnswerLengthAt = 1 + kPsKeyLengthAt;
constexpr std::size_t kAnswerValueAt = 1 + kPsKeyValueAt;
static_assert(kAnswerValueAt == kAnswerHeaderSize);

std::uint16_t wordAt(std::span<const std::uint8_t> bytes, std::size_t at) {
    return readLittleEndian16(&bytes[at]);
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
