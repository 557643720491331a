// The simulated module as the daemon sees it: through the platform's device calls.
#include "sim/module/module_model.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>

#include "sim/module/module_test_support.h"
#include "sim/module/ps_store.h"

namespace {

using ModuleModel = ModuleTest;

TEST_F(ModuleModel, ResetAndGetOfAHeldKeyGiveTheirExactAnswers) {
    int fd = openHci();
    ASSERT_GE(fd, 0);
    Bytes reset = hexBytes("01 03 0c 00");
    ASSERT_EQ(devWrite(fd, reset.data(), reset.size()), 4);
    pollfd entry{fd, POLLIN | POLLPRI, 0};
    ASSERT_EQ(devPoll(&entry, 1, 0, nullptr), 1);
    EXPECT_EQ(entry.revents, POLLIN | POLLPRI);
    EXPECT_EQ(readAnswer(fd), hexBytes("04 0e 04 01 03 0c 00"));
    Bytes nothing(258);
    EXPECT_EQ(devRead(fd, nothing.data(), nothing.size()), -1);
    EXPECT_EQ(errno, EAGAIN);

    // The daemon's get request for 0x01a5, byte for byte; the default store holds 0x0001.
    Bytes get = joined(hexBytes("01 00 fc 61 c2 00 00 30 00 a5 0f 03 70 00 00 a5 01 28 00 07 00"),
                       Bytes(80, 0));
    Bytes answer = joined(hexBytes("04 ff 61 c2 01 00 30 00 a5 0f 03 70 00 00 a5 01 01 00 07 00"
                                   " 01 00"),
                          Bytes(78, 0));
    EXPECT_EQ(askModule(fd, get), answer);
    devClose(fd);
}

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

TEST_F(ModuleModel, SetStoresTheKeyInModulePsrAndGetReadsItBack) {
    const std::vector<std::uint16_t> words{0x1002, 0x002e, 0x00fa, 0x0014, 0x0004,
                                           0x0000, 0x0004, 0x001e, 0x0064, 0x000a};
    writeWholeFile(simStatePath(kModuleStoreFile), "&0003 = 0300 0002\r\n&02a5 = 3231\r\n");
    int fd = openHci();
    Bytes set = setRequest(0x0191, words);
    EXPECT_EQ(askModule(fd, inCarrier(set)), inVendorEvent(answerMessage(0x0191, 0, 10, 0, words)));
    EXPECT_EQ(askModule(fd, inCarrier(getRequest(0x0191))),
              inVendorEvent(answerMessage(0x0191, 0, 10, 0x0007, words)));
    EXPECT_EQ(askModule(fd, inCarrier(setRequest(0x0003, {}))),
              inVendorEvent(answerMessage(0x0003, 0, 0, 0)));
    devClose(fd);
    EXPECT_EQ(readWholeFile(simStatePath(kModuleStoreFile)),
              "&0003 =\r\n"
              "&0191 = 1002 002e 00fa 0014 0004 0000 0004 001e 0064 000a\r\n"
              "&02a5 = 3231\r\n");
}

TEST_F(ModuleModel, MissingStoreIsSeededFromTheDefault) {
    int fd = openHci();
    EXPECT_EQ(askModule(fd, inCarrier(getRequest(0x02a5))),
              inVendorEvent(answerMessage(0x02a5, 0, 10, 0x0007,
                                          {0x5250, 0x464c, 0x2057, 0x3631, 0x342e, 0x302e, 0x3120,
                                           0x3539, 0x2038, 0x3530})));  // "PRLFW 16.4.0 1958 05"
    devClose(fd);
    PsKeyStore store = parsePsKeys(readWholeFile(simStatePath(kModuleStoreFile)));
    EXPECT_EQ(formatPsKeys(store), readWholeFile(simStatePath(kModuleStoreFile)));
    EXPECT_GE(store.size(), 30U);
    EXPECT_LE(store.rbegin()->first, 0x03ff);
    for (std::uint16_t key : {0x01a5, 0x01a6, 0x01f9, 0x02a4}) EXPECT_EQ(store.count(key), 1U);
    EXPECT_EQ(store[0x0191].size(), 10U);
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

TEST_F(ModuleModel, TheSetupCodesAreTheHostsOwnEncoding) {
    // The board's encoding, when the host is the board.
    if (_IOC_WRITE == 4U) {
        EXPECT_EQ(kBcspSetupRequests[0].code, 0x80044801UL);
        EXPECT_EQ(kBcspSetupRequests[3].code, 0x20004805UL);
        EXPECT_EQ(kModuleResetRequest, 0x20004502UL);
    } else {
        EXPECT_EQ(kBcspSetupRequests[0].code, 0x40044801UL);
        EXPECT_EQ(kBcspSetupRequests[2].code, 0x00004808UL);
        EXPECT_EQ(kModuleResetRequest, 0x00004502UL);
    }
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

TEST_F(ModuleModel, AnswersTakeTheirTimeOnTheSerialLine) {
    writeWholeFile(simStatePath(kModuleBaudFile), "115200\n");
    EXPECT_EQ(moduleWireTime(101 + 100), std::chrono::nanoseconds(17447916));  // 17.45 ms
    writeWholeFile(simStatePath(kModuleBaudFile), "9600\n");
    int fd = openHci();
    Bytes get = inCarrier(getRequest(0x01a5));
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(devWrite(fd, get.data(), get.size()), 101);
    pollfd entry{fd, POLLIN | POLLPRI, 0};
    EXPECT_EQ(devPoll(&entry, 1, 0, nullptr), 0);
    EXPECT_EQ(devPoll(&entry, 1, 1000, nullptr), 1);
    auto waited = std::chrono::steady_clock::now() - start;
    // 101 + 100 bytes at 9600 baud: 209.4 ms.
    EXPECT_GE(waited, std::chrono::microseconds(209375));
    EXPECT_LT(waited, std::chrono::milliseconds(600));
    EXPECT_EQ(readAnswer(fd, 0).size(), 100U);
    devClose(fd);
}

}  // namespace
