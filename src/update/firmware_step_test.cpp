#include "update/firmware_step.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/daemon_socket.h"
#include "update/step_actions.h"
#include "update/update_state.h"

namespace {

class DfuEnd : public DaemonSocketTest {};

// The end of a DFU child that no firmware step waits for (a report that comes late, another
// step under way) moves nothing: the step's state stays, and no wake-up runs it.
TEST_F(DfuEnd, ThatNoStepWaitsForMovesNothing) {
    for (std::int32_t step : {STEP_NONE, STEP_BT_MOD_SET_FIRM_STACK, STEP_LAP_SOFTWARE}) {
        update.currentStep = step;
        update.stepState = STATE_WAIT;
        testing::internal::CaptureStderr();
        dfuEnded(256);
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_NE(log.find("no firmware step waits for the DFU program; its end is ignored\n"),
                  std::string::npos)
            << log;
        EXPECT_EQ(update.stepState, STATE_WAIT) << step;
        EXPECT_TRUE(ownQueue().empty()) << step;
    }
}

}  // namespace
