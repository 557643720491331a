// The step LAP_SOFTWARE on the simulated board: an update carrying a LAP software image, run
// by the daemon through its AI socket, ends with that image in the flash.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "core/ai_message.h"
#include "sim/flash_model.h"
#include "sim/sim_state.h"
#include "tests/support/board.h"
#include "tools/mkupdate/image_builder.h"
#include "tools/mkupdate/sample_update.h"
#include "tools/mkupdate/update_archive.h"

using namespace std::chrono_literals;

namespace {

constexpr std::size_t kImageAreaStart = 0x20000;
constexpr const char* kSampleFolder = PROJECT_SOURCE_PATH "/sim/sample-update";

std::string text(const std::vector<std::uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// What the flash held before the update: no two neighbouring bytes alike, nowhere 0xFF
// throughout a sector.
std::string oldFlash() {
    std::string contents(0x200000, '\0');
    for (std::size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<char>(i * 7 + 3);
    return contents;
}

std::string flashContents() { return readWholeFile(simStatePath(kFlashContentsFile)); }

// The LAP software image that the sample update carries as its last file.
std::string sampleLapImage() {
    std::string error;
    auto payload = mkupdate::sampleLapPayload(kSampleFolder, &error);
    EXPECT_TRUE(payload) << error;
    if (!payload) return {};
    auto image = mkupdate::wrapImage(*payload, mkupdate::kSampleLapName, 0, &error);
    EXPECT_TRUE(image) << error;
    return image ? text(*image) : std::string();
}

// An update whose to-do file names LAP_SOFTWARE only, carrying lapImage.
std::vector<std::uint8_t> lapOnlyUpdate(const std::string& lapImage) {
    mkdir("/tmp/build", 0755);
    mkdir("/tmp/build/update.d", 0755);
    writeWholeFile("/tmp/build/update.d/updatetodo.txt", "LAP_SOFTWARE\n");
    std::string error;
    auto archive = mkupdate::packUpdateFolder("/tmp/build/update.d", &error);
    EXPECT_TRUE(archive) << error;
    if (!archive) return {};
    std::vector<mkupdate::Bytes> files{mkupdate::Bytes{'n', 'o', 't', 'e'}, *archive,
                                       mkupdate::Bytes(lapImage.begin(), lapImage.end())};
    auto image = mkupdate::buildMultiImage(files, "LAP software only", &error);
    EXPECT_TRUE(image) << error;
    return image ? *image : mkupdate::Bytes{};
}

// Runs one update of the image at /tmp/image; the text of the final notice.
std::string runUpdate(SimDaemon& daemon) {
    TestPeer peer;
    daemon.start();
    EXPECT_TRUE(peer.awaitRecord(AI_NOTICE, 0, 20s));
    peer.sendRequest(REQ_START_UPDATE);
    auto finished = peer.awaitRecord(AI_NOTICE, 2, 120s);
    EXPECT_TRUE(finished) << daemon.standardError();
    return finished ? finished->text : std::string("(no final notice)");
}

TEST(LapSoftware, SampleUpdateWritesTheLapImageOverOldFlashContents) {
    writeWholeFile(simStatePath(kFlashContentsFile), oldFlash());
    std::string error;
    auto update = mkupdate::buildSampleUpdate(kSampleFolder, &error);
    ASSERT_TRUE(update) << error;
    writeWholeFile("/tmp/image", *update);
    std::string lap = sampleLapImage();
    ASSERT_EQ(lap.size(), 200000u);

    SimDaemon daemon;
    runUpdate(daemon);

    std::string report = readWholeFile("/tmp/update.log");
    EXPECT_NE(report.find("Update qvl Software:   started ... 100 percent OK\n"), std::string::npos)
        << report;
    std::string contents = flashContents();
    std::string old = oldFlash();
    ASSERT_EQ(contents.size(), old.size());
    EXPECT_TRUE(contents.compare(kImageAreaStart, lap.size(), lap) == 0);
    // Before the image area, and from the sector after the image's last one on, nothing
    // changed; the rest of the last sector is erased.
    EXPECT_TRUE(contents.compare(0, kImageAreaStart, old, 0, kImageAreaStart) == 0);
    std::size_t end = kImageAreaStart + lap.size();
    EXPECT_EQ(contents.substr(end, 0x60000 - end), std::string(0x60000 - end, '\xFF'));
    EXPECT_TRUE(contents.compare(0x60000, std::string::npos, old, 0x60000) == 0);
    EXPECT_FALSE(fileExists("/tmp/image"));
    std::string err = daemon.standardError();
    EXPECT_NE(err.find("writeImage line: "), std::string::npos);
    EXPECT_NE(err.find(": writing sector 050000 to flash; missing 00003392 Bytes;  98%\n"),
              std::string::npos)
        << err;
}

TEST(LapSoftware, LapOnlyUpdateReportsEachStageOfTheStep) {
    writeWholeFile(simStatePath(kFlashContentsFile), oldFlash());
    std::string lap = sampleLapImage();
    writeWholeFile("/tmp/image", lapOnlyUpdate(lap));

    SimDaemon daemon;
    EXPECT_EQ(runUpdate(daemon), "OK");
    EXPECT_EQ(readWholeFile("/tmp/update.log"),
              "Update qvl Software:   started ... 100 percent OK\n*UPDATE_FINISHED* ... OK\n");
    EXPECT_TRUE(flashContents().compare(kImageAreaStart, lap.size(), lap) == 0);
    EXPECT_NE(daemon.standardError().find(
                  ": Flash size =  2097152 (0x200000); LAP config file sector starts at "
                  "0x1F0000\n"),
              std::string::npos);
}

TEST(LapSoftware, WriteFaultEndsTheStepAndTheUpdateNok) {
    writeWholeFile(simStatePath(kFlashContentsFile), oldFlash());
    writeWholeFile(simStatePath(kFlashFaultFile), "write\n");
    writeWholeFile("/tmp/image", lapOnlyUpdate(sampleLapImage()));

    SimDaemon daemon;
    EXPECT_EQ(runUpdate(daemon), "NOK");
    EXPECT_EQ(readWholeFile("/tmp/update.log"),
              "Update qvl Software:   started ...   0 percent write failed errno: 5 "
              "Input/output error\n NOK\n*UPDATE_FINISHED* ... NOK\n");
    // The first sector was erased, then nothing more happened.
    std::string contents = flashContents();
    std::string old = oldFlash();
    EXPECT_EQ(contents.substr(kImageAreaStart, 0x10000), std::string(0x10000, '\xFF'));
    EXPECT_TRUE(contents.compare(0x30000, std::string::npos, old, 0x30000) == 0);
    EXPECT_FALSE(fileExists("/tmp/image"));
}

TEST(LapSoftware, LargerFlashMovesTheConfigSectorAtStartUp) {
    writeWholeFile(simStatePath(kFlashSizeFile), "0x400000\n");
    writeWholeFile("/tmp/image", lapOnlyUpdate(sampleLapImage()));
    SimDaemon daemon;
    EXPECT_EQ(runUpdate(daemon), "OK");
    std::string err = daemon.standardError();
    EXPECT_NE(err.find(": Flash size =  4194304 (0x400000); LAP config file sector starts at "
                       "0x3F0000\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find(": write lap image with 200000 Bytes to 3997696 Bytes flash\n"),
              std::string::npos)
        << err;
}

}  // namespace
