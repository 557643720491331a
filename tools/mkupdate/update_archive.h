// The update archive: the folder update.d packed as a tar archive and compressed with gzip,
// reproducibly (fixed order, times, owners and modes), as the board's tar and gunzip unpack
// it under /tmp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/common/tar_archive.h"

namespace mkupdate {

// Name under which the update folder is packed, whatever the folder is called on disk.
inline constexpr const char* kUpdateFolderName = "update.d";

// The members for folder path packed as "update.d/": the folder, then its entries sorted by
// name byte for byte, sub-folders recursively. Only folders and regular files are taken
// (symbolic links are followed); anything else is refused with a message in error.
std::optional<std::vector<TarMember>> collectUpdateFolder(const std::string& path,
                                                          std::string* error);

// collectUpdateFolder, tarArchive and gzipCompress together: file 1 of an update image.
std::optional<std::vector<std::uint8_t>> packUpdateFolder(const std::string& path,
                                                          std::string* error);

}  // namespace mkupdate
