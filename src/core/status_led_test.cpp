#include "core/status_led.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "core/log.h"
#include "sim/led_model.h"
#include "sim/sim_state.h"
#include "tests/support/board.h"

namespace {

// The clock ticks of a period in milliseconds on this machine, truncated: 1, 0 and 50 for
// 10, 9 and 505 ms at 100 ticks per second.
long ticksFor(std::int32_t period) {
    return static_cast<long>(static_cast<double>(period) *
                             static_cast<double>(sysconf(_SC_CLK_TCK)) / 1000.0);
}

TEST(StatusLed, BlinkingPeriodsInClockTicks) {
    std::string requests, report;
    for (std::int32_t period : {10, 9, 505}) {
        bool valid = ticksFor(period) >= 1;
        EXPECT_EQ(setStatusLed(period), valid ? 0 : -3) << period;
        if (valid) requests += "set-period " + std::to_string(ticksFor(period)) + "\nset-mode 1\n";
        if (!valid) report += "blinking period out of range! \n";
    }
    EXPECT_EQ(readWholeFile(simStatePath(kLedRequestsFile)), requests);
    EXPECT_EQ(readWholeFile(kUpdateReportPath), report);
    EXPECT_EQ(readWholeFile(simStatePath(kLedStateFile)),
              "state 2\nmode 1\nperiod " + std::to_string(ticksFor(505)) + "\n");
}

TEST(StatusLed, FailingPeriodSendsNoMode) {
    writeWholeFile(simStatePath(kLedFaultFile), "setperiod");
    EXPECT_EQ(setStatusLed(1000), -2);
    EXPECT_EQ(readWholeFile(simStatePath(kLedRequestsFile)),
              "set-period " + std::to_string(ticksFor(1000)) + " failed\n");
}

}  // namespace
