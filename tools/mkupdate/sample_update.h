// The sample update of the simulated board (sim/sample-update), described in-process exactly
// as its build-image script gives it to "mkupdate build": file 0 (note.txt), the module's
// PS-Keys and the service records of parts/, the three versions, the to-do list, and the LAP
// software image wrapped from a payload that repeats lap/block.txt.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>

#include "tools/mkupdate/image_builder.h"
#include "tools/mkupdate/update_build.h"

namespace mkupdate {

// The payload's length makes the LAP software image exactly 200000 bytes.
inline constexpr std::size_t kSampleLapPayloadSize = 199936;
inline constexpr const char* kSampleLapName = "Linux-qvl-sample";
inline constexpr const char* kSampleUpdateName = "BT-LAP sample update";
// Firmware, PS-Keys, LAP software.
inline constexpr std::array<const char*, kVersionCount> kSampleVersions{"2114 17.3.5",
                                                                        "PS 07 SET S3A1", "2.1.0"};
inline constexpr std::array<const char*, 5> kSampleSteps{
    "CHECK_VERSIONS", "LAP_SOFTWARE", "CHECK_SDP", "REMOVE_DFU_UPLOAD", "PPCBOOT"};

// lap/block.txt repeated and cut to kSampleLapPayloadSize bytes.
std::optional<Bytes> sampleLapPayload(const std::string& sampleFolder, std::string* error);
// The sample update's parts, read from the folder sim/sample-update.
std::optional<UpdateDescription> sampleUpdate(const std::string& sampleFolder, std::string* error);
// The whole update image.
std::optional<Bytes> buildSampleUpdate(const std::string& sampleFolder, std::string* error);

}  // namespace mkupdate
