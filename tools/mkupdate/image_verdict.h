// The daemon's verdict on an update image, as "mkupdate list" and "mkupdate check" give it: the
// reception's checks (header, size list, an archive that unpacks into update.d with a to-do
// file), then, for each step the to-do list selects, the part it needs, checked as "build"
// checks it, and each part that no step reads (it would travel for nothing). Nothing else of
// the board is asked: the verdict holds for a board in any state.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tools/mkupdate/key_set_making.h"
#include "tools/mkupdate/update_build.h"

namespace mkupdate {

// The version of list --json's format: a name keeps its meaning within it, names may be
// added. 2: a key set's keys have their "role", its statement is "keySetStatement".
inline constexpr int kListingFormatVersion = 2;

struct ImageVerdict {
    std::string text;  // the listing: header, files, archive, steps by position, versions
    std::string json;  // the same for scripts, one object
    // Every reason why the daemon would refuse the image or the update fail, in the order
    // the daemon meets them; empty for an image it takes.
    std::vector<std::string> faults;
    // What a valid image meets on some boards only (a key set, unsigned: refused by a board
    // with keys).
    std::vector<std::string> warnings;
    // The key set that the update installs (UPDATE_KEYS listed), for a board's verdict on it.
    std::optional<KeySetFiles> keySet;
    bool valid() const { return faults.empty(); }
};

ImageVerdict judgeImage(std::span<const std::uint8_t> image,
                        std::uint64_t flashSize = kDefaultFlashSize);

}  // namespace mkupdate
