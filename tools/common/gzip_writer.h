// gzip members written by the update tool: file 1 of an image travels compressed, and the
// board's gunzip unpacks it in its RAM-backed /tmp, so it is packed as well as gzip -9 does.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace mkupdate {

// One gzip member holding data, at the best compression: no file name, time stamp 0, the
// operating system byte always Unix. The same data gives the same bytes for a given zlib.
std::vector<std::uint8_t> gzipCompress(std::span<const std::uint8_t> data);

}  // namespace mkupdate
