#include "btlink/pskey_files.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "btlink/pskey_line.h"
#include "core/byte_order.h"
#include "core/file_util.h"

namespace {

// Files are read line by line, at most 1023 bytes per read.
constexpr std::size_t kLineSize = 1024;

bool isLineEnd(char c) { return c == '\r' || c == '\n' || c == '\0'; }

bool isKeyLine(const char* line) { return line[0] == '&'; }

// The key of a key line: the four hex digits after its "&".
bool keyOf(const char* line, std::uint16_t* key) { return readHexWord(line, 1, key); }

// Set when a write of the comparison's files fell short (a full /tmp): the keys to set are
// then unknown.
bool comparisonWriteFailed = false;

// Appends text to the file; false (logged by the write) when it wasn't written whole.
bool appended(const char* path, const char* text) {
    return appendText(path, text) == static_cast<int>(std::strlen(text));
}

// Appends mark ("<<" or ">>") and line to the report.
void report(const char* mark, const char* line) {
    char entry[2 + kLineSize];
    std::snprintf(entry, sizeof entry, "%s%s", mark, line);
    if (!appended(kPsKeyReportPath, entry)) comparisonWriteFailed = true;
}

// A wanted line that the module doesn't have as it is.
void toSet(const char* line) {
    report(">>", line);
    if (!appended(kPsKeyToSetPath, line)) comparisonWriteFailed = true;
}

// Decodes the words of a key's value, each the low-order byte first. Stops at the line end,
// at a word that isn't four hex digits, and when bytes is full.
void decodeKeyWords(std::string_view value, std::span<std::uint8_t> bytes) {
    std::size_t position = 0;
    std::size_t stored = 0;
    while (position < value.size() && !isLineEnd(value[position])) {
        std::uint16_t word = 0;
        if (stored + 2 > bytes.size() || !readHexWord(value, position, &word)) return;
        writeLittleEndian16(&bytes[stored], word);
        stored += 2;
        position += 4;
        if (position >= value.size() || isLineEnd(value[position])) return;
        ++position;  // the separator
    }
}

}  // namespace

int preparePSKeyFile(const char* source, const char* destination) {
    FileStream stream(openFileStream(source, "r"));
    if (!stream) return 1;
    bool written = true;
    char line[kLineSize];
    while (std::fgets(line, sizeof line, stream.get()) != nullptr) {
        if (std::strncmp(line, "//", 2) == 0) continue;
        if (char* comment = std::strstr(line, "//")) {
            // Keep the line's own end (CR LF as the update brings it).
            std::size_t length = std::strlen(line);
            std::size_t end = length;
            while (end > 0 && (line[end - 1] == '\r' || line[end - 1] == '\n')) --end;
            std::memmove(comment, line + end, length - end + 1);
        }
        if (!appended(destination, line)) written = false;
    }
    return written ? 1 : 0;
}

int comparePSKeyFiles(const char* prepared, const char* dump) {
    FileStream wanted(openFileStream(prepared, "r"));
    FileStream module(openFileStream(dump, "r"));
    if (!wanted || !module) return 0;
    comparisonWriteFailed = false;
    char want[kLineSize];
    char have[kLineSize];
    bool dumpExhausted = false;
    while (std::fgets(want, sizeof want, wanted.get()) != nullptr) {
        if (!isKeyLine(want)) continue;
        std::uint16_t wantKey = 0;
        if (!keyOf(want, &wantKey)) {
            toSet(want);
            continue;
        }
        for (;;) {
            if (dumpExhausted || std::fgets(have, sizeof have, module.get()) == nullptr) {
                dumpExhausted = true;
                toSet(want);
                break;
            }
            if (!isKeyLine(have)) continue;
            std::uint16_t haveKey = 0;
            if (!keyOf(have, &haveKey) || haveKey < wantKey) {
                report("<<", have);
                continue;
            }
            if (haveKey == wantKey) {
                if (std::strcmp(want, have) != 0) {
                    toSet(want);
                    report("<<", have);
                }
                break;
            }
            // The module lacks the key. The next wanted key is searched from the dump's
            // beginning again.
            toSet(want);
            std::rewind(module.get());
            break;
        }
    }
    while (!dumpExhausted && std::fgets(have, sizeof have, module.get()) != nullptr) {
        if (isKeyLine(have)) report("<<", have);
    }
    return comparisonWriteFailed ? 0 : 1;
}

int countPrefixedLines(const char* path, const char* prefix) {
    FileStream stream(openFileStream(path, "r"));
    if (!stream) return 0;
    std::size_t prefixLength = std::strlen(prefix);
    int count = 0;
    char line[kLineSize];
    while (std::fgets(line, sizeof line, stream.get()) != nullptr) {
        if (std::strncmp(line, prefix, prefixLength) == 0) ++count;
    }
    return count;
}

int findPSKeyInFile(const char* path, const char* prefix, std::span<char> text,
                    std::span<std::uint8_t> bytes) {
    FileStream stream(openFileStream(path, "r"));
    if (!stream) return 0;
    std::size_t prefixLength = std::strlen(prefix);
    char line[kLineSize];
    while (std::fgets(line, sizeof line, stream.get()) != nullptr) {
        if (std::strncmp(line, prefix, prefixLength) != 0) continue;
        const char* rest = line + prefixLength;
        std::snprintf(text.data(), text.size(), "%s", rest);
        decodeKeyWords(rest, bytes);
        return 1;
    }
    return 0;
}
