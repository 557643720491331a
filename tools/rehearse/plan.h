// A rehearsal's plan: an image run on each board of a fleet, the boards grouped, and
// optionally what the image does differently from another one. Shown as text for a person at
// a terminal, as a page (HTML with each board's timeline), and as JSON for a release
// pipeline (tools/rehearse/rehearsal.schema.json).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tools/rehearse/board_facts.h"
#include "tools/rehearse/board_keys.h"
#include "tools/rehearse/fleet.h"

struct ImageId {
    std::string name;    // the file's name
    std::string sha256;  // of its bytes, lower-case hex
    // Who signed it, in the tools' words for a signature block (signatureBlockWords): "key ID,
    // format F, security version N", "unsigned", "damaged signature block"; or
    // "" when not known (not a multi-file image, or not read)
    std::string signer;
};

struct Comparison {
    ImageId oldImage;
    std::vector<BoardFacts> oldBoards;
    std::vector<DifferenceGroup> groups;
};

struct Plan {
    ImageId image;
    bool measured = false;  // the durations were measured at the board's speed
    std::vector<BoardFacts> boards;
    std::vector<BoardGroup> groups;
    std::optional<Comparison> comparison;
    // Each board's place in the whole fleet, from 1 (none given: the boards in turn), and the
    // part of the fleet that these boards are when they are a shard of it.
    std::vector<std::size_t> positions;
    std::optional<Shard> shard;
};

// The exit status that tells a pipeline how it went: 0 every board ended OK, 1 a board did
// not, 2 a board's folder is wrong, 3 a run broke (no final notice came).
int planStatus(const Plan& plan);

// The kinds of outcome, a line each, and inside a kind of several groups a line for each group:
// what a reader takes in first.
std::string kindsText(const Plan& plan);
// Text: the kinds of outcome and their groups, then each group's detail once, the table over all
// boards and the comparison.
std::string planText(const Plan& plan);
// The same, written piece by piece (a board's line at a time), never whole in memory.
void writePlanText(const Plan& plan, const std::function<void(const std::string&)>& write);
// What the update did on a board, from its outcome on (its seeding is its group's facts);
// duration: the seconds to show instead of its own ("41.2-45.0" for a group).
std::string boardText(const BoardFacts& board, bool measured, const std::string& duration = "");
// A group's detail: its boards, what they were seeded with (shared, and where they differ), and
// what the update did on them.
std::string groupText(const Plan& plan, const BoardGroup& group);
// The index of each board's group.
std::vector<std::size_t> groupOfBoards(const Plan& plan);

// The JSON document (plan_contract.h names its members); always valid UTF-8 (a byte that is not
// is replaced by U+FFFD). Each run's facts once, the boards referring to their run.
inline constexpr int kPlanFormatVersion = 2;
std::string planJson(const Plan& plan, const std::string& producerVersion);
// The same, written piece by piece (a board at a time), never whole in memory.
void writePlanJson(const Plan& plan, const std::string& producerVersion,
                   const std::function<void(const std::string&)>& write);

// A board's timeline: one bar per step at its place in time, split into the time on the
// module's line (wire), the built-in waits and the work. Empty when no step has a time.
std::string timelineSvg(const BoardFacts& board, const std::string& title, bool measured);
// The page to decide on: the verdict, the kinds of outcome and the groups inside them (failures
// first), the comparison side by side, a table of every board (drawn by a script from a list
// embedded once), and each group's detail with its timeline. One HTML file.
std::string planPage(const Plan& plan);
// The same, written piece by piece (a board's row at a time), never whole in memory.
void writePlanPage(const Plan& plan, const std::function<void(const std::string&)>& write);
// Text for HTML and SVG: its markup characters escaped, and each byte that isn't valid UTF-8 (a
// board's file may hold any) replaced by U+FFFD.
std::string markupEscaped(const std::string& text);
