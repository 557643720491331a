// The time of each step of a rehearsed update at the board's speed, from the stamps that the
// run left (tmp/peer-times.txt: the peer's lines; tmp/report-times.txt: the steps' starts in
// the report) and the devices' logs (state/module.log, state/flash.log, state/dfu.log).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/rehearse/board_facts.h"

struct StepTimes {
    std::vector<StepFacts> steps;    // the image check, the steps entered, the steps not run
    std::optional<double> duration;  // when the update's end was seen
};

StepTimes readStepTimes(const std::string& dir, bool atSpeed, const BoardSpeeds& speeds);

// Ties the lines of a failure's cause (failureCause: "STEP failed:" and the step's lines
// below it, two blanks in; "the update's reception failed:" for the image) to their steps.
void assignReasons(std::vector<StepFacts>& steps, const std::string& cause);
