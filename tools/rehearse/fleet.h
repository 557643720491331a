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
};

// The groups, the largest first (among equal sizes, the one of the earlier board first).
std::vector<BoardGroup> groupBoards(const std::vector<BoardFacts>& boards);

// "37 like sample: OK, 8 keys, firmware 2114 17.3.5, 4 sectors, 6 /etc lines, 41.2-45.0 s".
std::string groupSummary(const std::vector<BoardFacts>& boards, const BoardGroup& group);

// A PS-Key's value as the plan shows it: "(none)" when the key is absent, "(empty)" when it has
// no words.
std::string keyText(const std::optional<std::string>& value);

// The steps that did not end well: NOK, no result (a run that broke).
bool stepFailed(const StepFacts& step);
std::size_t lossCount(const BoardFacts& board);

// What the new image's run of a board did differently from the old image's, one line each
// ("&0021: 0006 -> 0007", "firmware after: 2114 17.3.5 -> 2200 18.0.0"); empty when alike.
std::vector<std::string> boardDifferences(const BoardFacts& old, const BoardFacts& now);

struct DifferenceGroup {
    std::vector<std::string> boards;       // the boards' names
    std::vector<std::string> differences;  // the same for each of them
};
// The boards of two runs of the same folders (matched by name), grouped by their differences;
// the boards without any in the last group, whose differences are empty.
std::vector<DifferenceGroup> compareFleets(const std::vector<BoardFacts>& old,
                                           const std::vector<BoardFacts>& now);
