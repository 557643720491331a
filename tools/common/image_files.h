// Whole files in and out, for the tool's commands.
#pragma once

#include <string>
#include <vector>

#include "tools/common/image_builder.h"

namespace mkupdate {

// A regular file of a bounded size, or standard input for "-". False, with a message in
// error, when the file can't be read or is no regular file (a FIFO, a device) or too large.
bool readWholeFile(const std::string& path, Bytes* content, std::string* error);
// The output that names standard output.
inline constexpr const char* kStandardOutput = "-";

// Writes content to path, or to standard output for "-". A file is replaced whole: written to
// a temporary file beside it and renamed. An existing path that is not a regular file (a
// device, a folder), a symbolic link, or the same file as one of inputs is refused and left
// alone. False, with a message in error, on refusal or failure; path is then as it was.
bool writeOutput(const std::string& path, const Bytes& content,
                 const std::vector<std::string>& inputs, std::string* error);

}  // namespace mkupdate
