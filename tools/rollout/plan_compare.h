// A board's real outcome held to its rehearsed one: each way the board departs from its plan,
// named as an operator reads it ("&0021: planned 0006, found 0004").
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tools/rollout/field_facts.h"
#include "tools/rollout/plan_facts.h"

namespace rollout {

// before: the PS-Keys of the board's folder as rehearsed (empty when the folder had none):
// the keys the plan doesn't change must keep them. Keys above the read step's range are not in
// a capture and are not compared. Empty when the board did as planned.
std::vector<std::string> planDifferences(const PlannedBoard& plan, const FieldFacts& field,
                                         const std::map<std::string, std::string>& before);

// True when a board whose /etc/data.txt reads dataTxt (its whole text, LF or CR LF lines)
// already holds every component version the image carries, read as the update's version check
// reads them: its update would find nothing to do. The image's versions are the plan's version
// table; a part the table shows "not found" the image doesn't carry. False when the table
// names no version of the image, which then can't tell an updated board from another.
bool holdsUpdate(const PlannedBoard& plan, const std::string& dataTxt);

}  // namespace rollout
