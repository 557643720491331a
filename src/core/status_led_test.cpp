#include "core/status_led.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "core/log.h"
#include "sim/led_model.h"
#include "sim/sim_state.h"
#include "tests/support/board.h"

namespace {

std::string requests() { return readWholeFile(simStatePath(kLedRequestsFile)); }
std::string ledState() { return readWholeFile(simStatePath(kLedStateFile)); }
void setFault(const char* fault) { writeWholeFile(simStatePath(kLedFaultFile), fault); }

// The clock ticks of a period in milliseconds on this machine, truncated: 1, 0 and 50 for
// 10, 9 and 505 ms at 100 ticks per second.
long ticksFor(std::int32_t period) {
    return static_cast<long>(static_cast<double>(period) *
                             static_cast<double>(sysconf(_SC_CLK_TCK)) / 1000.0);
}

#if defined(__powerpc__)
TEST(StatusLed, RequestValuesOfTheBoard) {
    EXPECT_EQ(LED_GET_STATE, 0x40044C01UL);
    EXPECT_EQ(LED_SET_MODE, 0x40044C02UL);
    EXPECT_EQ(LED_SET_PERIOD, 0x40044C03UL);
}
#endif

TEST(StatusLed, FixedModes) {
    EXPECT_EQ(setStatusLed(-1), 0);
    EXPECT_EQ(ledState(), "state 1\nmode 2\nperiod 0\n");
    EXPECT_EQ(setStatusLed(0), 0);
    EXPECT_EQ(ledState(), "state 0\nmode 0\nperiod 0\n");
    EXPECT_EQ(requests(), "set-mode 2\nset-mode 0\n");
}

TEST(StatusLed, BlinkingPeriodsInClockTicks) {
    for (std::int32_t period : {10, 9, 505, -1000}) {
        SCOPED_TRACE(period);
        std::remove(simStatePath(kLedRequestsFile).c_str());
        std::remove(kUpdateReportPath);
        bool valid = ticksFor(period) >= 1;
        EXPECT_EQ(setStatusLed(period), valid ? 0 : -3);
        EXPECT_EQ(requests(),
                  valid ? "set-period " + std::to_string(ticksFor(period)) + "\nset-mode 1\n" : "");
        EXPECT_EQ(readWholeFile(kUpdateReportPath),
                  valid ? "" : "blinking period out of range! \n");
    }
    // The last period set, 505 ms, stays.
    EXPECT_EQ(ledState(), "state 2\nmode 1\nperiod " + std::to_string(ticksFor(505)) + "\n");
}

TEST(StatusLed, FailingRequestGivesMinusTwo) {
    setFault("setperiod");
    EXPECT_EQ(setStatusLed(1000), -2);  // and sends no mode
    setFault("setmode");
    EXPECT_EQ(setStatusLed(1000), -2);
    EXPECT_EQ(setStatusLed(-1), -2);
    const std::string ticks = std::to_string(ticksFor(1000));
    EXPECT_EQ(requests(), "set-period " + ticks + " failed\nset-period " + ticks +
                              "\nset-mode 1 failed\nset-mode 2 failed\n");
}

TEST(StatusLed, ReadsTheState) {
    writeWholeFile(simStatePath(kLedStateFile), "state 2\nmode 1\nperiod 50\n");
    std::int32_t state = -1;
    EXPECT_EQ(getStatusled(&state), 0);
    EXPECT_EQ(state, 2);
    setFault("getstate");
    EXPECT_EQ(getStatusled(&state), -2);
    EXPECT_EQ(requests(), "get-state\nget-state failed\n");
    setFault("missing");
    state = 5;
    EXPECT_EQ(getStatusled(&state), -1);
    EXPECT_EQ(setStatusLed(-1), -1);
    EXPECT_EQ(state, 5);
    EXPECT_EQ(readWholeFile(kUpdateReportPath), "Can't open LED device!\nCan't open LED device!\n");
}

}  // namespace
