#include "image/key_set_statement.h"

#include <algorithm>

#include "core/hex.h"

namespace {

// The next line of text, without its line feed; false when text holds no whole line.
bool takeLine(std::string_view& text, std::string_view* line) {
    std::size_t end = text.find('\n');
    if (end == std::string_view::npos) return false;
    *line = text.substr(0, end);
    text.remove_prefix(end + 1);
    return true;
}

// Decimal digits without a leading zero, 1 to max.
bool parseNumber(std::string_view text, std::uint32_t max, std::uint32_t* value) {
    if (text.empty() || text.size() > 10 || text.front() == '0') return false;
    std::uint64_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        number = number * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (number > max) return false;
    *value = static_cast<std::uint32_t>(number);
    return true;
}

bool parseWordLine(std::string_view& text, std::string_view word, std::uint32_t max,
                   std::uint32_t* value) {
    std::string_view line;
    return takeLine(text, &line) && line.starts_with(word) &&
           parseNumber(line.substr(word.size()), max, value);
}

// The value of a lower-case hex digit, or -1: the statement has one spelling of each digest,
// so that its bytes (which are signed) say each thing one way only.
int lowerHexValue(char c) { return c >= 'A' && c <= 'F' ? -1 : hexDigitValue(c); }

// Lower-case hex digits, two a byte, into bytes (exactly its size).
bool decodeLowerHex(std::string_view text, std::span<std::uint8_t> bytes) {
    if (text.size() != 2 * bytes.size()) return false;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        int high = lowerHexValue(text[2 * i]);
        int low = lowerHexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        bytes[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return true;
}

// A key file's name as the folder holds it: *.key, not hidden, nothing but visible characters
// and no '/', so that it names a file of the folder and nothing else.
bool isStatementKeyName(std::string_view name) {
    return isKeyFileName(name) && std::all_of(name.begin(), name.end(), [](char c) {
               return c > ' ' && c < 127 && c != '/';
           });
}

}  // namespace

bool parseKeySetStatement(std::string_view text, KeySetStatement* statement) {
    if (text.size() > kKeySetStatementMaxSize || !text.starts_with(kKeySetStatementFirstLine))
        return false;
    text.remove_prefix(kKeySetStatementFirstLine.size());
    KeySetStatement parsed;
    if (!parseWordLine(text, kKeySetVersionWord, UINT32_MAX, &parsed.version) ||
        !parseWordLine(text, kKeySetThresholdWord, kMaxKeySetKeys, &parsed.threshold))
        return false;
    std::string_view line;
    while (takeLine(text, &line)) {
        if (parsed.keyCount == kMaxKeySetKeys || !line.starts_with(kKeySetKeyWord)) return false;
        line.remove_prefix(kKeySetKeyWord.size());
        std::size_t space = line.find(' ');
        if (space == std::string_view::npos) return false;
        KeySetStatement::Key& key = parsed.keys[parsed.keyCount];
        key.name = line.substr(0, space);
        if (!isStatementKeyName(key.name) || !decodeLowerHex(line.substr(space + 1), key.digest))
            return false;
        if (parsed.keyCount > 0 && !(parsed.keys[parsed.keyCount - 1].name < key.name))
            return false;
        ++parsed.keyCount;
    }
    if (!text.empty() || parsed.keyCount == 0) return false;
    *statement = parsed;
    return true;
}

int parseKeySetSignatures(std::string_view text, std::span<std::uint8_t> bytes,
                          std::span<KeySetSignature, kMaxKeySetSignatures> signatures) {
    if (text.size() > kKeySetSignaturesMaxSize) return -1;
    std::size_t count = 0;
    std::size_t used = 0;
    std::string_view line;
    while (takeLine(text, &line)) {
        if (count == signatures.size() || line.size() < 2 * kUpdateKeyIdSize + 1 ||
            line[2 * kUpdateKeyIdSize] != ' ')
            return -1;
        KeySetSignature& signature = signatures[count];
        if (!decodeLowerHex(line.substr(0, 2 * kUpdateKeyIdSize), signature.keyId)) return -1;
        std::string_view hex = line.substr(2 * kUpdateKeyIdSize + 1);
        std::size_t length = hex.size() / 2;
        if (length < kRsaMinBits / 8 || length > kRsaMaxBits / 8 || length > bytes.size() - used)
            return -1;
        std::span<std::uint8_t> into = bytes.subspan(used, length);
        if (!decodeLowerHex(hex, into)) return -1;
        signature.signature = into;
        used += length;
        for (std::size_t earlier = 0; earlier < count; ++earlier)
            if (signatures[earlier].keyId == signature.keyId) return -1;
        ++count;
    }
    if (!text.empty()) return -1;
    return static_cast<int>(count);
}
