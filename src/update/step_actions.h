// The actions of the update steps, wherever they are defined: the state machine's table
// (update/state_machine.cpp) holds one row per step with its action, and calls the action of
// currentStep; each looks at stepState itself where the step has sub-states. The state
// machine's own actions (the finishing one, REMOVE_DFU_UPLOAD, PPCBOOT) stand beside its table.
#pragma once

#include <cstdint>

void checkVersionsStep();       // step 1, CHECK_VERSIONS (update/version_check.cpp)
void readPsKeysStep();          // step 2, BT_MOD_SET_READ (update/pskey_steps.cpp)
void comparePsKeysStep();       // step 3, BT_MOD_SET_COMP (update/pskey_steps.cpp)
void writeChangedPsKeysStep();  // step 4, BT_MOD_SET_NEW_WRITE (update/pskey_steps.cpp)
void writeAllPsKeysStep();      // step 5, BT_MOD_SET_ALL_WRITE (update/pskey_steps.cpp)
void firmwareStep();            // step 6, BT_MOD_SET_FIRM_STACK (update/firmware_step.cpp)
void lapSoftwareStep();         // step 7, LAP_SOFTWARE (update/image_steps.cpp)
void checkSdpStep();            // step 8, CHECK_SDP (update/image_steps.cpp)
// Step 11, UPDATE_KEYS (update/board_keys.cpp): stages the update's key set beside the board's
// (the image verified by a key of the current set, or a board without keys) when the roots'
// rules let it replace the board's (update/key_set_change.h), to be put in at the update's end;
// else ends NOK with nothing staged.
void updateKeysStep();

// Before an update's steps: removes the PS-Key working files of an earlier update (dump,
// prepared, comparison, to-set), so that no step reads them again, and forgets its comparison
// (update/pskey_steps.cpp).
void forgetEarlierPsKeyWork();
// Before an update's steps: removes the DFU program's status and error report of an earlier
// update: the first progress pause would show the old percentage, and a failure without a
// report would copy the old one (update/firmware_step.cpp).
void forgetEarlierDfuReports();
