// The sample update of the simulated board (sim/sample-update), built in-process exactly as
// its build-image script builds it with mkupdate: file 0 (note.txt), the packed update.d
// folder, and the LAP software image wrapped from a payload that repeats lap/block.txt.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "tools/mkupdate/image_builder.h"

namespace mkupdate {

// The payload's length makes the LAP software image exactly 200000 bytes.
inline constexpr std::size_t kSampleLapPayloadSize = 199936;
inline constexpr const char* kSampleLapName = "Linux-qvl-sample";
inline constexpr const char* kSampleUpdateName = "BT-LAP sample update";

// lap/block.txt repeated and cut to kSampleLapPayloadSize bytes.
std::optional<Bytes> sampleLapPayload(const std::string& sampleFolder, std::string* error);
// The whole update image from the folder sim/sample-update.
std::optional<Bytes> buildSampleUpdate(const std::string& sampleFolder, std::string* error);

}  // namespace mkupdate
