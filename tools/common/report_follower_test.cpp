#include "tools/common/report_follower.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/board.h"

namespace {

void appendReport(const std::string& text) {
    writeWholeFile("/tmp/update.log", readWholeFile("/tmp/update.log") + text);
}

// Another start request in the middle of the update enters the first step again: the follower
// says so and counts the new run from its first step, not on from the old one.
TEST(ReportFollower, SaysWhenSomeoneElseStartsTheUpdateAgain) {
    std::filesystem::create_directories("/tmp/update.d");
    writeWholeFile("/tmp/update.d/updatetodo.txt", "CHECK_VERSIONS\nLAP_SOFTWARE\nPPCBOOT\n");
    writeWholeFile("/tmp/update.log", "*UPDATE_FINISHED* ... OK\n");
    ReportFollower follower = startFollowing(ViewForm::Lines);
    appendReport(
        "Version Check:         started ... OK\nUpdate qvl Software:   started ...  32 percent ");
    std::string shown = followReport(follower);
    appendReport("Version Check:         started ... OK\nUpdate qvl Software:   started ... ");
    shown += followReport(follower);
    appendReport(
        " 100 percent OK\nUpdate PPCBOOT:        started ... Nothing Done\n"
        "*UPDATE_FINISHED* ... OK\n");
    shown += followReport(follower);
    EXPECT_EQ(shown,
              "step 1/3 Version Check: started\n"
              "step 1/3 Version Check: OK\n"
              "step 2/3 Update qvl Software: started\n"
              "step 2/3 Update qvl Software: 32%\n"
              "step 2/3 Update qvl Software: ended\n"
              "the update was started again by another request: following it from its first "
              "step\n"
              "step 1/3 Version Check: started\n"
              "step 1/3 Version Check: OK\n"
              "step 2/3 Update qvl Software: started\n"
              "step 2/3 Update qvl Software: 100%\n"
              "step 2/3 Update qvl Software: OK\n"
              "step 3/3 Update PPCBOOT: started\n"
              "step 3/3 Update PPCBOOT: Nothing Done\n"
              "*UPDATE_FINISHED* ... OK\n");
}

}  // namespace
