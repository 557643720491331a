// The actions of the update steps that live with the work they do. stateMachine calls the
// action of currentStep; each looks at stepState itself where the step has sub-states.
#pragma once

void checkVersionsStep();  // step 1, CHECK_VERSIONS (update/version_check.cpp)
void lapSoftwareStep();    // step 7, LAP_SOFTWARE (image/image_writer.cpp)
void checkSdpStep();       // step 8, CHECK_SDP (image/sdp_check.cpp)
