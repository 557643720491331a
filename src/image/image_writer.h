// The step LAP_SOFTWARE: the access point's software image, the last file of the update
// image /tmp/image, written into the image area of the flash.
#pragma once

#include <cstddef>

// The image name that a software image for the access point carries, in its first bytes.
inline constexpr char kLapImageName[] = "Linux";

#include "image/sha256.h"
#include "image/update_image.h"

// Writes the LAP software image of /tmp/image to flash and removes /tmp/image. Only the image
// that was accepted is written: a /tmp/image whose identity differs from accepted (replaced
// since the update's reception) leaves the flash untouched, and so does a software image whose
// SHA-256 isn't software, the digest taken at reception: the software image is read into the
// daemon's memory and checked there before the first erase, and written from there. What was
// written is read back and compared with software too. A flash that holds anything else, or
// only a part of the image, has its image's magic word cleared, so that nothing boots it;
// an image area that a failed pass left whole (the old image, its first erase refused) stays
// bootable. 1 when the whole image was written and read back right, -1 otherwise (logged).
int writeImage(const ImageIdentity& accepted, const Sha256Digest& software);
