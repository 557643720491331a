// Update images for the tests, made with the image tool's own functions.
#pragma once

#include <map>
#include <string>

#include "tools/mkupdate/image_builder.h"

// The sample update's files, folder sim/sample-update/update.d/ of the project.
inline const std::string kSampleUpdateFolder = PROJECT_SOURCE_PATH "/sim/sample-update/update.d/";

// The sample's LAP software image "Linux-qvl-sample" of 200000 bytes.
mkupdate::Bytes sampleLapImage();

// A multi-file update image: a note as file 0, update.d packed with files (name -> content;
// "updatetodo.txt" among them), and, with withLap, the sample's LAP software image last.
mkupdate::Bytes makeUpdateImage(const std::map<std::string, std::string>& files,
                                bool withLap = true);
