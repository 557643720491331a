// The actions of the update steps. stateMachine calls the action of currentStep; each looks
// at stepState itself where the step has sub-states.
#pragma once

void checkVersionsStep();  // step 1, CHECK_VERSIONS (update/version_check.cpp)
void lapSoftwareStep();    // step 7, LAP_SOFTWARE (update/image_steps.cpp)
void checkSdpStep();       // step 8, CHECK_SDP (update/image_steps.cpp)
