// The board's /tmp is RAM of 2 MiB: aipeer starts an image of more than half of it, placed
// beside it in /tmp, without a second copy of it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/board.h"
#include "tests/support/updates.h"
#include "tools/mkupdate/sample_update.h"
#include "tools/mkupdate/update_build.h"

namespace {

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
    ASSERT_GT(image->size(), 1150000u);
    writeWholeFile("/tmp/big.img", *image);
    SimDaemon daemon;
    daemon.start();

    std::string command = std::string(BOARD_EMULATOR) + " " + PROJECT_BINARY_PATH +
                          "/aipeer --timeout 120 start /tmp/big.img >/tmp/out 2>/tmp/err";
    int status = std::system(command.c_str());
    std::string out = readWholeFile("/tmp/out");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out << readWholeFile("/tmp/err");
    EXPECT_TRUE(out.ends_with("AI_NOTICE (1026) param 2 text \"OK\" (2 bytes)\n")) << out;
    EXPECT_NE(readWholeFile("/tmp/update.log").find("Update qvl Software:   started ... "),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(SmallTmp, BigImage, testing::Values(0));

}  // namespace
