// A fleet's rehearsal at a glance: the boards that an image treats alike in one group (the same
// outcome, the same failures with the same reasons, the same changes), and what another image
// does differently, board by board.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "tools/rehearse/board_facts.h"

struct BoardGroup {
    std::vector<std::size_t> members;  // indices into the boards, in their order
    // What its twins (boards rehearsed once for all) differed in, each said once: "data.txt
    // SERIALNO=", "module PS-Key &0001", ...
    std::vector<std::string> twinsDifferIn;
};

// The groups, those that failed first (no final notice, NOK, a wrong folder), then the OK ones;
// among the same outcome the largest first, and among equal sizes the one of the earlier board.
std::vector<BoardGroup> groupBoards(const std::vector<BoardFacts>& boards);

// What the update does to the group's boards: "OK: firmware, PS-Keys, software", "OK: firmware
// (older)", "OK: PS-Keys, software, update keys, security version", "NOK at Write diff. PS-Keys",
// "no final notice at Update qvl Software".
std::string groupName(const std::vector<BoardFacts>& boards, const BoardGroup& group);

// "OK: firmware, PS-Keys, software (37 boards); 8 keys, firmware 2114 17.3.5, 4 sectors,
// 6 /etc lines, 41.2-45.0 s": its name, its size, and its changes.
std::string groupSummary(const std::vector<BoardFacts>& boards, const BoardGroup& group);
// "8 keys, firmware 2114 17.3.5, 4 sectors, 6 /etc lines, 41.2-45.0 s"; "" when not rehearsed.
std::string groupChanges(const std::vector<BoardFacts>& boards, const BoardGroup& group);

// The group's durations at the board's speed: "41.2-45.0", "43.0", or "" when none is known.
std::string durationRange(const std::vector<BoardFacts>& boards, const BoardGroup& group);

// What the boards of a group were seeded with, which the image treats alike and so may differ
// within a group: "flash size: 4194304", "assumed flash size: 2097152", "note etc/data.txt: LF
// line ends"; each with the boards that have it, in the order first seen.
struct GroupFact {
    std::string fact;
    std::vector<std::size_t> boards;  // indices into the boards
};
std::vector<GroupFact> groupFacts(const std::vector<BoardFacts>& boards, const BoardGroup& group);

// What the update did to the flash: "4 sectors erased, 100000 words programmed
// (0x020000-0x05ffff)", or "nothing written".
std::string flashText(const FlashWork& flash);

// Boards' names for a line: "a, b, c and 37 more" past limit.
std::string boardNames(const std::vector<BoardFacts>& boards,
                       const std::vector<std::size_t>& indices, std::size_t limit);

// A PS-Key's value as the plan shows it: "(none)" when the key is absent, "(empty)" when it has
// no words.
std::string keyText(const std::optional<std::string>& value);

// The steps that did not end well: NOK, no result (a run that broke).
bool stepFailed(const StepFacts& step);
// A failed step's reason for a line: the first of its reasons but those the daemon only warned
// of (the key folder's file it ignored before the refusal that followed). The step has reasons.
const std::string& leadingReason(const StepFacts& step);
std::size_t lossCount(const BoardFacts& board);

// What the new image's run of a board did differently from the old image's, one line each
// ("&0021: 0006 -> 0007", "firmware after: 2114 17.3.5 -> 2200 18.0.0", "update keys after:
// none (no key folder) -> makers.key ID", "signature: refused: no signature -> refused: signed by
// unknown key ID", "security version after: 1 -> 2"); empty when alike.
std::vector<std::string> boardDifferences(const BoardFacts& old, const BoardFacts& now);

struct DifferenceGroup {
    std::vector<std::string> boards;       // the boards' names
    std::vector<std::string> differences;  // the same for each of them
};
// The boards of two runs of the same folders (matched by name), grouped by their differences;
// the boards without any in the last group, whose differences are empty.
std::vector<DifferenceGroup> compareFleets(const std::vector<BoardFacts>& old,
                                           const std::vector<BoardFacts>& now);
