#include "update/update_state.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/ai_socket.h"
#include "core/log.h"
#include "tests/support/board.h"
#include "tests/support/daemon_socket.h"

namespace {

// startNextStep posts its wake-ups to the daemon's own socket; they are counted here.
class StartNextStep : public DaemonSocketTest {
protected:
    std::string enter(const char* text) {
        testing::internal::CaptureStdout();
        startNextStep(text);
        return testing::internal::GetCapturedStdout();
    }

    static int wakeUps() { return static_cast<int>(ownQueue().size()); }
};

TEST_F(StartNextStep, EmptyListEndsTheUpdateAtOnce) {
    setStepList({});
    update.currentStep = STEP_PPCBOOT;
    update.stepState = STATE_WAIT;
    EXPECT_EQ(enter(""), "states to do: \n");
    EXPECT_EQ(readWholeFile(kUpdateReportPath), "") << "nothing but the empty text was appended";
    EXPECT_EQ(update.currentStep, STEP_NONE);
    EXPECT_EQ(update.stepState, STATE_ENTER);
    EXPECT_EQ(wakeUps(), 1);
}

TEST_F(StartNextStep, StepsOfCurrentComponentsAreSkipped) {
    for (ComponentVersion& component : componentTable) component.needsUpdate = 0;
    setStepList({1, 4, 5, 6, 7, 8, 9, 10});
    enter("");
    EXPECT_EQ(update.currentStep, STEP_CHECK_VERSIONS);
    EXPECT_EQ(wakeUps(), 1);
    std::string out = enter("\n");  // the version check's end
    EXPECT_EQ(update.currentStep, STEP_PPCBOOT);
    EXPECT_EQ(wakeUps(), 7) << "six skipped steps and the step entered";
    EXPECT_EQ(readWholeFile(kUpdateReportPath),
              "Version Check:         started ... \n"
              "Write diff. PS-Keys:   started ... nothing to do ... OK\n"
              "Write all PS-Keys:     started ... nothing to do ... OK\n"
              "Update Parlo Firmware: started ... nothing to do ... OK\n"
              "Update qvl Software:   started ... nothing to do ... OK\n"
              "Check SDP records  :   started ... nothing to do ... OK\n"
              "Remove DFU upload:     started ... nothing to do ... OK\n"
              "Update PPCBOOT:        started ... ");
    const std::string firstSkip =
        "states to do: 4 5 6 7 8 9 10 \n"
        "Write diff. PS-Keys:   started ... nothing to do ... \n"
        "states to do: 5 6 7 8 9 10 \n";
    EXPECT_EQ(out.substr(0, firstSkip.size()), firstSkip);
}

TEST_F(StartNextStep, LastStepSkippedEndsTheList) {
    componentTable[2].needsUpdate = 0;  // LAP software current
    setStepList({STEP_LAP_SOFTWARE});
    enter("");
    EXPECT_EQ(readWholeFile(kUpdateReportPath),
              "Update qvl Software:   started ... nothing to do ... OK\n");
    EXPECT_EQ(update.currentStep, STEP_NONE);
    EXPECT_EQ(wakeUps(), 2);
}

TEST_F(StartNextStep, StrayCallAfterTheEndDoesNotReadPastTheList) {
    setStepList({STEP_PPCBOOT, STEP_NONE, STEP_LAP_SOFTWARE});  // stale entry after the end
    enter("");
    enter("Nothing Done\n");
    EXPECT_EQ(update.currentStep, STEP_NONE);
    enter("");
    EXPECT_EQ(update.currentStep, STEP_NONE);
}

TEST_F(StartNextStep, FullListRunsTwentySteps) {
    setStepList(std::vector<std::int32_t>(kMaxListedSteps, STEP_PPCBOOT));
    int entered = 0;
    enter("");
    while (update.currentStep != STEP_NONE) {
        ++entered;
        enter("Nothing Done\n");
    }
    EXPECT_EQ(entered, 20);
}

}  // namespace
