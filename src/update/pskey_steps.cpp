// The PS-Key steps: BT_MOD_SET_READ reads the module's keys into the dump, BT_MOD_SET_COMP
// compares the update's keys with it, BT_MOD_SET_NEW_WRITE writes the keys that differ and
// BT_MOD_SET_ALL_WRITE writes all of the update's keys with a percentage in the report.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "btlink/module_answers.h"
#include "btlink/module_commands.h"
#include "btlink/module_link.h"
#include "btlink/pskey_files.h"
#include "btlink/pskey_walks.h"
#include "core/ai_socket.h"
#include "core/clock.h"
#include "core/error_codes.h"
#include "core/file_util.h"
#include "core/log.h"
#include "core/report_progress.h"
#include "core/report_words.h"
#include "core/work_files.h"
#include "update/module_steps.h"
#include "update/operation_names.h"
#include "update/step_actions.h"
#include "update/update_state.h"

namespace {

// The steps' private sub-state: reset the module and open its link.
enum PsKeyStepState : std::int32_t { STATE_OPEN_LINK = kFirstPrivateState };
static_assert(clearOfSharedStates(STATE_OPEN_LINK));

constexpr unsigned kReadOpenTimeout = 15;
constexpr unsigned kReadKeyTimeout = 10;
constexpr unsigned kNewWriteOpenTimeout = 10;
constexpr unsigned kNewWriteKeyTimeout = 5;
constexpr unsigned kAllWriteOpenTimeout = 30;
constexpr unsigned kAllWriteKeyTimeout = 20;

void sendHciReset() { sendHCICmd(0, kHciResetOpcodeLow, kHciResetOpcodeHigh, nullptr); }

// Resets the module, opens the link and starts the step's exchange: on the HCI device with the
// HCI Reset, whose answer brings the first walk request; on the BCCMD channel, which carries
// no HCI events, with the walk itself. Nothing when the failed set-up has ended the step.
void openLinkAndStart(unsigned timeout, void (*walk)()) {
    armAlarm(timeout);
    resetBtModule();
    if (openModuleLink() == LINK_SETUP_FAILED) return;
    update.stepState = STATE_WAIT;
    if (tlInterface == TL_BCSP) {
        walk();
    } else {
        sendHciReset();
    }
}

// A write walk ends its step " NOK" when it refused key lines of its file, or when the module
// refused or garbled an answer: its keys are then not what the update brings.
void endWriteStep() {
    openBtModule(0);
    logRefusedKeys();
    endStep(refusedPsKeyLines() == 0 && refusedAnswers() == 0 && malformedAnswers() == 0);
}

// The dump holds what the module gave only when every key came whole and was written, and the
// module gave at least one: a module that holds no key at all (or answers every get with a
// status) leaves nothing that can be compared. A get answered with a status is a key not held:
// its key, if the update brings it, goes to the keys to set.
bool dumpIsTheStore() {
    if (dumpedKeys() == 0) {
        UPDATE_ERR_AS(kStateMachine, LogLevel::Warning, kErrorOperationFailed,
                      "no PS-Key read from the module \n");
    }
    return dumpedKeys() > 0 && refusedAnswers() == 0 && malformedAnswers() == 0 &&
           failedDumpWrites() == 0;
}

// Set by a comparison that failed: the keys that differ are unknown, and the write step must
// not take a missing list for "nothing to do". Forgotten when an update starts.
bool comparisonFailed = false;

// Only a read that ended OK in this update gives a dump that tells what the module holds; a
// partial one, or one an earlier update left, does not.
bool thisUpdatesReadWhole = false;

// False, logged, when the step's judgement would rest on a dump this update didn't read whole.
bool haveThisUpdatesDump() {
    if (thisUpdatesReadWhole) return true;
    UPDATE_ERR_AS(kStateMachine, LogLevel::Critical, kErrorOperationFailed,
                  "no PS-Key dump from this update's read \n");
    return false;
}

void readNextKey() {
    armAlarm(kReadKeyTimeout);
    update.stepState = STATE_WAIT;
    takeWalkResult(readAllPSKeys());
}

void writeNextChangedKey() {
    armAlarm(kNewWriteKeyTimeout);
    update.stepState = STATE_WAIT;
    takeWalkResult(writeAllPSKeys(kPsKeyToSetPath));
}

// The share of the keys under way before this round's key, truncated, at most 100.
int percentOfKeysWritten() {
    if (update.psKeyCount <= 0) return update.psKeysWritten == 0 ? 0 : 100;
    int percent = static_cast<int>(static_cast<double>(update.psKeysWritten) /
                                   static_cast<double>(update.psKeyCount) * 100.0);
    return percent > 100 ? 100 : percent;
}

void writeNextKeyOfAll() {
    int percent = percentOfKeysWritten();
    UPDATE_LOG_AS(kStateMachine, LogLevel::Warning,
                  "writing  %04d PS Key; missing %08d Keys; %3d%%\r", update.psKeysWritten,
                  update.psKeyCount - update.psKeysWritten, percent);
    ++update.psKeysWritten;
    showPercent(percent);
    armAlarm(kAllWriteKeyTimeout);
    update.stepState = STATE_WAIT;
    takeWalkResult(writeAllPSKeys(kPsKeyPreparedPath));
}

// The update's keys without their comments. False (logged) when the update's file holds no
// key line, or the prepared file couldn't be written whole: the step then has nothing true to
// work with.
bool prepareUpdateKeys() {
    // The prepared file is made by its first line, by the daemon alone.
    if (!removeWhateverStands(kStateMachine, kPsKeyPreparedPath)) return false;
    {
        // A key file that isn't there says so by its open error alone.
        FileStream source(openFileStream(kPsKeyUpdatePath, "r"));
        if (!source) return false;
    }
    if (countPrefixedLines(kPsKeyUpdatePath, "&") == 0) {
        UPDATE_ERR_AS(kStateMachine, LogLevel::Critical, kErrorOperationFailed,
                      "PS-Key file %s refused: no key line in it \n", kPsKeyUpdatePath);
        return false;
    }
    if (preparePSKeyFile(kPsKeyUpdatePath, kPsKeyPreparedPath) != 1) return false;
    struct stat prepared {};
    if (!ownFileAt(kPsKeyPreparedPath) || stat(kPsKeyPreparedPath, &prepared) != 0 ||
        prepared.st_size == 0) {
        UPDATE_ERR_AS(kStateMachine, LogLevel::Critical, kErrorOperationFailed, "%s left empty \n",
                      kPsKeyPreparedPath);
        return false;
    }
    return true;
}

// A step that fails before it reaches the module: a link that an earlier step left open is
// closed all the same.
void failBeforeTheModule() {
    if (moduleLinkDescriptor() >= 0) openBtModule(0);
    endStep(false);
}

// The dump is made read-only for all, through a descriptor: chmod by name would follow a link
// that somebody put in place of a dump that was never made.
void makeDumpReadOnly() {
    int fd = openOwnFile(kStateMachine, kPsKeyDumpPath, O_RDONLY);
    if (fd < 0) return;
    fchmod(fd, 0444);
    close(fd);
}

void endReadStep() {
    openBtModule(0);
    makeDumpReadOnly();
    logUnheldStatuses();
    bool whole = dumpIsTheStore();
    thisUpdatesReadWhole = whole;
    endStep(whole);
}

void endWriteAllStep() {
    showPercent(100);
    std::printf("\n");
    std::fflush(stdout);
    endWriteStep();
}

// The states that the PS-Key steps' walks share once a step is entered: the link opened and
// the walk started, a key at each answer, the walk's end, and the module's failure.
struct Walk {
    unsigned openTimeout;
    void (*nextKey)();
    void (*ended)();
};

void runWalk(const Walk& walk) {
    switch (update.stepState) {
        case STATE_OPEN_LINK:
            openLinkAndStart(walk.openTimeout, walk.nextKey);
            break;
        case STATE_ANSWER:
            walk.nextKey();
            break;
        case STATE_LIST_END:
            walk.ended();
            break;
        case STATE_TIMEOUT:
        case STATE_REFUSED:
            failModuleStep();
            break;
        default:
            break;
    }
}

}  // namespace

void readPsKeysStep() {
    if (update.stepState == STATE_ENTER) {
        // Until it ends OK, this read leaves no dump that a later step may judge.
        thisUpdatesReadWhole = false;
        update.stepState = STATE_OPEN_LINK;
        postWakeUp(WAKE_UP);
        return;
    }
    // The dump is made by its first key, by the daemon alone.
    if (update.stepState == STATE_OPEN_LINK &&
        !removeWhateverStands(kStateMachine, kPsKeyDumpPath)) {
        failBeforeTheModule();
        return;
    }
    runWalk({kReadOpenTimeout, readNextKey, endReadStep});
}

void comparePsKeysStep() {
    // The comparison's files are made by their first lines, by the daemon alone.
    bool prepared = removeWhateverStands(kStateMachine, kPsKeyReportPath) &&
                    removeWhateverStands(kStateMachine, kPsKeyToSetPath) && prepareUpdateKeys();
    // Without a comparison the keys that differ are unknown: the write step would find
    // nothing to do and the update would pass for complete.
    comparisonFailed = !prepared || !haveThisUpdatesDump() ||
                       comparePSKeyFiles(kPsKeyPreparedPath, kPsKeyDumpPath) != 1;
    endStep(!comparisonFailed);
}

void writeChangedPsKeysStep() {
    if (update.stepState != STATE_ENTER) {
        runWalk({kNewWriteOpenTimeout, writeNextChangedKey, endWriteStep});
        return;
    }
    if (!haveThisUpdatesDump()) {
        endStep(false);
        return;
    }
    if (comparisonFailed) {
        UPDATE_ERR_AS(kStateMachine, LogLevel::Critical, kErrorOperationFailed,
                      "PS-Keys to set unknown, the comparison failed \n");
        endStep(false);
        return;
    }
    // Only the comparison's own list is written to the module; anything else at its name is
    // refused, and the step with it.
    int toSet = openOwnFile(kStateMachine, kPsKeyToSetPath, O_RDONLY);
    if (toSet < 0 && errno == ENOENT) {
        startNextStep(kNothingToDoOk);
        return;
    }
    if (toSet < 0) {
        endStep(false);
        return;
    }
    close(toSet);
    update.stepState = STATE_OPEN_LINK;
    postWakeUp(WAKE_UP);
}

void writeAllPsKeysStep() {
    if (update.stepState != STATE_ENTER) {
        // (On the BCCMD channel the link is opened without the HCI Reset, as the firmware
        // step opens it, and the walk starts at once.)
        runWalk({kAllWriteOpenTimeout, writeNextKeyOfAll, endWriteAllStep});
        return;
    }
    // Writing every key needs no dump, and a read that failed is no reason to keep the old
    // keys: a module that starts on BCSP never answers the read over HCI, and only this step
    // gives it the update's keys.
    // After a firmware load in this update the module runs BCSP and the firmware step has left
    // its link open; without that link (an update without the firmware step) the step opens
    // the BCCMD channel itself.
    update.stepState = tlInterface == TL_BCSP && moduleLinkDescriptor() >= 0
                           ? std::int32_t{STATE_ANSWER}
                           : std::int32_t{STATE_OPEN_LINK};
    update.psKeysWritten = 0;
    startPercent(0);
    if (!prepareUpdateKeys()) {
        failBeforeTheModule();
        return;
    }
    update.psKeyCount = countPrefixedLines(kPsKeyUpdatePath, "&");
    std::printf("%d PS-Keys to write\n", static_cast<int>(update.psKeyCount));
    std::fflush(stdout);
    postWakeUp(WAKE_UP);
}

void forgetEarlierPsKeyWork() {
    for (const char* path : {kPsKeyDumpPath, kPsKeyPreparedPath, kPsKeyReportPath, kPsKeyToSetPath})
        removeWhateverStands(kStartUpdate, path);
    comparisonFailed = false;
    thisUpdatesReadWhole = false;
}
