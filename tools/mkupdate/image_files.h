// Whole files in and out, for the tool's commands.
#pragma once

#include <string>

#include "tools/mkupdate/image_builder.h"

namespace mkupdate {

// False, with a message in error, when the file can't be read.
bool readWholeFile(const std::string& path, Bytes* content, std::string* error);
// Writes content to path, replacing the file: written to a temporary file beside it and
// renamed. False, with a message in error, on failure; path is then as it was.
bool writeWholeFile(const std::string& path, const Bytes& content, std::string* error);

}  // namespace mkupdate
