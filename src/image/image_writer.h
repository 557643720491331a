// The step LAP_SOFTWARE: the access point's software image, the last file of the update
// image /tmp/image, written into the image area of the flash.
#pragma once

#include <cstddef>

// The progress text at the end of the update report while the image is written.
inline constexpr const char* kProgressFormat = "%3d percent ";
inline constexpr std::size_t kProgressLength = 12;

// The image name that a software image for the access point carries, in its first bytes.
inline constexpr const char* kLapImageName = "Linux";

// Writes the LAP software image of /tmp/image to flash and removes /tmp/image. 1 when the
// whole image was written, -1 otherwise (logged).
int writeImage();
