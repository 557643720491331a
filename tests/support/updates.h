// Update images for the tests, made with the image tool's own functions.
#pragma once

#include <map>
#include <string>

#include "tools/mkupdate/image_builder.h"

// The sample update's parts, folder sim/sample-update/parts/ of the project.
inline const std::string kSampleParts = PROJECT_SOURCE_PATH "/sim/sample-update/parts/";

// The sample's LAP software image "Linux-qvl-sample" of 200000 bytes.
mkupdate::Bytes sampleLapImage();

// A multi-file update image: a note as file 0, update.d packed with files (name -> content;
// "updatetodo.txt" among them), and, with withLap, the sample's LAP software image last.
mkupdate::Bytes makeUpdateImage(const std::map<std::string, std::string>& files,
                                bool withLap = true);
