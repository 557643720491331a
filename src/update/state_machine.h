// The update state machine: one action per call for the pair (currentStep, stepState).
#pragma once

#include <cstdint>

void stateMachine();
// How often stateMachine has run: the main loop's time-out counts from the last run.
std::uint64_t stateMachineRuns();

// A stop request came during an update: the running step ends " NOK" (a DFU program is
// stopped as at its time limit), and the update ends with its final report and notice "NOK".
// An update whose steps have all ended finishes as they ended.
void endUpdateForStop();
