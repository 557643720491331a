// The field's status of a rollout, for people: as text and as one HTML page.
#pragma once

#include <string>

#include "tools/rollout/rollout_state.h"

namespace rollout {

// The verdict's line: "halted in wave 2 of 4: 1 board unlike the plan, ...".
std::string verdictLine(const RolloutState& state);
// What each exit status of the rollout means.
const char* exitStatusMeaning(int status);
std::string statusText(const RolloutState& state);
std::string statusPage(const RolloutState& state);

}  // namespace rollout
