// The plan's JSON (tools/rehearse/rehearsal.schema.json) member by member: what each of the
// plan's facts is called there, written once for the writer (plan_json.cpp) and for the reader
// that joins a fleet's parts (plan_merge.cpp). Each to_json has its from_json; what a reader
// can't take is thrown as a NotAPlan.
#pragma once

#include <cstddef>
#include <string>

#include "tools/common/json_text.h"
#include "tools/rehearse/plan.h"

namespace rehearse {

// What is wrong with a plan's JSON, said with the file's name by the caller.
struct NotAPlan {
    std::string what;
};

void to_json(Json& json, const ImageId& image);
void from_json(const Json& json, ImageId& image);

void to_json(Json& json, const Shard& shard);
void from_json(const Json& json, Shard& shard);

void to_json(Json& json, const DifferenceGroup& group);
void from_json(const Json& json, DifferenceGroup& group);

// A run's facts, which the boards that showed the same share; imageSigner: the plan's image's,
// which the trust's summary takes (trustCell).
void to_json(Json& json, const RunFacts& run, const std::string& imageSigner);
void from_json(const Json& json, RunFacts& run);

// Where a board stands: its place in the whole fleet, its group and its run (each from 1).
struct BoardPlace {
    std::size_t position = 0, group = 0, run = 0;
};
// A board's own facts and its place; its run's facts are the run's (the outcome repeated, for
// a reader of the boards alone).
void to_json(Json& json, const BoardFacts& board, const BoardPlace& place);
// The board's own facts and its place; its run is the caller's to find.
void from_json(const Json& json, BoardFacts& board, BoardPlace& place);

// A group: its name, boards, what they were seeded with, what its twins differed in. Its
// number and kind from 1.
void to_json(Json& json, const Plan& plan, std::size_t group, std::size_t kind);
// The group's boards' names and what its twins differed in.
void from_json(const Json& json, std::vector<std::string>& boards,
               std::vector<std::string>& twinsDifferIn);

// A kind of outcome, its number from 1.
void to_json(Json& json, const OutcomeKind& kind, std::size_t number);

}  // namespace rehearse
