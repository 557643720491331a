// The step LAP_SOFTWARE: the access point's software image, the last file of the update
// image /tmp/image, written into the image area of the flash.
#pragma once

#include <cstddef>

// The image name that a software image for the access point carries, in its first bytes.
inline constexpr const char* kLapImageName = "Linux";

// Writes the LAP software image of /tmp/image to flash and removes /tmp/image. 1 when the
// whole image was written, -1 otherwise (logged).
int writeImage();
