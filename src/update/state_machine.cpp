#include "update/state_machine.h"

#include <unistd.h>

#include <cstring>

#include "btlink/module_answers.h"
#include "btlink/module_link.h"
#include "btlink/pskey_walks.h"
#include "core/ai_socket.h"
#include "core/clock.h"
#include "core/error_codes.h"
#include "core/file_util.h"
#include "core/log.h"
#include "core/report_words.h"
#include "core/shell_commands.h"
#include "core/work_files.h"
#include "update/board_keys.h"
#include "update/firmware_step.h"
#include "update/peer_door.h"
#include "update/step_actions.h"
#include "update/update_state.h"

namespace {

// Step 0: the list is done; report the result once.
void finishUpdate() {
    if (update.stepState != STATE_ENTER) return;
    // A report that couldn't be written whole (something not the daemon's stood at its name)
    // doesn't tell what happened: the update isn't OK, even where its steps were. An update
    // that ended OK raises the board's security version to its image's and puts in the key
    // set its key step staged; one that couldn't ends NOK, so that it is run again. One that
    // ended NOK changes neither.
    if (update.updateResult == 1 && reportWasRefused()) update.updateResult = 0;
    if (!finishBoardTrust(update.updateResult == 1)) update.updateResult = 0;
    update.trust = ImageTrust::None;
    const char* result = update.updateResult == 1 ? kResultOk : kResultNok;
    char line[40];
    std::snprintf(line, sizeof line, kFinishedLineFormat, result);
    appendText(kUpdateReportPath, line);
    // The end of an update the peer asked for must reach it, even while it reads nothing;
    // the report of the first time-out without an update is sent once.
    announceUpdateEnd(result);
    // cat follows a link: only the daemon's own report is shown.
    if (ownFileAt(kUpdateReportPath)) shellCat(kUpdateReportPath);
    update.stepState = STATE_WAIT;
}

void removeDfuUpload() {
    unlink("/tmp/upload.dfu");
    startNextStep(kStepOk);
}

void updatePpcboot() { startNextStep(kNothingDone); }

using StepAction = void (*)();
constexpr std::array<StepAction, 12> kStepActions{
    finishUpdate,            // 0: no step, finishing
    checkVersionsStep,       // 1: CHECK_VERSIONS
    readPsKeysStep,          // 2: BT_MOD_SET_READ
    comparePsKeysStep,       // 3: BT_MOD_SET_COMP
    writeChangedPsKeysStep,  // 4: BT_MOD_SET_NEW_WRITE
    writeAllPsKeysStep,      // 5: BT_MOD_SET_ALL_WRITE
    firmwareStep,            // 6: BT_MOD_SET_FIRM_STACK
    lapSoftwareStep,         // 7: LAP_SOFTWARE
    checkSdpStep,            // 8: CHECK_SDP
    removeDfuUpload,         // 9: REMOVE_DFU_UPLOAD
    updatePpcboot,           // 10: PPCBOOT
    updateKeysStep,          // 11: UPDATE_KEYS
};

std::uint64_t runs = 0;

}  // namespace

std::uint64_t stateMachineRuns() { return runs; }

void endUpdateForStop() {
    if (update.currentStep != STEP_NONE) {
        if (update.currentStep == STEP_BT_MOD_SET_FIRM_STACK) stopDfuForExit();
        UPDATE_ERR(LogLevel::Critical, kErrorWriteOrEvent, "update ended by a stop request \n");
        armAlarm(0);
        if (moduleLinkDescriptor() >= 0) openBtModule(0);
        resetPsKeyWalks();
        resetAnswerCounts();
        appendText(kUpdateReportPath, kStepNok);
        update.updateResult = 0;
        update.currentStep = STEP_NONE;
        update.stepState = STATE_ENTER;
    }
    finishUpdate();
}

void stateMachine() {
    ++runs;
    if (update.currentStep < 0 ||
        static_cast<std::size_t>(update.currentStep) >= kStepActions.size())
        return;
    kStepActions[static_cast<std::size_t>(update.currentStep)]();
}
