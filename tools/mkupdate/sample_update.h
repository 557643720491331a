// The sample update of the simulated board (sim/sample-update), described in-process exactly
// as its build-image script gives it to "mkupdate build": file 0 (note.txt), the module's
// PS-Keys and the service records of parts/, the DFU stand-in with its firmware file and
// stand-in BCSP driver modules of sim/dfu-standin/, the three versions, every step, and the
// LAP software image wrapped from a payload that repeats lap/block.txt.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>

#include "tools/common/image_builder.h"
#include "tools/mkupdate/update_build.h"

namespace mkupdate {

// The payload's length makes the LAP software image exactly 200000 bytes.
inline constexpr std::size_t kSampleLapPayloadSize = 199936;
inline constexpr const char* kSampleLapName = "Linux-qvl-sample";
inline constexpr const char* kSampleUpdateName = "BT-LAP sample update";
// Firmware, PS-Keys, LAP software.
inline constexpr std::array<const char*, kVersionCount> kSampleVersions{"2114 17.3.5",
                                                                        "PS 07 SET S3A1", "2.1.0"};
// Every step, in the order the board runs them: the PS-Keys that differ are written before the
// firmware load, all of them after it, over the link the firmware step leaves open.
inline constexpr std::array<const char*, 10> kSampleSteps{
    "CHECK_VERSIONS",        "BT_MOD_SET_READ",
    "BT_MOD_SET_COMP",       "BT_MOD_SET_NEW_WRITE",
    "BT_MOD_SET_FIRM_STACK", "BT_MOD_SET_ALL_WRITE",
    "LAP_SOFTWARE",          "CHECK_SDP",
    "REMOVE_DFU_UPLOAD",     "PPCBOOT"};

// lap/block.txt repeated and cut to kSampleLapPayloadSize bytes.
std::optional<Bytes> sampleLapPayload(const std::string& sampleFolder, std::string* error);
// The sample update's parts, read from the folder sim/sample-update.
std::optional<UpdateDescription> sampleUpdate(const std::string& sampleFolder, std::string* error);
// The whole update image.
std::optional<Bytes> buildSampleUpdate(const std::string& sampleFolder, std::string* error);

}  // namespace mkupdate
