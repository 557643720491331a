// What the update archive of an image (file 1, the packed update.d) holds, as "mkupdate
// list" shows it: the archive's members with their modes and sizes, the to-do list as the
// daemon reads it, and the versions of VERSION as the version check reads them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/common/tar_archive.h"

namespace mkupdate {

// Decompressed archives longer than this are refused.
inline constexpr std::size_t kMaxArchiveSize = std::size_t{256} << 20;

// What the daemon finds once the archive is unpacked.
struct ArchiveContents {
    std::size_t tarSize = 0;
    std::vector<ArchiveEntry> entries;
    bool todoFound = false;
    std::vector<std::string> steps;  // the keywords of the steps it selects, in running order
    // The lines that are no comment and name no step ("line 3 \"PPCBOT\""): the daemon
    // skips them, so a misspelt step is a step that never runs.
    std::vector<std::string> unknownLines;
    bool versionFound = false;
    // The versions as the version check reads them, in the order of the component table.
    std::array<std::optional<std::string>, 3> versions;
};

struct ArchiveListing {
    std::string text;     // lines to print
    std::string failure;  // why the archive can't be read; empty when it can
    ArchiveContents contents;
};

// A member's path as tar places it under /tmp ("./" at its start makes no difference there).
std::string_view placedPath(std::string_view name);

// The last member of that path (as tar places it under /tmp, "./" dropped) that is a file.
const ArchiveEntry* findArchiveFile(const std::vector<ArchiveEntry>& entries,
                                    std::string_view path);

// The listing of the gzip-compressed tar archive archive.
ArchiveListing listUpdateArchive(std::span<const std::uint8_t> archive);

// Text with the bytes outside printable ASCII (and the quote and backslash) as \xNN, within
// quotes.
std::string quotedText(std::string_view text);

}  // namespace mkupdate
