// The version check of step CHECK_VERSIONS: installed versions from /etc/data.txt against
// the update's /tmp/update.d/VERSION and the module keys of its pskeyorig.psr. Components
// that are current get needsUpdate 0 in componentTable, so that their steps are skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// A keyword value holds up to 1023 characters.
inline constexpr std::size_t kKeywordValueSize = 1024;
// A decoded PS-Key: up to 63 characters of the line's text, up to 16 words (32 bytes).
inline constexpr std::size_t kPsKeyTextSize = 64;
inline constexpr std::size_t kPsKeyBytesSize = 32;

// Compares the three components and appends the version table to the update report.
// Always 1.
int checkVersions();

// value receives the text of the first line that begins with keyword, from the second
// character after the keyword up to, without, the line's last character ("" when nothing
// follows). Left unchanged when no line begins with keyword. -1 when the file can't be
// opened, 1 otherwise. value must hold at least one byte.
int getKeywordValue(const char* path, const char* keyword, std::span<char> value);
