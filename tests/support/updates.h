// Update images for the tests, made with the image tool's own functions.
#pragma once

#include <map>
#include <set>
#include <string>

#include "tools/mkupdate/image_builder.h"

// The sample update's parts, folder sim/sample-update/parts/ of the project.
inline const std::string kSampleParts = PROJECT_SOURCE_PATH "/sim/sample-update/parts/";

// The sample's LAP software image "Linux-qvl-sample" of 200000 bytes.
mkupdate::Bytes sampleLapImage();

// A multi-file update image: a note as file 0, update.d packed with files (name -> content;
// "updatetodo.txt" among them; the names in executables with their execute bit), and, with
// withLap, the sample's LAP software image last.
mkupdate::Bytes makeUpdateImage(const std::map<std::string, std::string>& files,
                                bool withLap = true,
                                const std::set<std::string>& executables = {"dfu"});

// The firmware parts of the simulated board: the DFU stand-in, its firmware file and the
// stand-in BCSP driver modules (sim/dfu-standin/).
std::map<std::string, std::string> firmwareParts();
