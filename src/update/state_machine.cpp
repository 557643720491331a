#include "update/state_machine.h"

#include <unistd.h>

#include <array>
#include <cstddef>
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
    forgetImageTrust();
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

// A step is its row: its id and its action. The dispatch takes row currentStep, so row i
// must be step i, and every step of stepTable must have its row.
struct StepRow {
    StepId id;
    void (*action)();
};
constexpr std::array<StepRow, 12> kSteps{{
    {STEP_NONE, finishUpdate},
    {STEP_CHECK_VERSIONS, checkVersionsStep},
    {STEP_BT_MOD_SET_READ, readPsKeysStep},
    {STEP_BT_MOD_SET_COMP, comparePsKeysStep},
    {STEP_BT_MOD_SET_NEW_WRITE, writeChangedPsKeysStep},
    {STEP_BT_MOD_SET_ALL_WRITE, writeAllPsKeysStep},
    {STEP_BT_MOD_SET_FIRM_STACK, firmwareStep},
    {STEP_LAP_SOFTWARE, lapSoftwareStep},
    {STEP_CHECK_SDP, checkSdpStep},
    {STEP_REMOVE_DFU_UPLOAD, removeDfuUpload},
    {STEP_PPCBOOT, updatePpcboot},
    {STEP_UPDATE_KEYS, updateKeysStep},
}};

constexpr bool eachStepAtItsRow() {
    for (std::size_t i = 0; i < kSteps.size(); ++i) {
        if (kSteps[i].id != static_cast<std::int32_t>(i)) return false;
    }
    for (const UpdateStep& step : stepTable) {
        if (step.id < 0 || static_cast<std::size_t>(step.id) >= kSteps.size()) return false;
    }
    return true;
}
static_assert(eachStepAtItsRow(), "row i of kSteps is step i, and every step has a row");

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
    if (update.currentStep < 0 || static_cast<std::size_t>(update.currentStep) >= kSteps.size())
        return;
    kSteps[static_cast<std::size_t>(update.currentStep)].action();
}
