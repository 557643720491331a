#include "update/state_machine.h"

#include <unistd.h>

#include <cstring>

#include "core/ai_socket.h"
#include "core/file_util.h"
#include "core/log.h"
#include "core/shell_commands.h"
#include "update/step_actions.h"
#include "update/update_state.h"

namespace {

// Step 0: the list is done; report the result once.
void finishUpdate() {
    if (update.stepState != STATE_ENTER) return;
    const char* result = update.updateResult == 1 ? "OK" : "NOK";
    char line[40];
    std::snprintf(line, sizeof line, "*UPDATE_FINISHED* ... %s\n", result);
    appendText(kUpdateReportPath, line);
    sendNotice(2, result, std::strlen(result));
    updateUnderWay = false;
    shellCat(kUpdateReportPath);
    update.stepState = STATE_WAIT;
}

void removeDfuUpload() {
    unlink("/tmp/upload.dfu");
    startNextStep("OK\n");
}

void updatePpcboot() { startNextStep("Nothing Done\n"); }

using StepAction = void (*)();
constexpr std::array<StepAction, 11> kStepActions{
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
};

}  // namespace

void stateMachine() {
    if (update.currentStep < 0 ||
        static_cast<std::size_t>(update.currentStep) >= kStepActions.size())
        return;
    kStepActions[static_cast<std::size_t>(update.currentStep)]();
}
