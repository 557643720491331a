// The faults of module.fault, as the daemon meets them through the platform's device calls.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "sim/module/module_model.h"
#include "sim/module/module_test_support.h"

namespace {

using ModuleFaults = ModuleTest;

// Every answer that comes within the time, in order.
std::vector<Bytes> allAnswers(int fd) {
    std::vector<Bytes> answers;
    for (Bytes answer; !(answer = readAnswer(fd, 20)).empty();) answers.push_back(answer);
    return answers;
}

void setFault(const std::string& fault) {
    writeWholeFile(simStatePath(kModuleFaultFile), fault + "\n");
}

// The other answer faults on the HCI device show, byte for byte, in the reports of the PS-Key
// steps' system test; those on the BCCMD channel in the module fault table's rows after the
// firmware load.
TEST_F(ModuleFaults, ALongAnswerClaimsAndCarriesMoreThanTheKeyHolds) {
    setFault("long");
    int fd = openHci();
    EXPECT_EQ(askModule(fd, hexBytes("01 03 0c 00")), hexBytes("04 0e 04 01 03 0c 00"));
    Bytes get = inCarrier(getRequest(0x01a5));
    ASSERT_EQ(devWrite(fd, get.data(), get.size()), 101);
    Bytes message =
        joined(hexBytes("01 00 30 00 a5 0f 03 70 00 00 a5 01 30 00 07 00 01 00"), Bytes(94, 0));
    EXPECT_EQ(allAnswers(fd), std::vector<Bytes>{joined(hexBytes("04 ff 71 c2"), message)});
    devClose(fd);
}

TEST_F(ModuleFaults, AFailingResetDropsNothing) {
    setFault("reset");
    int hci = openHci();
    Bytes reset = hexBytes("01 03 0c 00");
    ASSERT_EQ(devWrite(hci, reset.data(), reset.size()), 4);
    int board = devOpen(kModuleResetPath, O_RDWR);
    EXPECT_EQ(devIoctl(board, kModuleResetRequest, nullptr), -1);
    EXPECT_EQ(errno, EIO);
    devClose(board);
    EXPECT_EQ(readAnswer(hci), hexBytes("04 0e 04 01 03 0c 00"));
    devClose(hci);
}

}  // namespace
