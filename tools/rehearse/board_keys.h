// A board folder's key, as a hash: boards with the same key are rehearsed once and reported
// as many (tools/rehearse/twin_key.h decides what a key leaves out).
#pragma once

#include <cstddef>
#include <functional>
#include <string>

// A file's content as a key takes it, given its path in the folder ("etc/data.txt").
using ContentTransform = std::function<std::string(const std::string& name, std::string content)>;

// A board's folder (links followed, each link's target counted too, as seeding copies links
// inside etc/ as links): every folder and file by name and content as transform gives it. ""
// when the folder can't be read whole (a link to nothing, a file that can't be read, a FIFO):
// such a board is seeded on its own, and the seeding names what is wrong.
std::string folderKey(const std::string& folder, const ContentTransform& transform);

// A part of a fleet: "K/N" (1 <= K <= N), as scripts/rehearse.sh --shard deals it out.
struct Shard {
    std::size_t part = 1, parts = 1;
    std::size_t fleetBoards = 0;  // the whole fleet's
};
bool parseShard(const std::string& text, Shard* shard);
