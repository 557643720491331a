#include "image/key_set_statement.h"

#include <cstring>

#include "core/hex.h"

namespace {

// The text not yet read. A plain cursor: the board's text budget has no room for the
// checked views' code.
struct Reader {
    const char* at;
    const char* end;
};

bool literal(Reader& text, std::string_view word) {
    if (static_cast<std::size_t>(text.end - text.at) < word.size() ||
        std::memcmp(text.at, word.data(), word.size()) != 0)
        return false;
    text.at += word.size();
    return true;
}

// Decimal digits without a leading zero, 1 to max, ended by a line feed.
bool numberLine(Reader& text, std::uint32_t max, std::uint32_t* value) {
    const char* start = text.at;
    std::uint64_t number = 0;
    while (text.at < text.end && text.at - start < 10 && *text.at >= '0' && *text.at <= '9')
        number = number * 10 + static_cast<std::uint64_t>(*text.at++ - '0');
    if (text.at == start || *start == '0' || number > max) return false;
    *value = static_cast<std::uint32_t>(number);
    return literal(text, "\n");
}

// count bytes in lower-case hex digits: one spelling of each, so that the signed bytes say
// each thing one way only.
bool hexBytes(Reader& text, std::uint8_t* bytes, std::size_t count) {
    if (static_cast<std::size_t>(text.end - text.at) / 2 < count) return false;
    for (std::size_t i = 0; i < 2 * count; ++i) {
        char digit = text.at[i];
        int value = digit >= 'A' && digit <= 'F' ? -1 : hexDigitValue(digit);
        if (value < 0) return false;
        bytes[i / 2] = static_cast<std::uint8_t>(i % 2 == 0 ? value << 4 : bytes[i / 2] | value);
    }
    text.at += 2 * count;
    return true;
}

// The characters before the next stop: visible ones only, no '/'.
std::string_view nameBefore(Reader& text, char stop) {
    const char* start = text.at;
    while (text.at<text.end&& * text.at != stop&& * text.at> ' ' && *text.at < 127 &&
           *text.at != '/')
        ++text.at;
    return {start, static_cast<std::size_t>(text.at - start)};
}

}  // namespace

bool parseKeySetStatement(std::string_view whole, KeySetStatement* statement) {
    Reader text{whole.data(), whole.data() + whole.size()};
    KeySetStatement& parsed = *statement;
    parsed.keyCount = 0;
    if (whole.size() > kKeySetStatementMaxSize || !literal(text, kKeySetStatementFirstLine) ||
        !literal(text, kKeySetVersionWord) || !numberLine(text, UINT32_MAX, &parsed.version) ||
        !literal(text, kKeySetThresholdWord) ||
        !numberLine(text, kMaxKeySetKeys, &parsed.threshold))
        return false;
    while (text.at < text.end) {
        if (parsed.keyCount == kMaxKeySetKeys || !literal(text, kKeySetKeyWord)) return false;
        KeySetStatement::Key& key = parsed.keys[parsed.keyCount];
        key.name = nameBefore(text, ' ');
        // Names ascending: each once.
        if (!isKeyFileName(key.name) ||
            (parsed.keyCount > 0 && !(parsed.keys[parsed.keyCount - 1].name < key.name)) ||
            !literal(text, " ") || !hexBytes(text, key.digest.data(), key.digest.size()) ||
            !literal(text, "\n"))
            return false;
        ++parsed.keyCount;
    }
    return parsed.keyCount > 0;
}

int parseKeySetSignatures(std::string_view whole, std::span<std::uint8_t> bytes,
                          std::span<KeySetSignature, kMaxKeySetSignatures> signatures) {
    if (whole.size() > kKeySetSignaturesMaxSize) return -1;
    Reader text{whole.data(), whole.data() + whole.size()};
    std::size_t count = 0;
    std::uint8_t* into = bytes.data();
    while (text.at < text.end) {
        if (count == signatures.size()) return -1;
        KeySetSignature& signature = signatures[count];
        if (!hexBytes(text, signature.keyId.data(), kUpdateKeyIdSize) || !literal(text, " "))
            return -1;
        const char* line = static_cast<const char*>(
            std::memchr(text.at, '\n', static_cast<std::size_t>(text.end - text.at)));
        std::size_t length = line == nullptr ? 0 : static_cast<std::size_t>(line - text.at) / 2;
        if (length < kRsaMinBits / 8 || length > kRsaMaxBits / 8 ||
            length > static_cast<std::size_t>(bytes.data() + bytes.size() - into) ||
            !hexBytes(text, into, length) || !literal(text, "\n"))
            return -1;
        signature.signature = {into, length};
        into += length;
        for (std::size_t earlier = 0; earlier < count; ++earlier)
            if (signatures[earlier].keyId == signature.keyId) return -1;
        ++count;
    }
    return static_cast<int>(count);
}
