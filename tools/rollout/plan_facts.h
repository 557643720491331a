// What the plan (a rehearsal's JSON, "btlap-rehearsal") says each board will do: the facts a
// board in the field is held to. Read tolerantly: members the plan gains later are passed over.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace rollout {

struct FailedStep {
    std::string step;
    std::vector<std::string> reasons;
};

struct EtcChange {
    std::string file;    // "service.txt"
    std::string change;  // "added", "removed" or "lost"
    std::string line;
};

// A row of the board's version table as the rehearsal's update wrote it: part "Parlo Firmware",
// "PS-Key" or "qvl Software", and the image's version as the table shows it.
struct PlannedVersion {
    std::string part;
    std::string newVersion;
};

struct PlannedBoard {
    std::string name;
    std::string folder;
    std::string outcome;  // "OK", "NOK", "none" (no final notice) or "seeding"
    std::vector<FailedStep> failed;
    // The PS-Keys the update changes, with their values after it (none: the key goes).
    std::map<std::string, std::optional<std::string>> keys;
    // No firmware: a board's module can't tell its firmware to a capture, which names it as
    // /etc/data.txt does; the firmware step's failures and data.txt's lines stand for it.
    std::optional<std::uint64_t> flashSize;
    std::vector<EtcChange> etc;
    std::vector<PlannedVersion> versions;
};

struct Plan {
    std::string imageName;
    std::string imageSha256;
    std::vector<PlannedBoard> boards;
};

// False, with a message in error, when text is not a rehearsal's JSON of format version 1 or 2
// (whose boards name their runs, each written once).
bool readPlan(const std::string& text, Plan* plan, std::string* error);

// The planned board that a board folder of the rollout's list is: the one rehearsed from the
// same folder, or else the one of the folder's name. Null when the plan has none.
const PlannedBoard* plannedBoard(const Plan& plan, const std::string& folder);

}  // namespace rollout
