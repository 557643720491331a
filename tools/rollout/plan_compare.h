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

// True when a board's /etc/data.txt (its lines) already holds what the plan's update writes
// there: every line it adds, none it removes. False when the plan changes nothing in data.txt,
// which then can't tell an updated board from another.
bool holdsUpdate(const PlannedBoard& plan, const std::vector<std::string>& dataLines);

}  // namespace rollout
