// Steps CHECK_VERSIONS and CHECK_SDP of an update on the simulated board, end to end: the
// version table in the update report, the merged /etc files and the trigger to the peer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/ai_message.h"
#include "tests/support/board.h"
#include "tests/support/updates.h"
#include "tools/mkupdate/sample_update.h"

using namespace std::chrono_literals;

namespace {

std::string row(std::string label, std::string oldValue, std::string newValue) {
    label.resize(19, ' ');
    oldValue.resize(23, ' ');
    newValue.resize(22, ' ');
    return "\n   " + label + " " + oldValue + " " + newValue + "     yes             ";
}

TEST(VersionAndSdpSteps, SampleFilesGiveTheVersionTableTheMergedRecordsAndOneTrigger) {
    // The sample update's parts without its LAP software image, and these two steps.
    std::string error;
    auto update = mkupdate::sampleUpdate(PROJECT_SOURCE_PATH "/sim/sample-update", &error);
    ASSERT_TRUE(update) << error;
    update->lapPayload.reset();
    update->steps = {"CHECK_VERSIONS", "CHECK_SDP"};
    std::vector<std::string> faults;
    auto image = mkupdate::buildUpdate(*update, &faults);
    ASSERT_TRUE(image) << faults.front();
    writeWholeFile("/tmp/image", *image);

    TestPeer peer;
    SimDaemon daemon;
    daemon.start();
    ASSERT_TRUE(peer.awaitRecord(AI_NOTICE, 0, 20s)) << daemon.standardError();
    const std::size_t before = peer.skipped().size();
    peer.sendRequest(REQ_START_UPDATE);
    auto final = peer.awaitRecord(AI_NOTICE, 2, 60s);
    ASSERT_TRUE(final) << daemon.standardError();
    EXPECT_EQ(final->text, "OK");
    // The SDP step's trigger reaches the peer once, before the final notice.
    ASSERT_EQ(peer.skipped().size(), before + 1) << daemon.standardError();
    EXPECT_EQ(peer.skipped().back().type, AI_TRIGGER);
    EXPECT_EQ(peer.skipped().back().param, 0);
    EXPECT_EQ(peer.skipped().back().bytes.size(), kAiHeaderSize);

    EXPECT_EQ(readWholeFile("/tmp/update.log"),
              "Version Check:         started ... "
              "OK\n     part:            |     old version      |      new version      |"
              "   update ?" +
                  row("Parlo Firmware ...", "1958", "2114 means 17.3.5") +
                  row("PS-Key         ...", "05 S2C4", "07 S3A1") +
                  row("qvl Software   ...", "2.0.3", "2.1.0") + "\n" +
                  "Check SDP records  :   started ... OK\n"
                  "*UPDATE_FINISHED* ... OK\n");
    EXPECT_EQ(readWholeFile("/etc/service.txt"), kSampleMergedService);
    EXPECT_EQ(readWholeFile("/etc/terminal.txt"), kSampleMergedTerminal);
}

}  // namespace
