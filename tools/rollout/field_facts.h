// What a board in the field did, from what the rollout fetched off it into a folder of its own
// (scripts/rollout.sh writes it): how the connection and the peer ended, the update report,
// and the board's state after the update as a capture took it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/rollout/plan_facts.h"

namespace rollout {

enum class Reach {
    Updated,      // the daemon gave a final notice
    Unreachable,  // ssh or the board's shell failed
    NoAnswer,     // the board was reached, but its daemon gave no final notice in time
};

struct FieldFacts {
    Reach reach = Reach::Unreachable;
    std::string why;      // for Unreachable and NoAnswer, as a person reads it
    std::string outcome;  // "OK" or "NOK" once Updated
    std::vector<FailedStep> failed;
    bool captured = false;  // the state after the update was read (below)
    std::map<std::string, std::string> keys;
    std::optional<std::uint64_t> flashSize;
    std::map<std::string, std::vector<std::string>> etc;  // "service.txt": its lines
};

// The folder's files: ssh-status (the session's exit status; 124 when the time limit ended
// it), peer-status (aipeer start's), update.log, capture-status, board/ (the capture).
FieldFacts readFieldFacts(const std::string& dir);

// The steps that failed and why, from an update report: "STEP failed:" and the lines below.
std::vector<FailedStep> failedSteps(const std::string& report);

// A board folder's PS-Keys ("&kkkk = wwww wwww"), lower case, each with its value's words.
std::map<std::string, std::string> readKeyLines(const std::string& text);
// A board folder's flash size: bytes, 0x hex, or with K or M.
std::optional<std::uint64_t> flashSizeOf(const std::string& text);

}  // namespace rollout
