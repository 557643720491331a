// A folder of this machine read into the crash model's tree, and a tree written out as one.
#pragma once

#include <optional>
#include <string>

#include "tools/powercut/crash_model.h"

namespace powercut {

// Files, folders and links with their modes; nullopt with error set when a part can't be read
// or is of another kind (a device, a FIFO).
std::optional<Tree> readFolder(const std::string& path, std::string* error);

// Makes the folder path (which must not exist) hold tree; false with error set.
bool writeFolder(const Tree& tree, const std::string& path, std::string* error);

}  // namespace powercut
