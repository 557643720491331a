// The PS-Key files of an update (key line format in pskey_line.h):
//   "/tmp/update.d/pskeyorig.psr"  the wanted keys, as the update brings them, with comments
//   "/tmp/pskeyprep.psr"           the same without comments
//   "/tmp/pskeydump.psr"           the module's keys, one line per key it returned
//   "/tmp/pskeycomp.psr"           report: ">>" + a wanted line, "<<" + a module line
//   "/tmp/pskeytoset.psr"          the wanted lines whose key is missing or differs
// Every write appends; the step that makes a file removes it first.
#pragma once

#include <cstdint>
#include <span>

#include "core/update_paths.h"

inline constexpr char kPsKeyPreparedPath[] = "/tmp/pskeyprep.psr";
inline constexpr char kPsKeyReportPath[] = "/tmp/pskeycomp.psr";
inline constexpr char kPsKeyToSetPath[] = "/tmp/pskeytoset.psr";

// Appends source's lines to destination without comments: a line that begins with "//" is
// dropped, a trailing "//" comment is cut off before the line's end (what stands before it,
// blanks included, stays). 1, also for a source that can't be opened (logged, nothing
// written); 0 when a line couldn't be written whole (logged by the write: a full /tmp).
int preparePSKeyFile(const char* source, const char* destination);

// Compares the prepared keys with the module's dump, both in ascending key order; lines that
// don't begin with "&" are passed over in both. Appends to the report and the to-set file:
//   a wanted key that the dump lacks: ">>" + wanted line to the report, the line to the to-set
//     file; when the dump has a greater key, the dump is read again from its beginning for the
//     next wanted line, so that its smaller keys are reported once more;
//   a key in both with lines that differ in any byte (line ends included): ">>" + wanted line,
//     the line to the to-set file, "<<" + dump line;
//   a dump line passed over on the way to a wanted key, and every dump line left unread at the
//     end: "<<" + dump line.
// A wanted key line whose key isn't four hex digits matches no dump line: it goes to the to-set
// file, whose writing walk refuses it. 1 when both files could be opened and every line was
// written whole; 0 otherwise (nothing written when a file can't be opened).
int comparePSKeyFiles(const char* prepared, const char* dump);

// The number of lines of the file that begin with prefix; 0 when it can't be opened.
int countPrefixedLines(const char* path, const char* prefix);

// Finds the first line of a key file that begins with prefix. text receives the rest of the
// line (line end included, cut to fit), bytes the value words, low-order byte first. Returns
// 1 when found, 0 otherwise (a file that can't be opened included); then neither output is
// written. Decoding stops at the line end, at a word that isn't four hex digits, and when
// bytes is full; the character after each word is taken for its separator whatever it is;
// the bytes past the decoded words keep what they held.
int findPSKeyInFile(const char* path, const char* prefix, std::span<char> text,
                    std::span<std::uint8_t> bytes);
