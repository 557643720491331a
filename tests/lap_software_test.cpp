// The step LAP_SOFTWARE on the simulated board: an update carrying a LAP software image, run
// by the daemon through its AI socket, ends with that image in the flash.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <string>

#include "core/ai_message.h"
#include "sim/flash_model.h"
#include "sim/sim_state.h"
#include "tests/support/board.h"
#include "tools/mkupdate/image_builder.h"
#include "tools/mkupdate/sample_update.h"
#include "tools/mkupdate/update_archive.h"

using namespace std::chrono_literals;

namespace {

using mkupdate::Bytes;

// Runs an update of LAP_SOFTWARE only, carrying the sample LAP image, with fault in the flash.
// The flash, whose old contents have no two neighbouring bytes alike, then holds the first
// written bytes of the image at 0x20000, erased bytes behind them and the old contents
// everywhere else.
void expectLapOnlyUpdate(const char* fault, const char* notice, std::size_t written,
                         std::size_t erased, const std::string& report) {
    std::string error;
    auto payload = mkupdate::sampleLapPayload(PROJECT_SOURCE_PATH "/sim/sample-update", &error);
    Bytes lap = mkupdate::wrapImage(payload.value_or(Bytes()), mkupdate::kSampleLapName, 0, &error)
                    .value_or(Bytes());
    ASSERT_EQ(lap.size(), 200000u) << error;
    mkdir("/tmp/todo", 0755);
    writeWholeFile("/tmp/todo/updatetodo.txt", "LAP_SOFTWARE\n");
    auto archive = mkupdate::packUpdateFolder("/tmp/todo", &error);
    auto image =
        mkupdate::buildMultiImage({Bytes{'n'}, archive.value_or(Bytes()), lap}, "LAP", &error);
    ASSERT_TRUE(archive && image) << error;
    std::string flash(0x200000, '\0');
    for (std::size_t i = 0; i < flash.size(); ++i) flash[i] = static_cast<char>(i * 7 + 3);
    writeWholeFile(simStatePath(kFlashContentsFile), flash);
    writeWholeFile(simStatePath(kFlashFaultFile), fault);
    SimDaemon daemon;
    TestPeer peer;
    EXPECT_EQ(runUpdateOnBoard(daemon, peer, *image, 120s), notice) << daemon.standardError();
    EXPECT_EQ(readWholeFile("/tmp/update.log"), report);
    std::copy_n(lap.begin(), written, flash.begin() + 0x20000);
    std::fill_n(flash.begin() + 0x20000 + written, erased, '\xFF');
    EXPECT_TRUE(readWholeFile(simStatePath(kFlashContentsFile)) == flash);
    EXPECT_FALSE(fileExists("/tmp/image"));
}

TEST(LapSoftware, LapImageIsWrittenOverOldFlashContents) {
    expectLapOnlyUpdate("", "OK", 200000, 0x40000 - 200000,
                        "Update qvl Software:   started ... 100 percent OK\n"
                        "*UPDATE_FINISHED* ... OK\n");
}

TEST(LapSoftware, WriteFaultEndsTheStepAndTheUpdateNok) {
    // The first sector was erased, then nothing more happened.
    expectLapOnlyUpdate("write\n", "NOK", 0, 0x10000,
                        "Update qvl Software:   started ...   0 percent write failed errno: 5 "
                        "Input/output error\n NOK\n*UPDATE_FINISHED* ... NOK\n");
}

}  // namespace
