#include "core/status_led.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <regex>
#include <string>

#include "core/log.h"
#include "sim/led_model.h"
#include "sim/sim_state.h"
#include "tests/support/board.h"

namespace {

std::string logged(const std::string& out) {
    static const std::regex prefix(
        R"(UPDATE_(LOG|ERR)-0\.1\.0 \d\d:\d\d:\d\d\.\d\d\d: src/update_process (\w+) line: \d+: )");
    return std::regex_replace(out, prefix, "$1 $2: ");
}

std::string requests() { return readWholeFile(simStatePath(kLedRequestsFile)); }

void setFault(const char* fault) { writeWholeFile(simStatePath(kLedFaultFile), fault); }

// The tick count that a period in milliseconds gives on this machine, truncated.
long ticksFor(std::int32_t period) {
    return static_cast<long>(static_cast<double>(period) *
                             static_cast<double>(sysconf(_SC_CLK_TCK)) / 1000.0);
}

TEST(StatusLed, RequestsAreReadRequestsOfTypeL) {
    const unsigned long requests[] = {LED_GET_STATE, LED_SET_MODE, LED_SET_PERIOD};
    for (unsigned nr = 1; nr <= 3; ++nr) {
        unsigned long request = requests[nr - 1];
        EXPECT_EQ(_IOC_TYPE(request), unsigned{'L'});
        EXPECT_EQ(_IOC_NR(request), nr);
        EXPECT_EQ(_IOC_SIZE(request), sizeof(int));
        EXPECT_EQ(_IOC_DIR(request), unsigned{_IOC_READ});
    }
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
    EXPECT_EQ(readWholeFile(simStatePath(kLedStateFile)), "state 1\nmode 2\nperiod 0\n");
    EXPECT_EQ(setStatusLed(0), 0);
    EXPECT_EQ(readWholeFile(simStatePath(kLedStateFile)), "state 0\nmode 0\nperiod 0\n");
    EXPECT_EQ(requests(), "set-mode 2\nset-mode 0\n");
}

TEST(StatusLed, BlinkingPeriodsInClockTicks) {
    // 10, 9 and 505 ms at 100 ticks per second: 1 tick, 0 ticks (refused), 50 ticks.
    for (std::int32_t period : {10, 9, 505, 1000, -2, -1000}) {
        SCOPED_TRACE(period);
        writeWholeFile(simStatePath(kLedRequestsFile), "");
        long ticks = ticksFor(period);
        testing::internal::CaptureStderr();
        std::int32_t result = setStatusLed(period);
        std::string out = logged(testing::internal::GetCapturedStderr());
        if (ticks >= 1) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(out, "");
            EXPECT_EQ(requests(), "set-period " + std::to_string(ticks) + "\nset-mode 1\n");
        } else {
            EXPECT_EQ(result, -3);
            EXPECT_EQ(out, "ERR setStatusLed: blinking period out of range! \n");
            EXPECT_EQ(requests(), "");
        }
    }
}

TEST(StatusLed, TicksAtOneHundredPerSecond) {
    if (sysconf(_SC_CLK_TCK) != 100) GTEST_SKIP() << "clock ticks per second aren't 100 here";
    EXPECT_EQ(setStatusLed(10), 0);
    EXPECT_EQ(setStatusLed(9), -3);
    EXPECT_EQ(setStatusLed(505), 0);
    EXPECT_EQ(requests(), "set-period 1\nset-mode 1\nset-period 50\nset-mode 1\n");
    EXPECT_EQ(readWholeFile(simStatePath(kLedStateFile)), "state 2\nmode 1\nperiod 50\n");
}

TEST(StatusLed, FailingPeriodRequestSendsNoMode) {
    setFault("setperiod");
    EXPECT_EQ(setStatusLed(1000), -2);
    EXPECT_EQ(requests(), "set-period " + std::to_string(ticksFor(1000)) + " failed\n");
}

TEST(StatusLed, FailingModeRequest) {
    setFault("setmode");
    EXPECT_EQ(setStatusLed(-1), -2);
    EXPECT_EQ(setStatusLed(0), -2);
    EXPECT_EQ(setStatusLed(1000), -2);
    EXPECT_EQ(requests(), "set-mode 2 failed\nset-mode 0 failed\nset-period " +
                              std::to_string(ticksFor(1000)) + "\nset-mode 1 failed\n");
}

TEST(StatusLed, MissingDevice) {
    setFault("missing");
    testing::internal::CaptureStderr();
    EXPECT_EQ(setStatusLed(-1), -1);
    std::int32_t state = 5;
    EXPECT_EQ(getStatusled(&state), -1);
    std::string out = logged(testing::internal::GetCapturedStderr());
    EXPECT_EQ(
        out,
        "ERR setStatusLed: Can't open LED device!\nERR getStatusled: Can't open LED device!\n");
    EXPECT_EQ(state, 5);
    EXPECT_EQ(readWholeFile(kUpdateReportPath), "Can't open LED device!\nCan't open LED device!\n");
}

TEST(StatusLed, ReadsTheState) {
    writeWholeFile(simStatePath(kLedStateFile), "state 2\nmode 1\nperiod 50\n");
    std::int32_t state = -1;
    EXPECT_EQ(getStatusled(&state), 0);
    EXPECT_EQ(state, 2);
    setFault("getstate");
    EXPECT_EQ(getStatusled(&state), -2);
    EXPECT_EQ(requests(), "get-state\nget-state failed\n");
}

}  // namespace
