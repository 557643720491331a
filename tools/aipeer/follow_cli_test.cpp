// The aipeer program following a whole update of the simulated board's daemon, as a person
// at the board's shell runs it with its output into a file; on a cross build the board's
// programs, under their emulator.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>

#include "tests/support/board.h"
#include "tests/support/updates.h"

namespace {

struct RunResult {
    int status;
    std::string out, err;
};

RunResult runAipeer(const std::string& arguments) {
    std::string command = std::string(BOARD_EMULATOR) + " " + PROJECT_BINARY_PATH + "/aipeer " +
                          arguments + " >/tmp/out 2>/tmp/err";
    int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readWholeFile("/tmp/out"),
            readWholeFile("/tmp/err")};
}

TEST(AiPeerFollow, ShowsEveryStepOfTheSampleUpdateAndEndsWithTheFinalNotice) {
    // The sample's steps that don't involve the module: their percentages are the same on
    // every run.
    std::optional<mkupdate::Bytes> image = sampleUpdateWithoutModule();
    writeWholeFile("/tmp/image", *image);
    SimDaemon daemon;
    daemon.start();

    RunResult run = runAipeer("--timeout 60 start --follow");
    EXPECT_EQ(run.status, 0) << run.err;
    // The image step's percentages before 100 and the SDP step's trigger come as the report
    // happens to be read; the rest comes in this order whatever the timing.
    static const std::regex passing(R"(step 2/5 Update qvl Software: \d?\d%|AI_TRIGGER.*)");
    std::istringstream lines(run.out);
    std::string steady;
    int triggers = 0;
    for (std::string line; std::getline(lines, line);) {
        triggers += line.starts_with("AI_TRIGGER (768) param 0");
        if (!std::regex_match(line, passing)) steady += line + "\n";
    }
    EXPECT_EQ(triggers, 1) << run.out;
    EXPECT_EQ(steady,
              "step 1/5 Version Check: started\n"
              "step 1/5 Version Check: OK\n"
              "step 2/5 Update qvl Software: started\n"
              "step 2/5 Update qvl Software: 100%\n"
              "step 2/5 Update qvl Software: OK\n"
              "step 3/5 Check SDP records  : started\n"
              "step 3/5 Check SDP records  : OK\n"
              "step 4/5 Remove DFU upload: started\n"
              "step 4/5 Remove DFU upload: OK\n"
              "step 5/5 Update PPCBOOT: started\n"
              "step 5/5 Update PPCBOOT: Nothing Done\n"
              "*UPDATE_FINISHED* ... OK\n"
              "AI_NOTICE (1026) param 2 text \"OK\" (2 bytes)\n")
        << run.out;
}

TEST(AiPeerFollow, GoesOnlyWithTheStartCommand) {
    RunResult run = runAipeer("--follow query");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "aipeer: --follow goes with the start command (see --help)\n");
}

}  // namespace
