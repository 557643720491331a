// gzip data read back by the update tool: "mkupdate list" and "check" read the update archive
// of an image as the board's gunzip does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace mkupdate {

// The data of one or more gzip members one after the other, as gunzip restores them, each
// member's CRC-32 and length checked. Nothing, with a message in error, for damaged data,
// bytes after the last member, or a result longer than limit bytes.
std::optional<std::vector<std::uint8_t>> gzipDecompress(std::span<const std::uint8_t> data,
                                                        std::size_t limit, std::string* error);

}  // namespace mkupdate
