#include "update/module_steps.h"

#include <poll.h>
#include <unistd.h>

#include "btlink/module_answers.h"
#include "btlink/module_link.h"
#include "core/ai_socket.h"
#include "core/clock.h"
#include "update/update_state.h"

int openModuleLink() {
    int result = openBtModule(1);
    if (result == LINK_SETUP_FAILED) {
        // The step can't go on without its link; a step that ends " NOK" fails the update.
        endStep(false);
    }
    return result;
}

void takeWalkResult(PsKeyWalkResult result) {
    if (result == WALK_LIST_END) {
        update.stepState = STATE_LIST_END;
        postWakeUp(WAKE_UP);
    } else if (result == WALK_PRESETS_DONE) {
        update.stepState = STATE_PRESETS_DONE;
        postWakeUp(WAKE_UP);
    }
}

void moduleDataReady(short events) {
    ModuleAnswer answer = MODULE_NO_ANSWER;
    if ((events & POLLIN) && (events & POLLPRI)) {
        answer = readBtModule();
    } else if (events & POLLIN) {
        answer = readBtModuleBccmdChannel();
    }
    if (answer == MODULE_ANSWERED) update.stepState = STATE_ANSWER;
    if (answer == MODULE_REFUSED) update.stepState = STATE_REFUSED;
}

void failModuleStep() {
    armAlarm(0);
    openBtModule(0);
    endStep(false);
}
