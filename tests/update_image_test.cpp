// An update image made by mkupdate, received by the simulated-board daemon on the peer's
// start request.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/ai_message.h"
#include "tests/support/board.h"
#include "tools/mkupdate/sample_update.h"

using namespace std::chrono_literals;

namespace {

const std::string kSample = std::string(PROJECT_SOURCE_PATH) + "/sim/sample-update";

class UpdateImage : public testing::Test {
protected:
    // The sample update with a to-do list of its own, so that the report doesn't depend on
    // the sample's steps.
    void SetUp() override {
        std::string error;
        auto update = mkupdate::sampleUpdate(kSample, &error);
        ASSERT_TRUE(update) << error;
        update->steps = {"REMOVE_DFU_UPLOAD", "PPCBOOT"};
        std::vector<std::string> faults;
        image = mkupdate::buildUpdate(*update, &faults).value_or(mkupdate::Bytes());
        versions = mkupdate::versionFileText(*update);
    }

    // Places the image, starts the daemon and the update; the final notice "OK" or "NOK".
    std::string runUpdate() { return runUpdateOnBoard(daemon, peer, image, 40s); }

    mkupdate::Bytes image;
    std::string versions;
    TestPeer peer;
    SimDaemon daemon;
};

TEST_F(UpdateImage, SampleUpdateRunsItsStepsAndEndsOk) {
    writeWholeFile("/tmp/upload.dfu", "upload of an earlier firmware step");
    EXPECT_EQ(runUpdate(), "OK");
    EXPECT_TRUE(peer.skipped().empty()) << "no reply after a successful reception";
    EXPECT_EQ(readWholeFile("/tmp/update.log"),
              "Remove DFU upload:     started ... OK\n"
              "Update PPCBOOT:        started ... Nothing Done\n"
              "*UPDATE_FINISHED* ... OK\n");
    EXPECT_FALSE(fileExists("/tmp/upload.dfu"));
    EXPECT_EQ(readWholeFile("/tmp/update.d/VERSION"), versions);
}

// The sample update as its build script makes it, all its steps: OK, and the flash holds its
// LAP software image at 0x20000.
TEST_F(UpdateImage, DamagedImageIsRefusedAndEndsNok) {
    image[image.size() / 2] ^= 0x04;
    EXPECT_EQ(runUpdate(), "NOK");
    ASSERT_EQ(peer.skipped().size(), 1u);
    EXPECT_EQ(peer.skipped()[0].text, std::string("OK\0", 3));
    EXPECT_EQ(readWholeFile("/tmp/update.log"), "Bad Data Checksum\n*UPDATE_FINISHED* ... NOK\n");
    EXPECT_FALSE(fileExists("/tmp/update.d"));
}

}  // namespace
