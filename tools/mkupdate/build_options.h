// The command line of "mkupdate build": one option per part of an update, the files read in.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/mkupdate/update_build.h"

namespace mkupdate {

struct BuildRequest {
    UpdateDescription update;
    std::string output;
};

// How a command line is refused: wrong usage, or a file that can't be read.
enum class RequestRefusal { Usage, Unreadable };

// The arguments that follow "build". Nothing, with a message in error and the kind of
// refusal, for wrong usage or a part file that can't be read; the parts themselves are not
// checked here.
std::optional<BuildRequest> readBuildRequest(const std::vector<std::string>& arguments,
                                             std::string* error, RequestRefusal* refusal);

// Reads a part's file, with its execute bit; false, with a message in error, when it can't.
bool readPart(const std::string& path, std::optional<PartFile>* part, std::string* error);

}  // namespace mkupdate
