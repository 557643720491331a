// The tools' inputs: a regular file of a bounded size, or "-" for standard input. A FIFO, a
// device or a folder given by mistake is refused at once rather than waited on or read forever.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

inline constexpr std::size_t kMaxInputBytes = std::size_t{256} << 20;

// False, with a message that names path in error, when path is no regular file (standard input may
// be a pipe), can't be read, or holds more than limit bytes.
bool readInputFile(const std::string& path, std::string* content, std::string* error,
                   std::size_t limit = kMaxInputBytes);

// The lines of text, each without its line end (LF, or CR LF as a board's files may have).
std::vector<std::string> splitLines(const std::string& text);
