#include "btlink/module_link.h"

#include <gtest/gtest.h>

#include <string>

#include "core/log.h"
#include "sim/sim_state.h"
#include "tests/support/board.h"
#include "tests/support/logged.h"

namespace {

void loadBcspDriver() {
    writeWholeFile(simStatePath("insmod.log"),
                   "/tmp/update.d/linabcsp_uart.o\n/tmp/update.d/bcsp.o\n"
                   "/tmp/update.d/linabcsp_upChan.o\n");
}

TEST(ModuleLink, FailedOpenLeavesTheLinkClosed) {
    EXPECT_EQ(tlInterface, TL_HCI_AT_START);
    writeWholeFile(simStatePath("module.fault"), "missing-cfUaB0\n");
    // Without the BCSP driver loaded, its channel doesn't exist.
    for (std::int32_t transport : {TL_HCI_AT_START, TL_BCSP}) {
        tlInterface = transport;
        EXPECT_EQ(loggedBy([] { EXPECT_EQ(openBtModule(1), LINK_OPEN_FAILED); }),
                  std::string("ERR openBtModule: open error TL interface ") +
                      tlDevicePath(transport) + ": 0x02 No such file or directory");
        EXPECT_EQ(moduleLinkDescriptor(), -1);
    }
    tlInterface = TL_HCI_AT_START;
    EXPECT_EQ(readWholeFile(kUpdateReportPath),
              "open error TL interface /dev/cfUaB0: 0x02 No such file or directory"
              "open error TL interface /dev/bcspRel2: 0x02 No such file or directory");
}

TEST(ModuleLink, OneLinkAtATime) {
    std::string opened = loggedBy([] { EXPECT_EQ(openBtModule(1), LINK_OK); });
    EXPECT_EQ(opened, "LOG openBtModule: opened /dev/cfUaB0 with fd " +
                          std::to_string(moduleLinkDescriptor()) + "  1\n");
    // A second open closes the first link: still one module entry.
    int first = moduleLinkDescriptor();
    loggedBy([] { EXPECT_EQ(openBtModule(1), LINK_OK); });
    int second = moduleLinkDescriptor();
    EXPECT_EQ(loggedBy([] { EXPECT_EQ(openBtModule(0), LINK_OK); }),
              "LOG openBtModule: closed /dev/cfUaB0 with fd " + std::to_string(second) + " \n");
    EXPECT_GE(first, 0);
    EXPECT_EQ(moduleLinkDescriptor(), -1);
}

// A daemon started again after an earlier run loaded the BCSP driver: the module answers on
// the driver's channel alone (set up, or the open would fail), and every later open takes it.
TEST(ModuleLink, ADriverFoundLoadedMakesTheLinkBcsp) {
    loadBcspDriver();
    std::string log = loggedBy([] { EXPECT_EQ(openBtModule(1), LINK_OK); });
    EXPECT_EQ(log,
              "LOG openBtModule: BCSP driver found loaded\nLOG openBtModule: opened "
              "/dev/bcspRel2 with fd " +
                  std::to_string(moduleLinkDescriptor()) + "  1\n");
    EXPECT_EQ(tlInterface, TL_BCSP);
    loggedBy([] { openBtModule(0); });
    tlInterface = TL_HCI_AT_START;
}

TEST(ModuleLink, AFailedSetUpRequestClosesTheChannelAndEndsTheStep) {
    loadBcspDriver();
    tlInterface = TL_BCSP;
    writeWholeFile(simStatePath("module.fault"), "setup2\n");
    std::string log = loggedBy([] { EXPECT_EQ(openBtModule(1), LINK_SETUP_FAILED); });
    EXPECT_TRUE(log.starts_with("LOG openBtModule: opened /dev/bcspRel2 with fd ")) << log;
    EXPECT_TRUE(
        log.ends_with("  1\nERR openBtModule: ioctl error TL interface /dev/bcspRel2: "
                      "0x05 Input/output error"))
        << log;
    EXPECT_EQ(moduleLinkDescriptor(), -1);
    std::string trace = readWholeFile(simStatePath("module.log"));
    EXPECT_EQ(trace.find("setup request 3"), std::string::npos) << trace;
    tlInterface = TL_HCI_AT_START;
}

}  // namespace
