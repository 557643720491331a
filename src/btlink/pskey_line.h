// The PS-Key line of the .psr files, the one format in which the update brings the module's
// settings, the daemon dumps the module's keys and the preset keys are written:
//
//   "&" and four hex digits in columns 0-4: the key id, high byte first;
//   " =" in columns 5-6 (not examined);
//   per value word k (at most 40): a space in column 7 + 5k and four hex digits in columns
//   8 + 5k to 11 + 5k, high byte first;
//   CR LF. A key without value words ends with the line end right after the "=".
//
// Hex digits may be upper or lower case; lines written by the daemon are lower case.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// A request carries at most this many value words.
inline constexpr std::size_t kMaxPsKeyWords = 40;
// Longest key line: "&kkkk =" + 40 × " wwww" + CR LF.
inline constexpr std::size_t kMaxPsKeyLineLength = 7 + 5 * kMaxPsKeyWords + 2;

struct PsKey {
    std::uint16_t id = 0;
    std::uint8_t wordCount = 0;
    std::array<std::uint16_t, kMaxPsKeyWords> words{};
};

enum class PsKeyLineError {
    None,
    NotKeyLine,    // doesn't begin with "&"
    BadKeyId,      // the key id isn't four hex digits
    NoEquals,      // the line ends within " ="
    BadSeparator,  // a value word isn't preceded by one space
    BadWord,       // a value word isn't four hex digits
    TooManyWords,  // more than kMaxPsKeyWords value words
    NoLineEnd,     // a file line that ends without CR or LF
};

// Where a line ends: a line of a file at CR or LF in a separator column; a built-in preset
// at LF or at the end of its text.
enum class PsKeyLineKind { FileLine, Preset };

// Four hex digits at position of text, the high byte's two first, into word. False when text
// ends before them or one of them isn't a hex digit (upper or lower case).
bool readHexWord(std::string_view text, std::size_t position, std::uint16_t* word);

// Reads one key line. Never reads past the end of line; on an error key is left partly filled.
PsKeyLineError readPsKeyLine(std::string_view line, PsKeyLineKind kind, PsKey* key);

// What is wrong, for messages: "a value word isn't four hex digits", ...
const char* psKeyLineErrorText(PsKeyLineError error);

// The key's value bytes as a request carries them: each word low byte first. Returns the
// number of bytes, 2 × wordCount.
std::size_t psKeyValueBytes(const PsKey& key, std::uint8_t* bytes);

// Writes the key as a dump line ("&01a5 = 0001" CR LF, lower case) into line, which must hold
// kMaxPsKeyLineLength + 1 bytes; returns the line's length.
std::size_t formatPsKeyLine(const PsKey& key, char* line);
