// Placing an image where the daemon reads it (/tmp/image), and taking it back when its start
// failed. The board's /tmp is RAM and small: an image already on its file system is renamed
// into place, never copied; one from elsewhere is copied to a temporary name beside it first,
// so that the daemon never maps a half-written image.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

struct PlacedImage {
    std::string from;      // the image as given
    bool renamed = false;  // moved into place; otherwise a copy
    dev_t device = 0;      // the placed file, to know it again
    ino_t inode = 0;
};

// Places the image that source reads (opened from path) at destination. Nothing, with the
// reason on standard error, when it can't be placed; then nothing of it is left.
std::optional<PlacedImage> placeImage(int source, const std::string& path, const char* destination);

// After a failed start: while destination is still the placed file, a renamed image goes back
// where it was given and a copy is removed, so that the failed start leaves nothing behind.
void withdrawImage(const PlacedImage& placed, const char* destination);
