// aipeer start IMAGE on the simulated board: the image placed where the daemon reads it (moved
// there from the board's /tmp, copied from elsewhere), and taken back when the start fails; on
// the board's 2 MiB /tmp an image of more than half of it starts, without a second copy.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "sim/sim_state.h"
#include "tests/support/board.h"
#include "tests/support/updates.h"
#include "tools/mkupdate/sample_update.h"
#include "tools/mkupdate/update_build.h"

namespace {

ProgramRun runAipeer(const std::string& arguments) {
    return runProgram(std::string(BOARD_EMULATOR) + " " + PROJECT_BINARY_PATH + "/aipeer " +
                      arguments);
}

// The files named image or image.* in /tmp: the daemon's image and temporary copies.
std::vector<std::string> tmpImageFiles() {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator("/tmp")) {
        std::string name = entry.path().filename().string();
        if (name == "image" || name.starts_with("image.")) found.push_back(name);
    }
    return found;
}

// start IMAGE places the image where the daemon reads it (the daemon removes it once done);
// one that can't be read is refused before the daemon is asked, and what was at /tmp/image
// stays.
TEST(AiPeerStart, PlacesTheImageAndRefusesOneThatCantBeRead) {
    SimDaemon daemon;
    daemon.start();
    writeWholeFile("/tmp/image", "an earlier image");
    ProgramRun missing = runAipeer("--timeout 5 start /tmp/missing.img");
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err,
              "aipeer: can't read the image /tmp/missing.img: No such file or directory\n");
    EXPECT_EQ(readWholeFile("/tmp/image"), "an earlier image");
    EXPECT_FALSE(fileExists("/tmp/update.d")) << "the daemon was not asked";

    // An image in /tmp is moved into place; one from another file system is copied.
    const mkupdate::Bytes image = sampleUpdateWithoutModule();
    for (const char* path : {"/tmp/sample.img", "/sim/state/sample.img"}) {
        SCOPED_TRACE(path);
        writeWholeFile(path, image);
        ProgramRun placed = runAipeer(kAipeerTimeout + " start " + path);
        EXPECT_EQ(placed.status, 0) << placed.err;
        EXPECT_TRUE(placed.out.ends_with("AI_NOTICE (1026) param 2 text \"OK\" (2 bytes)\n"))
            << "the daemon took the sample update: " << placed.out;
        EXPECT_EQ(fileExists(path), std::string(path) != "/tmp/sample.img");
        EXPECT_EQ(tmpImageFiles(), std::vector<std::string>{}) << "the daemon removed it";
    }
}

// A start that fails leaves nothing behind: an image moved into place goes back where it was,
// a copy is removed. Without the daemon the request can't be sent; the daemon refuses what is
// no update image.
TEST(AiPeerStart, AFailedStartLeavesNothingBehind) {
    const mkupdate::Bytes sample = sampleUpdateWithoutModule();
    SimDaemon daemon;
    for (bool daemonUp : {false, true}) {
        if (daemonUp) daemon.start();
        const std::string content =
            daemonUp ? "no update image" : std::string(sample.begin(), sample.end());
        for (const char* path : {"/tmp/sample.img", "/sim/state/sample.img"}) {
            writeWholeFile(path, content);
            ProgramRun run = runAipeer(kAipeerTimeout + " start " + path);
            EXPECT_EQ(run.status, daemonUp ? 1 : 2) << path << run.err;
            EXPECT_EQ(readWholeFile(path), content) << path;
            EXPECT_EQ(tmpImageFiles(), std::vector<std::string>{}) << path;
        }
    }
}

// Without a final notice in time the image stays where the daemon reads it: the update may
// still be running on it (here its flash write waits until the test ends).
TEST(AiPeerStart, TheImageStaysWhileTheUpdateMayRunOn) {
    writeWholeFile("/tmp/sample.img", sampleUpdateWithoutModule());
    writeWholeFile(simStatePath("flash.fault"), "hold\n");
    SimDaemon daemon;
    daemon.start();
    ProgramRun run = runAipeer("--timeout 2 start /tmp/sample.img");
    EXPECT_EQ(run.status, 3) << run.out << run.err;
    EXPECT_TRUE(fileExists("/tmp/image"));
    EXPECT_FALSE(fileExists("/tmp/sample.img"));
}

// Run on the board whose /tmp holds 2 MiB (the suite's name says so).
class BigImage : public testing::TestWithParam<int> {};

TEST_P(BigImage, StartsFromATmpOfLessThanTwiceItsSize) {
    std::string error;
    std::optional<mkupdate::UpdateDescription> update =
        mkupdate::sampleUpdate(kSampleFolder, &error);
    ASSERT_TRUE(update) << error;
    update->steps = {"LAP_SOFTWARE"};
    mkupdate::Bytes payload(1150000);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    update->lapPayload->content = payload;
    std::vector<std::string> faults;
    std::optional<mkupdate::Bytes> image = mkupdate::buildUpdate(*update, &faults);
    ASSERT_TRUE(image) << faults.front();
    writeWholeFile("/tmp/big.img", *image);
    SimDaemon daemon;
    daemon.start();

    ProgramRun run = runAipeer(kAipeerTimeout + " start /tmp/big.img");
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(run.out.ends_with("AI_NOTICE (1026) param 2 text \"OK\" (2 bytes)\n")) << run.out;
}

INSTANTIATE_TEST_SUITE_P(SmallTmp, BigImage, testing::Values(0));

}  // namespace
