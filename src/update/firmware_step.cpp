// The step BT_MOD_SET_FIRM_STACK: the preset PS-Keys written over HCI, the BCSP driver loaded,
// the module's new firmware loaded by the DFU program (a child process) with its progress in
// the report, and the presets of the BCSP transport written over the BCCMD channel.
#include "update/firmware_step.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "btlink/module_answers.h"
#include "btlink/module_link.h"
#include "btlink/pskey_walks.h"
#include "core/ai_socket.h"
#include "core/child_process.h"
#include "core/clock.h"
#include "core/due_work.h"
#include "core/error_codes.h"
#include "core/file_util.h"
#include "core/log.h"
#include "core/report_progress.h"
#include "core/report_words.h"
#include "core/shell_commands.h"
#include "core/update_paths.h"
#include "core/work_files.h"
#include "update/module_steps.h"
#include "update/operation_names.h"
#include "update/step_actions.h"
#include "update/update_state.h"

namespace {

// The helpers of the step report as the step.
constexpr const char* kFirmwareStep = "firmwareStep";

// The DFU program runs in the update's folder, where the BCSP driver's modules lie too.
constexpr char kDfuName[] = "dfu";
// In arrays rather than pointers, which would each cost the daemon a relocation.
constexpr char kBcspDriverModules[][18] = {"linabcsp_uart.o", "bcsp.o", "linabcsp_upChan.o"};

// execve takes the DFU program's arguments as char*: writable copies of the constants, and
// their vector: its name, "-dr" and its firmware file.
struct DfuArguments {
    std::array<char, sizeof kDfuName> name = std::to_array(kDfuName);
    std::array<char, 4> option = std::to_array("-dr");
    std::array<char, sizeof kFirmwarePath> firmware = std::to_array(kFirmwarePath);
    char* argv[4] = {name.data(), option.data(), firmware.data(), nullptr};
};
constinit DfuArguments dfuArguments;

constexpr unsigned kFirstPresetTimeout = 10;
constexpr unsigned kNextPresetTimeout = 15;
constexpr unsigned kProgressPauseSeconds = 3;
// The DFU program's time: ten times the wire time of its firmware file at 115200 baud, about
// a second per KiB, besides a minute for its start and the module's reset. Past it, SIGTERM,
// and SIGKILL if it is still there after the grace time.
constexpr unsigned kDfuBaseSeconds = 60;
constexpr unsigned kDfuStopGraceSeconds = kGroupStopGraceSeconds;
// Of the DFU program's error report, the end is copied, where the cause of the failure is.
constexpr long kDfuErrorShown = 4096;
// Of the DFU program's status file, only the first characters are shown.
constexpr std::size_t kStatusShown = 4;
constexpr std::size_t kStatusReadSize = 100;

// The step's private sub-states, beside the shared STATE_DFU_FAILED and STATE_DFU_DONE.
enum FirmwareStepState : std::int32_t {
    STATE_DFU_RUNNING = kFirstPrivateState,  // its progress shows at every wake-up and time-out
    STATE_DFU_STOPPING,                      // stopped after its time limit; its end fails the load
};
static_assert(clearOfSharedStates(STATE_DFU_RUNNING));

// The step's state.
struct FirmwareStepRun {
    // What this run of the step has done: a second firmware step in the same process loads its
    // firmware too, and is judged by its own load.
    bool dfuRunInThisStep = false;
    bool dfuFailedInThisStep = false;
    bool presetsFailedAfterLoad = false;
    // The DFU child that this step waits for, its time limit, the signal it was stopped with
    // (0: none) and its wait status once it has ended.
    bool dfuAwaited = false;
    unsigned dfuLimitSeconds = 0;
    int dfuStopSignal = 0;
    std::int64_t dfuSigtermAtMs = 0;
    std::int32_t dfuEndStatus = 0;
};
FirmwareStepRun run;

void writePresets(unsigned timeout, bool armFirst) {
    if (armFirst) armAlarm(timeout);
    update.stepState = STATE_WAIT;
    takeWalkResult(writePresetPSKeys(0));
    if (!armFirst) armAlarm(timeout);
}

// Shows the first characters of the DFU program's status file, after a pause, in place of the
// progress at the end of the step's line.
void showDfuProgress() {
    pauseDoingDueWork(kProgressPauseSeconds);
    char status[kStatusReadSize + 1] = {};
    readFileToBuffer(kDfuStatusPath, kStatusReadSize, status);
    // The daemon makes the file empty before the program starts: until the program has
    // written it, the progress shown stays.
    if (status[0] == '\0') return;
    char text[kStatusShown + 16];
    std::snprintf(text, sizeof text, kStatusPercentFormat, static_cast<int>(kStatusShown), status);
    std::printf("%s\n", text);
    std::fflush(stdout);
    showProgress(text);
}

// The DFU program writes its logs by name, as root: the daemon makes them first, so that
// what stands at their names is its own and no link or other user's file takes the writes.
bool makeDfuLogs() {
    for (const char* path : {kDfuStatusPath, kDfuErrorPath}) {
        int fd = makeFreshFile(kFirmwareStep, path, workFileMode(path));
        if (fd < 0) return false;
        close(fd);
    }
    return true;
}

// Loads the BCSP driver (unless it is loaded already) and starts the DFU program. False when no
// child could be created.
bool startFirmwareLoad() {
    openBtModule(0);
    // The driver stays loaded once loaded, by this step or by an earlier run of the daemon,
    // which the module link found so.
    if (tlInterface != TL_BCSP) {
        for (const char* module : kBcspDriverModules) shellInsmod(kUpdateFolder, module);
    }
    useBcspTransport();
    struct stat firmware {};
    unsigned long long kib = stat(kFirmwarePath, &firmware) == 0
                                 ? (static_cast<unsigned long long>(firmware.st_size) + 1023) / 1024
                                 : 0;
    run.dfuLimitSeconds = kDfuBaseSeconds + static_cast<unsigned>(std::min(kib, 0xFFFFull));
    run.dfuStopSignal = 0;
    run.dfuEndStatus = 0;
    char* noEnvironment[] = {nullptr};
    if (!makeDfuLogs()) {
        run.dfuRunInThisStep = true;
        return false;
    }
    update.dfuPid = startChildProcess(kUpdateFolder, kDfuProgramPath, dfuArguments.argv,
                                      noEnvironment, nullptr);
    run.dfuRunInThisStep = true;
    if (update.dfuPid == -1) return false;
    run.dfuAwaited = true;
    UPDATE_LOG(LogLevel::Warning, "dfu started with pid %d; time limit %u s\n",
               static_cast<int>(update.dfuPid), run.dfuLimitSeconds);
    armAlarm(run.dfuLimitSeconds);
    return true;
}

// SIGTERM to the DFU program's process group. Whatever in the group outlives the grace time,
// its leader ended or not, gets SIGKILL then.
void sendDfuSigterm() {
    run.dfuStopSignal = SIGTERM;
    run.dfuSigtermAtMs = monotonicMs();
    stopChild(update.dfuPid, SIGTERM);
}

// The time limit has passed: SIGTERM to the DFU program, then SIGKILL after the grace time.
// Its end, reaped as any child's, then fails the load.

void stopOverdueDfu() {
    if (run.dfuStopSignal == 0) {
        UPDATE_ERR(LogLevel::Critical, kErrorWriteOrEvent,
                   " dfu still running after its time limit of %u s; stopped\n",
                   run.dfuLimitSeconds);
        sendDfuSigterm();
    } else {
        UPDATE_ERR(LogLevel::Critical, kErrorWriteOrEvent,
                   " dfu still running %u s after SIGTERM; killed\n", kDfuStopGraceSeconds);
        run.dfuStopSignal = SIGKILL;
        stopChild(update.dfuPid, SIGKILL);
    }
    update.stepState = STATE_DFU_STOPPING;
    armAlarm(kDfuStopGraceSeconds);
}

// Prints the DFU program's error report and copies it into the report: its last
// kDfuErrorShown bytes, after a line with the count of those left out, as a program gone wrong
// may write without end.
void copyDfuErrorReport() {
    FileStream report(openFileStream(kDfuErrorPath, "r"));
    if (!report) return;
    long size = std::fseek(report.get(), 0, SEEK_END) == 0 ? std::ftell(report.get()) : -1;
    long skipped = size > kDfuErrorShown ? size - kDfuErrorShown : 0;
    if (skipped > 0) {
        char line[80];
        std::snprintf(line, sizeof line, "(first %ld bytes of %s left out)\n", skipped,
                      kDfuErrorPath);
        std::fputs(line, stdout);
        appendText(kUpdateReportPath, line);
    }
    std::fseek(report.get(), skipped, SEEK_SET);
    char tail[kDfuErrorShown];
    std::size_t n = std::fread(tail, 1, sizeof tail, report.get());
    std::fwrite(tail, 1, n, stdout);
    std::fflush(stdout);
    writeFile(kUpdateReportPath, "a", tail, n);
}

// The DFU program and its firmware are of no further use once it has run or couldn't start.
void removeDfuFiles() {
    unlink(kFirmwarePath);
    unlink(kDfuProgramPath);
}

// The step's entry: the presets of the module's HCI transport, unless its link doesn't open.
void enterFirmwareStep() {
    run.dfuRunInThisStep = false;
    run.dfuFailedInThisStep = false;
    run.dfuEndStatus = 0;
    run.presetsFailedAfterLoad = false;
    resetBtModule();
    int opened = openModuleLink();
    if (opened == LINK_SETUP_FAILED) return;  // the step has ended
    if (opened == LINK_OPEN_FAILED) {
        update.stepState = STATE_PRESETS_DONE;  // the next poll time-out goes on
        return;
    }
    writePresets(kFirstPresetTimeout, false);
}

// The presets are written: before the load, the load starts and its progress shows; after it,
// the step ends.
void loadFirmwareOrEnd() {
    armAlarm(0);
    if (tlInterface != TL_BCSP || !run.dfuRunInThisStep) {
        if (!startFirmwareLoad()) {
            update.stepState = STATE_DFU_FAILED;
            postWakeUp(WAKE_UP);
            return;
        }
        startPercent(0);
        update.stepState = STATE_DFU_RUNNING;
    } else {
        update.stepState = STATE_LIST_END;
    }
    postWakeUp(WAKE_UP);
    // After a failed load the report ends with the DFU program's error report.
    if (!run.dfuFailedInThisStep) showDfuProgress();
}

// The alarm: the DFU program has overrun its time, or the module didn't answer a preset,
// which over HCI means that it may run BCSP already: the step goes on as if the presets were
// written.
void takeTimeout() {
    if (run.dfuAwaited) {
        stopOverdueDfu();
        return;
    }
    armAlarm(0);
    writePresetPSKeys(1);
    appendText(kUpdateReportPath, "...assuming BCSP -> try BCSP\n");
    // After the load, the module must answer on its new transport.
    if (run.dfuRunInThisStep) run.presetsFailedAfterLoad = true;
    update.stepState = STATE_PRESETS_DONE;
    postWakeUp(WAKE_UP);
}

// The load failed: its reason goes into the report; the presets of BCSP are still written
// before the update ends.
void takeFailedLoad() {
    if (WIFSIGNALED(run.dfuEndStatus)) {
        int signal = WTERMSIG(run.dfuEndStatus);
        UPDATE_ERR_AS(kFirmwareStep, LogLevel::Critical, kErrorWriteOrEvent,
                      "dfu ended by signal %d (%s)\n", signal, strsignal(signal));
    }
    copyDfuErrorReport();
    armAlarm(0);
    update.updateResult = 0;
    run.dfuFailedInThisStep = true;
    update.stepState = STATE_DFU_DONE;  // the next poll time-out goes on
}

// After the load the module is opened again, on its new transport, for its presets.
void reopenAfterLoad() {
    removeDfuFiles();
    resetBtModule();
    if (openModuleLink() == LINK_SETUP_FAILED) return;  // the step has ended
    writePresets(kFirstPresetTimeout, false);
}

// The step ends; after a failed load the update ends with it.
void endFirmwareStep() {
    if (!run.dfuFailedInThisStep) {
        // A preset that the module refused, or answered garbled, before or after the load is
        // not set as the firmware needs it.
        endStep(!run.presetsFailedAfterLoad && refusedAnswers() == 0 && malformedAnswers() == 0);
        return;
    }
    appendText(kUpdateReportPath, kFirmwareAborted);
    // No further step runs; the update finishes, and the peer is told.
    armAlarm(0);
    openBtModule(0);
    resetPsKeyWalks();
    update.currentStep = STEP_NONE;
    update.stepState = STATE_ENTER;
    postWakeUp(WAKE_UP);
}

}  // namespace

void dfuReaped() {
    removeDfuFiles();
    // Whatever the program left in its process group goes too: SIGTERM now, unless the group
    // had it, and SIGKILL after the grace time. A group with no member left is gone.
    if (run.dfuStopSignal == 0) {
        if (kill(-update.dfuPid, SIGTERM) != 0) {
            forgetChildGroup();
            return;
        }
        UPDATE_LOG(LogLevel::Warning, "dfu left processes behind; stopped\n");
        run.dfuSigtermAtMs = monotonicMs();
    }
    killChildGroupAt(update.dfuPid, run.dfuSigtermAtMs + std::int64_t{kDfuStopGraceSeconds} * 1000);
}

void dfuEnded(std::int32_t status) {
    UPDATE_LOG_AS(kReadMessage, LogLevel::Warning, "DFU process died; status: %d \n", status);
    if (update.currentStep != STEP_BT_MOD_SET_FIRM_STACK || !run.dfuAwaited) {
        UPDATE_LOG_AS(kReadMessage, LogLevel::Warning,
                      "no firmware step waits for the DFU program; its end is ignored\n");
        return;
    }
    run.dfuAwaited = false;
    armAlarm(0);  // its time limit
    run.dfuEndStatus = status;
    // Stopped for its time, it failed whatever it says.
    update.stepState = status != 0 || run.dfuStopSignal != 0 ? STATE_DFU_FAILED : STATE_DFU_DONE;
    postWakeUp(WAKE_UP);
}

void stopDfuForExit() {
    if (!run.dfuAwaited) return;
    UPDATE_ERR(LogLevel::Critical, kErrorWriteOrEvent, " dfu stopped: the daemon stops\n");
    if (run.dfuStopSignal == 0) sendDfuSigterm();
    killChildGroupAt(update.dfuPid, run.dfuSigtermAtMs + std::int64_t{kDfuStopGraceSeconds} * 1000);
    run.dfuAwaited = false;
}

void forgetEarlierDfuReports() {
    for (const char* path : {kDfuStatusPath, kDfuErrorPath})
        removeWhateverStands(kStartUpdate, path);
}

void firmwareStep() {
    switch (update.stepState) {
        case STATE_ENTER:
            enterFirmwareStep();
            break;
        case STATE_ANSWER:
            writePresets(kNextPresetTimeout, true);
            break;
        case STATE_PRESETS_DONE:
            loadFirmwareOrEnd();
            break;
        case STATE_DFU_RUNNING:
            showDfuProgress();
            break;
        case STATE_TIMEOUT:
            takeTimeout();
            break;
        case STATE_DFU_FAILED:
            takeFailedLoad();
            break;
        case STATE_DFU_DONE:
            reopenAfterLoad();
            break;
        case STATE_LIST_END:
            endFirmwareStep();
            break;
        default:  // STATE_WAIT, STATE_DFU_STOPPING: the awaited event moves the step
            break;
    }
}
