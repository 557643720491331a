// The .psr key line ("&kkkk = wwww wwww" CR LF) as readPsKeyLine reads it, for a file line and
// for a built-in preset, and a .psr file as the PS-Key steps take it: preparePSKeyFile strips
// its comments, countPrefixedLines counts its keys.
//
// Input: one line for the reader, which is also the whole file for the file operations.
//
// Promises checked: the reader never reads past the line (it gets exactly the input's bytes)
// and takes at most 40 words; a line it accepts begins with "&" and the key id, each word it
// took stands in the line as four hex digits at its column, and the line formatted back (the
// dump format) is read back to the same key, in lower case and of the length its words give.
// The preparation makes no line longer, leaves no "//" in lines of ordinary length and adds no
// line; the count of key lines is the number of lines that begin with "&".
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "btlink/pskey_files.h"
#include "btlink/pskey_line.h"
#include "core/log.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr const char* kSourcePath = "/tmp/fuzz-source.psr";
// The PS-Key files are read up to 1023 bytes at a time.
constexpr std::size_t kPieceSize = 1024;

unsigned hexDigits(std::string_view digits) {
    unsigned value = 0;
    for (char c : digits) {
        value = value * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                                       ? c - '0'
                                                       : std::tolower(c) - 'a' + 10);
    }
    return value;
}

bool isHex(std::string_view digits) {
    for (char c : digits)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

void checkFormattedBack(const PsKey& key) {
    char line[kMaxPsKeyLineLength + 1];
    std::memset(line, 0x5A, sizeof line);
    std::size_t length = formatPsKeyLine(key, line);
    FUZZ_ASSERT(length == 7 + 5 * std::size_t{key.wordCount} + 2 && line[length] == '\0',
                "a dump line is as long as its words make it");
    std::string_view text(line, length);
    FUZZ_ASSERT(text.ends_with("\r\n"), "a dump line ends with CR LF");
    for (char c : text.substr(0, length - 2))
        FUZZ_ASSERT(!std::isupper(static_cast<unsigned char>(c)), "a dump line is lower case");
    PsKey back;
    FUZZ_ASSERT(readPsKeyLine(text, PsKeyLineKind::FileLine, &back) == PsKeyLineError::None,
                "a dump line is read back");
    FUZZ_ASSERT(
        back.id == key.id && back.wordCount == key.wordCount &&
            std::equal(back.words.begin(), back.words.begin() + back.wordCount, key.words.begin()),
        "a dump line is read back to the same key");
    std::uint8_t bytes[2 * kMaxPsKeyWords];
    FUZZ_ASSERT(psKeyValueBytes(key, bytes) == 2u * key.wordCount, "two value bytes a word");
    for (std::size_t i = 0; i < key.wordCount; ++i) {
        FUZZ_ASSERT(bytes[2 * i] == (key.words[i] & 0xFF) && bytes[2 * i + 1] == key.words[i] >> 8,
                    "value bytes go low byte first");
    }
}

void checkLine(std::string_view input, PsKeyLineKind kind) {
    // Exactly the input's bytes: a read past them meets ASan's red zone.
    std::vector<char> copy(input.begin(), input.end());
    std::string_view line(copy.data(), copy.size());
    PsKey key;
    PsKeyLineError error = readPsKeyLine(line, kind, &key);
    FUZZ_ASSERT(key.wordCount <= kMaxPsKeyWords, "a key takes at most 40 words");
    FUZZ_ASSERT(psKeyLineErrorText(error) != nullptr, "every error has its words");
    if (error != PsKeyLineError::None) return;
    FUZZ_ASSERT(line.size() >= 7 && line[0] == '&' && isHex(line.substr(1, 4)) &&
                    hexDigits(line.substr(1, 4)) == key.id,
                "an accepted line begins with \"&\" and its key id");
    for (std::size_t k = 0; k < key.wordCount; ++k) {
        std::size_t column = 8 + 5 * k;
        FUZZ_ASSERT(column + 4 <= line.size() && line[column - 1] == ' ' &&
                        isHex(line.substr(column, 4)) &&
                        hexDigits(line.substr(column, 4)) == key.words[k],
                    "each word taken stands at its column as four hex digits");
    }
    checkFormattedBack(key);
}

void checkFileOperations(std::string_view content) {
    writeWholeFile(kSourcePath, content);
    removeFile(kPsKeyPreparedPath);
    FUZZ_ASSERT(preparePSKeyFile(kSourcePath, kPsKeyPreparedPath) == 1,
                "the preparation answers 1");
    std::string prepared = readWholeFile(kPsKeyPreparedPath).value_or("");
    FUZZ_ASSERT(prepared.size() <= content.size(), "the preparation makes nothing longer");
    std::vector<std::string_view> lines = splitLines(content);
    bool ordinary = std::memchr(content.data(), '\0', content.size()) == nullptr;
    for (std::string_view line : lines) ordinary = ordinary && line.size() < kPieceSize - 1;
    if (ordinary) {
        FUZZ_ASSERT(prepared.find("//") == std::string::npos,
                    "no comment is left in a prepared file of ordinary lines");
        FUZZ_ASSERT(splitLines(prepared).size() <= lines.size(), "the preparation adds no line");
    }
    std::size_t keyLines = 0;
    for (const std::string& piece : readPieces(kSourcePath, kPieceSize))
        if (piece.starts_with('&')) ++keyLines;
    FUZZ_ASSERT(countPrefixedLines(kSourcePath, "&") == static_cast<int>(keyLines),
                "the key lines are counted");
    removeFile(kSourcePath);
    removeFile(kPsKeyPreparedPath);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    removeFile(kUpdateReportPath);
    std::string_view input(reinterpret_cast<const char*>(data), size);
    checkLine(input, PsKeyLineKind::FileLine);
    checkLine(input, PsKeyLineKind::Preset);
    std::uint16_t word = 0;
    for (std::size_t position = 0; position <= input.size() + 1 && position < 16; ++position) {
        std::vector<char> copy(input.begin(), input.end());
        if (readHexWord({copy.data(), copy.size()}, position, &word)) {
            FUZZ_ASSERT(position + 4 <= input.size() && isHex(input.substr(position, 4)) &&
                            hexDigits(input.substr(position, 4)) == word,
                        "a hex word is four hex digits");
        }
    }
    checkFileOperations(input);
    return 0;
}
