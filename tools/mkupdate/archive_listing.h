// What the update archive of an image (file 1, the packed update.d) holds, as "mkupdate
// list" shows it: the archive's members with their modes and sizes, the to-do list as the
// daemon reads it, and the versions of VERSION as the version check reads them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace mkupdate {

// Decompressed archives longer than this are refused.
inline constexpr std::size_t kMaxArchiveSize = std::size_t{256} << 20;

struct ArchiveListing {
    std::string text;     // lines to print
    std::string failure;  // why the archive can't be read; empty when it can
};

// The listing of the gzip-compressed tar archive archive.
ArchiveListing listUpdateArchive(std::span<const std::uint8_t> archive);

// Text with the bytes outside printable ASCII (and the quote and backslash) as \xNN, within
// quotes.
std::string quotedText(std::string_view text);

}  // namespace mkupdate
