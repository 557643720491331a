// Who vouches for the image of this update: a key of the board's set verified it, or the
// board has no key and checks nothing (the one case in which an update may enrol keys).
#pragma once

#include <cstdint>

enum class ImageTrust : std::uint8_t { None, Verified, Unchecked };
