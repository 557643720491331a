// gzip members written by the update tool: the update archive travels compressed in the
// image and the board's gunzip unpacks it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace mkupdate {

// One gzip member holding data: deflate with the fixed codes, no file name, time stamp 0.
// The same data always gives the same bytes.
std::vector<std::uint8_t> gzipCompress(std::span<const std::uint8_t> data);

}  // namespace mkupdate
