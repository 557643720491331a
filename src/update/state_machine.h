// The update state machine: one action per call for the pair (currentStep, stepState).
#pragma once

void stateMachine();
