// The step LAP_SOFTWARE: the access point's software image, the last file of the update
// image /tmp/image, written into the image area of the flash.
#pragma once

#include <cstddef>

// The image name that a software image for the access point carries, in its first bytes.
inline constexpr const char* kLapImageName = "Linux";

#include "image/update_image.h"

// Writes the LAP software image of /tmp/image to flash and removes /tmp/image. Only the image
// that was accepted is written: a /tmp/image whose identity differs from accepted (replaced
// since the update's reception) leaves the flash untouched. 1 when the whole image was
// written, -1 otherwise (logged).
int writeImage(const ImageIdentity& accepted);
