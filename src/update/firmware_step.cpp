// The step BT_MOD_SET_FIRM_STACK: the preset PS-Keys written over HCI, the BCSP driver loaded,
// the module's new firmware loaded by the DFU program (a child process) with its progress in
// the report, and the presets of the BCSP transport written over the BCCMD channel.
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "btlink/module_answers.h"
#include "btlink/module_link.h"
#include "btlink/psk_walks.h"
#include "core/ai_socket.h"
#include "core/child_process.h"
#include "core/file_util.h"
#include "core/log.h"
#include "core/report_progress.h"
#include "core/shell_commands.h"
#include "core/signals.h"
#include "update/module_steps.h"
#include "update/step_actions.h"
#include "update/update_state.h"

namespace {

constexpr const char* kUpdateDir = "/tmp/update.d/";
constexpr const char* kDfuProgram = "/tmp/update.d/dfu";
constexpr const char* kFirmwareFile = "/tmp/update.d/stack.dfu";
constexpr const char* kDfuStatusPath = "/tmp/dfu_status.log";
constexpr const char* kDfuErrorPath = "/tmp/dfu_error.log";
constexpr std::array<const char*, 3> kBcspDriverModules{"linabcsp_uart.o", "bcsp.o",
                                                        "linabcsp_upChan.o"};

constexpr unsigned kFirstPresetTimeout = 10;
constexpr unsigned kNextPresetTimeout = 15;
constexpr unsigned kProgressPauseSeconds = 3;
// Of the DFU program's status file, only the first characters are shown.
constexpr std::size_t kStatusShown = 4;
constexpr std::size_t kStatusReadSize = 100;

// The step's own sub-states.
constexpr std::int32_t kStatePresetAnswered = 1;
constexpr std::int32_t kStateDfuRunning = 7;

// What this run of the step has done: a second firmware step in the same process loads its
// firmware too, and is judged by its own load.
bool dfuRunInThisStep = false;
bool dfuFailedInThisStep = false;
bool presetsFailedAfterLoad = false;
// The BCSP driver stays loaded for the life of the process.
bool bcspDriverLoaded = false;

char dfuName[] = "dfu";
char dfuOption[] = "-dr";
char dfuFirmware[] = "/tmp/update.d/stack.dfu";

void writePresets(unsigned timeout, bool armFirst) {
    if (armFirst) alarm(timeout);
    stepState = STATE_WAIT;
    takeWalkResult(writePresetPSKeys(0));
    if (!armFirst) alarm(timeout);
}

// Shows the first characters of the DFU program's status file, after a pause, in place of the
// progress at the end of the step's line.
void showDfuProgress() {
    pauseSeconds(kProgressPauseSeconds);
    char status[kStatusReadSize + 1] = {};
    readFileToBuffer(kDfuStatusPath, kStatusReadSize, status);
    char text[kStatusShown + 16];
    std::snprintf(text, sizeof text, "%.*s percent ", static_cast<int>(kStatusShown), status);
    std::printf("%s\n", text);
    std::fflush(stdout);
    showProgress(text);
}

// Loads the BCSP driver (once per process) and starts the DFU program. False when no child
// could be created.
bool startFirmwareLoad() {
    openBtModule(0);
    tlInterface = TL_BCSP;
    if (!bcspDriverLoaded) {
        for (const char* module : kBcspDriverModules) shellInsmod(kUpdateDir, module);
        bcspDriverLoaded = true;
    }
    char* noEnvironment[] = {nullptr};
    dfuPid = startChildProcess(kUpdateDir, kDfuProgram, dfuArgv, noEnvironment, nullptr);
    dfuRunInThisStep = true;
    return dfuPid != -1;
}

// The step ends; after a failed load the update ends with it.
void endFirmwareStep() {
    if (!dfuFailedInThisStep) {
        // A preset that the module refused, or answered garbled, before or after the load is
        // not set as the firmware needs it.
        endStep(!presetsFailedAfterLoad && refusedAnswers() == 0 && malformedAnswers() == 0);
        return;
    }
    appendText(kUpdateReportPath, "NOK\n nothing done... try again\n");
    // No further step runs; the update finishes, and the peer is told.
    alarm(0);
    openBtModule(0);
    resetPSKeyWalks();
    currentStep = STEP_NONE;
    stepState = STATE_ENTER;
    postWakeUp(WAKE_UP);
}

}  // namespace

char* dfuArgv[] = {dfuName, dfuOption, dfuFirmware, nullptr};

void firmwareStep() {
    switch (stepState) {
        case STATE_ENTER: {
            dfuRunInThisStep = false;
            dfuFailedInThisStep = false;
            presetsFailedAfterLoad = false;
            resetBtModule();
            int opened = openModuleLink();
            if (opened == LINK_SETUP_FAILED) return;  // the step has ended
            if (opened == LINK_OPEN_FAILED) {
                stepState = STATE_PRESETS_DONE;  // the next poll time-out goes on
                return;
            }
            writePresets(kFirstPresetTimeout, false);
            break;
        }
        case kStatePresetAnswered:
        case STATE_ANSWER:
            writePresets(kNextPresetTimeout, true);
            break;
        case STATE_LIST_END:
            endFirmwareStep();
            break;
        case STATE_TIMEOUT:
            alarm(0);
            writePresetPSKeys(1);
            appendText(kUpdateReportPath, "...assuming BCSP -> try BCSP\n");
            // After the load, the module must answer on its new transport.
            if (dfuRunInThisStep) presetsFailedAfterLoad = true;
            stepState = STATE_PRESETS_DONE;
            postWakeUp(WAKE_UP);
            break;
        case STATE_DFU_FAILED:
            shellCat(kDfuErrorPath);
            appendFileToLog(kDfuErrorPath);
            alarm(0);
            updateResult = 0;
            dfuFailed = 1;
            dfuFailedInThisStep = true;
            stepState = STATE_DFU_DONE;  // the next poll time-out goes on
            break;
        case STATE_DFU_DONE: {
            unlink(kFirmwareFile);
            unlink(kDfuProgram);
            resetBtModule();
            if (openModuleLink() == LINK_SETUP_FAILED) return;  // the step has ended
            writePresets(kFirstPresetTimeout, false);
            break;
        }
        case kStateDfuRunning:
            showDfuProgress();
            break;
        case STATE_PRESETS_DONE:
            alarm(0);
            if (tlInterface != TL_BCSP || !dfuRunInThisStep) {
                if (!startFirmwareLoad()) {
                    stepState = STATE_DFU_FAILED;
                    postWakeUp(WAKE_UP);
                    return;
                }
                startPercent(0);
                stepState = kStateDfuRunning;
            } else {
                stepState = STATE_LIST_END;
            }
            postWakeUp(WAKE_UP);
            // After a failed load the report ends with the DFU program's error report.
            if (!dfuFailedInThisStep) showDfuProgress();
            break;
        default:
            break;
    }
}
