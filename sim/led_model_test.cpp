// The simulated LED through the platform's device calls. Its modes, states and faults show in
// the status LED's own tests.
#include "sim/led_model.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <utility>

#include "core/platform.h"
#include "sim/sim_state.h"
#include "tests/support/board.h"

namespace {

TEST(LedModel, InvalidValuesAndUnknownRequestsAreRefused) {
    int fd = devOpen(kLedModelPath, O_RDWR);
    const std::pair<unsigned long, long> cases[] = {
        {kLedModelSetMode, 3}, {kLedModelSetPeriod, 0}, {kLedModelSetPeriod, -4}, {0x40044C04, 1}};
    for (auto [request, value] : cases) {
        errno = 0;
        EXPECT_EQ(devIoctl(fd, request, ioctlValue(value)), -1);
        EXPECT_EQ(errno, request == 0x40044C04UL ? ENOTTY : EINVAL);
    }
    devClose(fd);
    EXPECT_EQ(readWholeFile(simStatePath(kLedRequestsFile)),
              "set-mode 3 failed\nset-period 0 failed\nset-period -4 failed\n");
    EXPECT_FALSE(fileExists(simStatePath(kLedStateFile)));
}

}  // namespace
