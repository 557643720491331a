#include "btlink/pskey_line.h"

#include "core/byte_order.h"
#include "core/hex.h"

namespace {

bool isLineEnd(char c) { return c == '\r' || c == '\n'; }

}  // namespace

bool readHexWord(std::string_view text, std::size_t position, std::uint16_t* word) {
    if (position > text.size() || text.size() - position < 4) return false;
    unsigned value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        int digit = hexDigitValue(text[position + i]);
        if (digit < 0) return false;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    *word = static_cast<std::uint16_t>(value);
    return true;
}

PsKeyLineError readPsKeyLine(std::string_view line, PsKeyLineKind kind, PsKey* key) {
    *key = PsKey{};
    if (line.empty() || line[0] != '&') return PsKeyLineError::NotKeyLine;
    if (!readHexWord(line, 1, &key->id)) return PsKeyLineError::BadKeyId;
    if (line.size() < 7 || isLineEnd(line[5]) || isLineEnd(line[6]))
        return PsKeyLineError::NoEquals;
    for (std::size_t column = 7;; column += 5) {
        if (column >= line.size()) {
            return kind == PsKeyLineKind::Preset ? PsKeyLineError::None : PsKeyLineError::NoLineEnd;
        }
        char separator = line[column];
        if (separator == '\n' || (kind == PsKeyLineKind::FileLine && separator == '\r'))
            return PsKeyLineError::None;
        if (separator != ' ') return PsKeyLineError::BadSeparator;
        std::uint16_t word = 0;
        if (!readHexWord(line, column + 1, &word)) return PsKeyLineError::BadWord;
        if (key->wordCount == kMaxPsKeyWords) return PsKeyLineError::TooManyWords;
        key->words[key->wordCount++] = word;
    }
}

const char* psKeyLineErrorText(PsKeyLineError error) {
    switch (error) {
        case PsKeyLineError::None:
            return "no error";
        case PsKeyLineError::NotKeyLine:
            return "not a key line (no \"&\" at its start)";
        case PsKeyLineError::BadKeyId:
            return "the key id isn't four hex digits";
        case PsKeyLineError::NoEquals:
            return "the line ends before \" =\"";
        case PsKeyLineError::BadSeparator:
            return "a value word isn't preceded by one space";
        case PsKeyLineError::BadWord:
            return "a value word isn't four hex digits";
        case PsKeyLineError::TooManyWords:
            return "more than 40 value words";
        case PsKeyLineError::NoLineEnd:
            return "the line has no line end";
    }
    return "unknown error";
}

std::size_t psKeyValueBytes(const PsKey& key, std::uint8_t* bytes) {
    for (std::size_t i = 0; i < key.wordCount; ++i) {
        writeLittleEndian16(bytes + 2 * i, key.words[i]);
    }
    return 2u * key.wordCount;
}

std::size_t formatPsKeyLine(const PsKey& key, char* line) {
    line[0] = '&';
    writeHexWord(line + 1, key.id);
    line[5] = ' ';
    line[6] = '=';
    std::size_t used = 7;
    for (std::size_t i = 0; i < key.wordCount && i < kMaxPsKeyWords; ++i) {
        line[used] = ' ';
        writeHexWord(line + used + 1, key.words[i]);
        used += 5;
    }
    line[used++] = '\r';
    line[used++] = '\n';
    line[used] = '\0';
    return used;
}
