#include "update/update_state.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "btlink/module_answers.h"
#include "btlink/pskey_walks.h"
#include "core/ai_socket.h"
#include "core/clock.h"
#include "core/file_util.h"
#include "core/log.h"
#include "core/report_words.h"
#include "core/signals.h"

std::array<ComponentVersion, 4> componentTable = kInitialComponentTable;
UpdateState update;

namespace {

const UpdateStep* findStep(std::int32_t id) {
    for (const UpdateStep& step : stepTable) {
        if (step.keyword != nullptr && step.id == id) return &step;
    }
    return nullptr;
}

// A step of a component that the version check found current has nothing to do.
bool componentIsCurrent(std::int32_t kind) {
    if (kind == COMPONENT_NONE) return false;
    for (const ComponentVersion& component : componentTable) {
        if (component.keyword == nullptr) break;
        if (component.kind == kind) return component.needsUpdate == 0;
    }
    return false;
}

}  // namespace

const UpdateStep* stepNamedAtStart(const char* line) {
    for (const UpdateStep& step : stepTable) {
        if (step.keyword == nullptr) break;
        if (std::strncmp(line, step.keyword, std::strlen(step.keyword)) == 0) return &step;
    }
    return nullptr;
}

void startNextStep(const char* text) {
    // A skipped step enters the next one through a call of its own; the loop stands for that
    // recursion, with the same output and one wake-up per entered step.
    // A signal that came during the step's own work takes effect first, where it came: the
    // time-out of the ending step stays that step's, before the alarm is cancelled.
    applyPendingSignals();
    // A walk the ending step left unfinished never goes on in the next step, nor do the
    // answers it had count there.
    resetPsKeyWalks();
    resetAnswerCounts();
    for (;;) {
        armAlarm(0);
        appendText(kUpdateReportPath, text);

        std::printf("states to do: ");
        const auto& list = update.stepList;
        for (std::size_t i = update.stepListNext; i < list.size() && list[i] != STEP_NONE; ++i)
            std::printf("%d ", static_cast<int>(list[i]));
        std::printf("\n");

        std::int32_t next =
            update.stepListNext < list.size() ? list[update.stepListNext] : STEP_NONE;
        bool skipped = false;
        if (const UpdateStep* step = findStep(next)) {
            char line[80];
            std::snprintf(line, sizeof line, kStepLineFormat, step->label);
            if (componentIsCurrent(step->kind)) {
                std::strncat(line, kNothingToDo, sizeof line - std::strlen(line) - 1);
                skipped = true;
            }
            std::printf("%s\n", line);
            appendText(kUpdateReportPath, line);
        }
        std::fflush(stdout);

        update.currentStep = next;
        // The terminator stays the next entry: a stray later call finds the list ended.
        if (next != STEP_NONE) ++update.stepListNext;
        update.stepState = STATE_ENTER;
        postWakeUp(WAKE_UP);
        if (!skipped) return;
        text = kStepOk;
    }
}

void endStep(bool succeeded) {
    if (!succeeded) update.updateResult = 0;
    startNextStep(succeeded ? kStepOk : kStepNok);
}

void resetUpdateOutcome() {
    update.updateResult = 1;
    forgetImageTrust();
    update.stagedKeySet.reset();
    update.stagedKeySetVersion = 0;
    for (ComponentVersion& component : componentTable) component.needsUpdate = 1;
}

void forgetImageTrust() {
    update.trust = ImageTrust::None;
    update.securityVersion = 0;
}
