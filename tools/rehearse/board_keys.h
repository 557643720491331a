// What decides a board's rehearsal, as a key to find the boards that need only one: boards
// with the same key are rehearsed once and reported as many. The daemon reads data.txt only
// for the lines of its version keywords, so a serial number (data.txt's SERIALNO=) can't
// change what an update does: the keys leave it out.
#pragma once

#include <cstddef>
#include <string>

// A board's folder (links followed, each link's target counted too, as seeding copies links
// inside etc/ as links): every folder and file by name and content. "" when the folder can't
// be read whole (a link to nothing, a file that can't be read, a FIFO): such a board is seeded
// on its own, and the seeding names what is wrong.
std::string folderKey(const std::string& folder);

// A seeded board's state and /etc (RUN/before/), as the update finds them. "" when the run
// holds no seeded state.
std::string seededKey(const std::string& run);

// A part of a fleet: "K/N" (1 <= K <= N), as scripts/rehearse.sh --shard deals it out.
struct Shard {
    std::size_t part = 1, parts = 1;
    std::size_t fleetBoards = 0;  // the whole fleet's
};
bool parseShard(const std::string& text, Shard* shard);
