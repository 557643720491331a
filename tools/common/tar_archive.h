// Tar archives as the board's tar reads them: written reproducibly (fixed owners, times and
// modes) and read back. Apart from the update folder's packing, so that a tool without the
// compression library (aipeer, on the board) can build an archive too.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace mkupdate {

// One member of a tar archive.
struct TarMember {
    std::string name;  // path inside the archive; a folder's name ends in "/"
    bool folder = false;
    bool executable = false;
    std::vector<std::uint8_t> content;
};

// A POSIX ustar archive of the members in the order given: owner root (0), time 0, mode
// 0755 for folders and executable files, 0644 for other files, padded to whole 10240-byte
// records. Nothing, with a message in error, when a name doesn't fit the format.
std::optional<std::vector<std::uint8_t>> tarArchive(const std::vector<TarMember>& members,
                                                    std::string* error);

// One entry of a tar archive as read back.
struct ArchiveEntry {
    std::string name;  // the whole path: prefix and name, or a long name
    char type = '0';   // '0' a file, '5' a folder, '2' a symbolic link, ...
    std::uint32_t mode = 0;
    std::vector<std::uint8_t> content;  // the data that follows the header
};

// The entries of a tar archive in order, up to its first empty block: ustar headers with their
// name prefix, GNU long names and pax paths applied to the entry they precede. Nothing, with a
// message in error, for a header whose checksum or numbers are wrong or an entry cut short.
std::optional<std::vector<ArchiveEntry>> readTarArchive(std::span<const std::uint8_t> archive,
                                                        std::string* error);

}  // namespace mkupdate
