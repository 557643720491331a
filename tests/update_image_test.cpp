// An update image made by mkupdate, received by the simulated-board daemon on the peer's
// start request.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/ai_message.h"
#include "tests/support/board.h"
#include "tools/mkupdate/image_builder.h"
#include "tools/mkupdate/image_files.h"
#include "tools/mkupdate/sample_update.h"
#include "tools/mkupdate/update_archive.h"

using namespace std::chrono_literals;

namespace {

const std::string kSample = std::string(PROJECT_SOURCE_PATH) + "/sim/sample-update";

// The sample update (note, update.d, LAP software image), its to-do file replaced by one
// that runs the steps REMOVE_DFU_UPLOAD and PPCBOOT, so that the report doesn't depend on
// the sample's to-do list.
mkupdate::Bytes sampleImageRunning9And10() {
    std::filesystem::create_directories("/tmp/source");
    std::filesystem::copy(kSample + "/update.d", "/tmp/source/update.d",
                          std::filesystem::copy_options::recursive);
    std::filesystem::permissions("/tmp/source/update.d/updatetodo.txt",
                                 std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
    writeWholeFile("/tmp/source/update.d/updatetodo.txt",
                   "# steps of the reception test\nREMOVE_DFU_UPLOAD\nPPCBOOT\n");
    std::string error;
    std::vector<mkupdate::Bytes> files(3);
    EXPECT_TRUE(mkupdate::readWholeFile(kSample + "/note.txt", &files[0], &error)) << error;
    auto archive = mkupdate::packUpdateFolder("/tmp/source/update.d", &error);
    auto payload = mkupdate::sampleLapPayload(kSample, &error);
    EXPECT_TRUE(archive && payload) << error;
    files[1] = *archive;
    files[2] = *mkupdate::wrapImage(*payload, mkupdate::kSampleLapName, 0, &error);
    std::filesystem::remove_all("/tmp/source");
    auto image = mkupdate::buildMultiImage(files, mkupdate::kSampleUpdateName, &error);
    EXPECT_TRUE(image) << error;
    return *image;
}

TEST(UpdateImage, SampleUpdateRunsItsStepsAndEndsOk) {
    writeWholeFile("/tmp/upload.dfu", "upload of an earlier firmware step");
    mkupdate::Bytes image = sampleImageRunning9And10();
    writeWholeFile("/tmp/image", image);
    TestPeer peer;
    SimDaemon daemon;
    daemon.start();
    ASSERT_TRUE(peer.awaitRecord(AI_NOTICE, 0, 20s));
    peer.sendRequest(REQ_START_UPDATE);
    auto finished = peer.awaitRecord(AI_NOTICE, 2, 40s);
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->text, "OK");
    EXPECT_TRUE(peer.skipped().empty()) << "no reply after a successful reception";
    const char* report =
        "Remove DFU upload:     started ... OK\n"
        "Update PPCBOOT:        started ... Nothing Done\n"
        "*UPDATE_FINISHED* ... OK\n";
    EXPECT_EQ(readWholeFile("/tmp/update.log"), report);
    EXPECT_FALSE(fileExists("/tmp/upload.dfu"));
    EXPECT_EQ(readWholeFile("/tmp/update.d/VERSION"), readWholeFile(kSample + "/update.d/VERSION"));
    EXPECT_FALSE(fileExists("/tmp/image1.gz"));
    EXPECT_FALSE(fileExists("/tmp/image1"));
    EXPECT_EQ(readWholeFile("/tmp/image").size(), image.size()) << "kept for the software step";
    EXPECT_TRUE(eventually(
        [&] {
            return daemon.standardOutput().find(
                       "state 9   REMOVE_DFU_UPLOAD\n"
                       "state 10   PPCBOOT\n") != std::string::npos;
        },
        5s))
        << daemon.standardOutput();
    EXPECT_NE(withoutTimestamps(daemon.standardError())
                  .find("UPDATE_LOG-0.1.0 TIME: src/update_process receiveImage line: "),
              std::string::npos);
    EXPECT_NE(daemon.standardError().find(": /tmp/image size = " + std::to_string(image.size()) +
                                          " Bytes \n"),
              std::string::npos);
}

TEST(UpdateImage, DamagedImageIsRefusedAndEndsNok) {
    mkupdate::Bytes image = sampleImageRunning9And10();
    image[image.size() / 2] ^= 0x04;
    writeWholeFile("/tmp/image", image);
    TestPeer peer;
    SimDaemon daemon;
    daemon.start();
    ASSERT_TRUE(peer.awaitRecord(AI_NOTICE, 0, 20s));
    peer.sendRequest(REQ_START_UPDATE);
    auto finished = peer.awaitRecord(AI_NOTICE, 2, 40s);
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->text, "NOK");
    ASSERT_EQ(peer.skipped().size(), 1u);
    EXPECT_EQ(peer.skipped()[0].type, AI_REPLY);
    EXPECT_EQ(peer.skipped()[0].param, 1);
    EXPECT_EQ(peer.skipped()[0].text, std::string("OK\0", 3));
    EXPECT_EQ(readWholeFile("/tmp/update.log"), "Bad Data Checksum\n*UPDATE_FINISHED* ... NOK\n");
    EXPECT_FALSE(fileExists("/tmp/update.d"));
    EXPECT_FALSE(fileExists("/tmp/image1.gz"));
}

}  // namespace
