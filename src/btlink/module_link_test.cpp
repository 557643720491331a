#include "btlink/module_link.h"

#include <gtest/gtest.h>

#include <string>

#include "btlink/logged_test.h"
#include "core/daemon_life.h"
#include "core/log.h"
#include "tests/support/board.h"

namespace {

#if defined(__powerpc__)
TEST(ModuleLink, RequestValuesOfTheBoard) {
    EXPECT_EQ(BCSP_SETUP_REQUEST_1, 0x80044801UL);
    EXPECT_EQ(BCSP_SETUP_REQUEST_2, 0x80044804UL);
    EXPECT_EQ(BCSP_SETUP_REQUEST_3, 0x20004808UL);
    EXPECT_EQ(BCSP_SETUP_REQUEST_4, 0x20004805UL);
    EXPECT_EQ(ETX_RESET_BT_MODULE, 0x20004502UL);
}
#endif

// The step acts on these: a failed open lets it go on, a failed set-up ends it.
TEST(ModuleLink, ResultCodes) {
    EXPECT_EQ(LINK_OK, 1);
    EXPECT_EQ(LINK_OPEN_FAILED, -1);
    EXPECT_EQ(LINK_SETUP_FAILED, -2);
}

TEST(ModuleLink, FailedOpenLeavesTheLinkClosed) {
    pollSet[0] = pollfd{7, POLLIN, 0};
    pollFdCount = 1;
    btModuleSlot = 0;
    EXPECT_EQ(tlInterface, TL_HCI_AT_START);
    for (std::int32_t transport : {TL_HCI_AT_START, TL_BCSP}) {
        tlInterface = transport;
        EXPECT_EQ(loggedBy([] { EXPECT_EQ(openBtModule(1), LINK_OPEN_FAILED); }),
                  std::string("ERR openBtModule: open error TL interface ") +
                      tlDevicePath(transport) + ": 0x02 No such file or directory");
        EXPECT_EQ(btModuleSlot, 0);
        EXPECT_EQ(pollFdCount, 1);
        EXPECT_EQ(moduleLinkDescriptor(), -1);
        EXPECT_EQ(pollSet[0].fd, 7);
    }
    tlInterface = TL_HCI_AT_START;
    EXPECT_EQ(readWholeFile(kUpdateReportPath),
              "open error TL interface /dev/cfUaB0: 0x02 No such file or directory"
              "open error TL interface /dev/bcspRel2: 0x02 No such file or directory");
}

TEST(ModuleLink, ClosingAClosedLinkIsLoggedAndStillSucceeds) {
    pollFdCount = 1;
    btModuleSlot = 0;
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(loggedBy([] { EXPECT_EQ(openBtModule(0), LINK_OK); }),
                  "ERR openBtModule: try to close not openen /dev/cfUaB0");
    }
    EXPECT_EQ(pollFdCount, 1);
    EXPECT_EQ(btModuleSlot, 0);
}

TEST(ModuleLink, ResetWithoutTheBoardDevice) {
    EXPECT_EQ(loggedBy([] { EXPECT_EQ(resetBtModule(), -1); }),
              "ERR resetBtModule: open error ETX device No such file or directory");
}

}  // namespace
