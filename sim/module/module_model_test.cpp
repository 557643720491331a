// The simulated module as the daemon sees it: through the platform's device calls.
#include "sim/module/module_model.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "sim/module/module_test_support.h"

namespace {

using ModuleModel = ModuleTest;

TEST_F(ModuleModel, KeysNotHeldAndUnknownCommandsGetErrorStatus) {
    int fd = openHci();
    EXPECT_EQ(askModule(fd, inCarrier(getRequest(0x0004))),
              inVendorEvent(answerMessage(0x0004, 0x0003, 40, 0x0007)));
    EXPECT_EQ(askModule(fd, hexBytes("01 01 10 00")), hexBytes("04 0e 04 01 01 10 01"));
    EXPECT_EQ(askModule(fd, hexBytes("01 00 fc 02 c3 00")), hexBytes("04 0e 04 01 00 fc 12"));
    // A read shorter than the event gets its first bytes; the rest is gone.
    Bytes get = inCarrier(getRequest(0x01a5));
    ASSERT_EQ(devWrite(fd, get.data(), get.size()), 101);
    Bytes head(6);
    EXPECT_EQ(devRead(fd, head.data(), head.size()), 6);
    EXPECT_EQ(head, hexBytes("04 ff 61 c2 01 00"));
    EXPECT_EQ(devRead(fd, head.data(), head.size()), -1);
    // Anything but one whole HCI command per write is refused.
    for (const char* bad : {"01 03 0c", "01 03 0c 01", "02 03 0c 00"}) {
        Bytes packet = hexBytes(bad);
        EXPECT_EQ(devWrite(fd, packet.data(), packet.size()), -1) << bad;
        EXPECT_EQ(errno, EINVAL);
    }
    devClose(fd);
}

TEST_F(ModuleModel, BccmdChannelNeedsTheDriverAndItsSetupInOrder) {
    EXPECT_EQ(devOpen(kModuleBccmdPath, O_RDWR | O_NONBLOCK), -1);
    EXPECT_EQ(errno, ENOENT);
    loadBcspDriver();
    int fd = devOpen(kModuleBccmdPath, O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    Bytes get = getRequest(0x01a5);
    EXPECT_EQ(devWrite(fd, get.data(), get.size()), -1);
    EXPECT_EQ(errno, ENOTCONN);
    int three = 3, wrong = 4, value1018 = 0x1018;
    struct Step {
        unsigned long code;
        void* arg;
        int error;  // 0: accepted
    };
    const Step steps[] = {
        {kBcspSetupRequests[1].code, &value1018, EINVAL},  // out of order
        {kBcspSetupRequests[0].code, &wrong, EINVAL},      // wrong value
        {kBcspSetupRequests[0].code, nullptr, EINVAL},     // no pointer
        {0x4004480A, &three, ENOTTY},                      // unknown request
        {kBcspSetupRequests[0].code, &three, 0},
        {kBcspSetupRequests[1].code, &value1018, 0},
        {kBcspSetupRequests[2].code, nullptr, 0},
        {kBcspSetupRequests[2].code, nullptr, EINVAL},  // repeated: back to the start
        {kBcspSetupRequests[0].code, &three, 0},
        {kBcspSetupRequests[1].code, &value1018, 0},
        {kBcspSetupRequests[2].code, nullptr, 0},
        {kBcspSetupRequests[3].code, nullptr, 0},
    };
    for (const Step& step : steps) {
        errno = 0;
        EXPECT_EQ(devIoctl(fd, step.code, step.arg), step.error == 0 ? 0 : -1);
        EXPECT_EQ(errno, step.error);
    }
    ASSERT_EQ(devWrite(fd, get.data(), get.size()), 96);
    pollfd entry{fd, POLLIN | POLLPRI, 0};
    ASSERT_EQ(devPoll(&entry, 1, 100, nullptr), 1);
    EXPECT_EQ(entry.revents, POLLIN);
    EXPECT_EQ(readAnswer(fd), answerMessage(0x01a5, 0, 1, 0x0007, {0x0001}));
    devClose(fd);
}

TEST_F(ModuleModel, HciDeviceIsSilentOnceTheModuleTalksBcsp) {
    for (bool startedInBcsp : {false, true}) {
        SCOPED_TRACE(startedInBcsp ? "started in BCSP mode" : "BCSP driver loaded");
        writeWholeFile(simStatePath(kInsmodLogFile), "");
        if (startedInBcsp) {
            writeWholeFile(simStatePath(kModuleModeFile), "bcsp\n");
        } else {
            loadBcspDriver();
        }
        int fd = openHci();
        EXPECT_TRUE(askModule(fd, hexBytes("01 03 0c 00"), 50).empty());
        devClose(fd);
        EXPECT_EQ(devOpen(kModuleBccmdPath, O_RDWR) >= 0, !startedInBcsp);
    }
    loadBcspDriver();
    int fd = openBccmdChannel();
    EXPECT_EQ(askModule(fd, getRequest(0x01a5)), answerMessage(0x01a5, 0, 1, 0x0007, {0x0001}));
    devClose(fd);
}

TEST_F(ModuleModel, ResetDropsTheAnswersNotYetRead) {
    loadBcspDriver();
    writeWholeFile(simStatePath(kModuleModeFile), "hci\n");
    int bccmd = openBccmdChannel();
    Bytes get = getRequest(0x01a5);
    ASSERT_EQ(devWrite(bccmd, get.data(), get.size()), 96);
    int reset = devOpen(kModuleResetPath, O_RDWR);
    ASSERT_GE(reset, 0);
    EXPECT_EQ(devIoctl(reset, kModuleResetRequest, nullptr), 0);
    EXPECT_EQ(devIoctl(reset, _IO('E', 3), nullptr), -1);
    EXPECT_EQ(errno, ENOTTY);
    devClose(reset);
    EXPECT_TRUE(readAnswer(bccmd, 20).empty());
    EXPECT_EQ(askModule(bccmd, get), answerMessage(0x01a5, 0, 1, 0x0007, {0x0001}));
    devClose(bccmd);
}

}  // namespace
