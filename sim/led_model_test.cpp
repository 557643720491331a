#include "sim/led_model.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "core/platform.h"
#include "sim/sim_state.h"
#include "tests/support/board.h"

namespace {

std::string ledFile() { return readWholeFile(simStatePath(kLedStateFile)); }
std::string requests() { return readWholeFile(simStatePath(kLedRequestsFile)); }

TEST(LedModel, ModesSetTheStateAndAreJournalled) {
    int fd = devOpen(kLedModelPath, O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(devIoctl(fd, kLedModelSetMode, ioctlValue(2)), 0);
    EXPECT_EQ(ledFile(), "state 1\nmode 2\nperiod 0\n");
    EXPECT_EQ(devIoctl(fd, kLedModelSetPeriod, ioctlValue(50)), 0);
    EXPECT_EQ(devIoctl(fd, kLedModelSetMode, ioctlValue(1)), 0);
    EXPECT_EQ(ledFile(), "state 2\nmode 1\nperiod 50\n");
    int state = -1;
    EXPECT_EQ(devIoctl(fd, kLedModelGetState, &state), 0);
    EXPECT_EQ(state, kLedStateBlinking);
    EXPECT_EQ(devIoctl(fd, kLedModelSetMode, ioctlValue(0)), 0);
    EXPECT_EQ(ledFile(), "state 0\nmode 0\nperiod 50\n");
    EXPECT_EQ(devClose(fd), 0);
    EXPECT_EQ(requests(), "set-mode 2\nset-period 50\nset-mode 1\nget-state\nset-mode 0\n");
}

TEST(LedModel, StateComesFromTheFileATestWrote) {
    writeWholeFile(simStatePath(kLedStateFile), "state 7\nmode 1\nperiod 3\n");
    int fd = devOpen(kLedModelPath, O_RDWR);
    int state = 0;
    EXPECT_EQ(devIoctl(fd, kLedModelGetState, &state), 0);
    EXPECT_EQ(state, 7);
    devClose(fd);
}

TEST(LedModel, InvalidValuesAndUnknownRequestsAreRefused) {
    int fd = devOpen(kLedModelPath, O_RDWR);
    errno = 0;
    EXPECT_EQ(devIoctl(fd, kLedModelSetMode, ioctlValue(3)), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(devIoctl(fd, kLedModelSetPeriod, ioctlValue(0)), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(devIoctl(fd, kLedModelSetPeriod, ioctlValue(-4)), -1);
    EXPECT_EQ(devIoctl(fd, 0x40044C04, ioctlValue(1)), -1);
    EXPECT_EQ(errno, ENOTTY);
    devClose(fd);
    EXPECT_EQ(requests(), "set-mode 3 failed\nset-period 0 failed\nset-period -4 failed\n");
    EXPECT_FALSE(fileExists(simStatePath(kLedStateFile)));
}

TEST(LedModel, FaultsStrikeTheirRequest) {
    writeWholeFile(simStatePath(kLedFaultFile), "missing\n");
    errno = 0;
    EXPECT_EQ(devOpen(kLedModelPath, O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);

    writeWholeFile(simStatePath(kLedFaultFile), "setperiod\n");
    int fd = devOpen(kLedModelPath, O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(devIoctl(fd, kLedModelSetPeriod, ioctlValue(5)), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(devIoctl(fd, kLedModelSetMode, ioctlValue(1)), 0);

    writeWholeFile(simStatePath(kLedFaultFile), "setmode\n");
    EXPECT_EQ(devIoctl(fd, kLedModelSetMode, ioctlValue(1)), -1);

    writeWholeFile(simStatePath(kLedFaultFile), "getstate\n");
    int state = 0;
    EXPECT_EQ(devIoctl(fd, kLedModelGetState, &state), -1);
    devClose(fd);
    EXPECT_EQ(requests(), "set-period 5 failed\nset-mode 1\nset-mode 1 failed\nget-state failed\n");
}

}  // namespace
