// The parts of a fleet's plan, each rehearsed on its own (scripts/rehearse.sh --shard, on one
// machine or many), joined into the plan that one run over the whole fleet gives: each part's
// boards are read back from its JSON (planJson) and grouped and compared again as one fleet.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/rehearse/plan.h"

// The runs' facts read so far, by the SHA-256 of their JSON: the boards whose runs showed the
// same (twins) share them, in one part and across parts.
using SharedRuns = std::map<std::string, std::shared_ptr<const RunFacts>>;

// A plan read back from its JSON, its comparison's groups as they stand there. False, with
// what is wrong (the file named), when the file can't be read or is no rehearsal's plan.
bool readPlanJson(const std::string& path, Plan* plan, std::string* error,
                  SharedRuns* runs = nullptr);

// The parts as one plan: their boards in their places in the fleet, grouped and compared
// anew. False, with what is wrong (the part named), when the parts are of different images or
// runs, share a board, or leave out part of the fleet.
bool mergePlans(std::vector<Plan> parts, const std::vector<std::string>& paths, Plan* plan,
                std::string* error);
