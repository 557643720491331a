// The aipeer program following a whole update of the simulated board's daemon, as a person
// at the board's shell runs it with its output into a file; on a cross build the board's
// programs, under their emulator.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>

#include "sim/sim_state.h"
#include "tests/support/board.h"
#include "tests/support/board_eventually.h"
#include "tests/support/openssl_keys.h"
#include "tests/support/updates.h"

using namespace std::chrono_literals;

namespace {

ProgramRun runAipeer(const std::string& arguments) {
    return runProgram(std::string(BOARD_EMULATOR) + " " + PROJECT_BINARY_PATH + "/aipeer " +
                      arguments);
}

TEST(AiPeerFollow, ShowsEveryStepOfTheSampleUpdateAndEndsWithTheFinalNotice) {
    // The sample's steps that don't involve the module: their percentages are the same on
    // every run.
    std::optional<mkupdate::Bytes> image = sampleUpdateWithoutModule();
    writeWholeFile("/tmp/image", *image);
    SimDaemon daemon;
    daemon.start();

    ProgramRun run = runAipeer(kAipeerTimeout + " start --follow");
    EXPECT_EQ(run.status, 0) << run.err;
    // The image step's percentages before 100 and the SDP step's trigger come as the report
    // happens to be read, and the daemon's start-up notice only when the peer was bound before
    // the daemon sent it; the rest comes in this order whatever the timing.
    static const std::regex passing(
        R"(step 2/5 Update qvl Software: \d?\d%|AI_TRIGGER.*|AI_NOTICE \(1026\) param 0 .*)");
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

TEST(AiPeerFollow, GoesOnlyWithTheStartOrCaptureCommand) {
    ProgramRun run = runAipeer("--follow query");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "aipeer: --follow goes with the start or capture command (see aipeer --help)\n");
    // An image that is a FIFO with no writer is refused at once, not waited on.
    ASSERT_EQ(mkfifo("/tmp/image.fifo", 0600), 0);
    run = runAipeer("start /tmp/image.fifo");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "aipeer: can't read the image /tmp/image.fifo: not a regular file\n");
}

// A second peer never takes the socket from the first, which follows its update to the end;
// a socket file that nobody answers on is a leftover and is taken.
TEST(AiPeerSocket, ASecondPeerIsRefusedAndTheFirstFollowsToTheEnd) {
    writeWholeFile("/tmp/sample.img", sampleUpdateWithoutModule());
    // The flash's first erase waits until the test lets it go: the first peer's update is
    // surely under way while the second peer tries.
    writeWholeFile(simStatePath("flash.fault"), "hold\n");
    SimDaemon daemon;
    daemon.start();
    std::string first = std::string(BOARD_EMULATOR) + " " + PROJECT_BINARY_PATH + "/aipeer " +
                        kAipeerTimeout + " start /tmp/sample.img --follow >/tmp/first.out";
    ASSERT_EQ(std::system(("(" + first + "; echo $? >/tmp/first.status) &").c_str()), 0);
    ASSERT_TRUE(eventually(
        [] {
            return readWholeFile("/tmp/update.log").find("Update qvl Software:   started ... ") !=
                   std::string::npos;
        },
        kEventCap));
    ProgramRun second = runAipeer("--timeout 5 query");
    EXPECT_EQ(second.status, 2);
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err, "aipeer: peer socket in use: another peer is bound to /rb_ai_sock2ad\n");
    std::remove(simStatePath("flash.fault").c_str());
    ASSERT_TRUE(eventually([] { return fileExists("/tmp/first.status"); }, kEventCap));
    EXPECT_EQ(readWholeFile("/tmp/first.status"), "0\n");
    // The SDP step's trigger comes as the report happens to be read.
    const std::string followed = readWholeFile("/tmp/first.out");
    EXPECT_NE(followed.find("step 5/5 Update PPCBOOT: Nothing Done\n*UPDATE_FINISHED* ... OK\n"),
              std::string::npos)
        << followed;
    EXPECT_TRUE(followed.ends_with("AI_NOTICE (1026) param 2 text \"OK\" (2 bytes)\n")) << followed;
    EXPECT_FALSE(fileExists("/rb_ai_sock2ad"));

    // The socket file of a peer that ended without removing it.
    int stale = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "/rb_ai_sock2ad");
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(stale);
    ProgramRun leftover = runAipeer(kAipeerTimeout + " query");
    EXPECT_EQ(leftover.status, 0) << leftover.err;
    EXPECT_TRUE(leftover.out.ends_with("AI_REPLY (1025) param 0 text \"/x0AT0x0Do\" (10 bytes)\n"))
        << leftover.out;
}

// A board with update keys refuses an unsigned image at reception; the peer says why.
TEST(AiPeerFollow, ShowsWhyABoardWithKeysRefusedTheImage) {
    installUpdateKey(makeOpensslKey("makers", 2048), "makers");
    writeWholeFile("/tmp/image", sampleUpdateWithoutModule());
    SimDaemon daemon;
    daemon.start();
    ProgramRun run = runAipeer(kAipeerTimeout + " start --follow");
    EXPECT_EQ(run.status, 1) << run.err;
    // The daemon's start-up notice may go out before the peer has bound its socket: the
    // failed write is then among the lines the peer shows, before the refusal.
    const std::size_t failed = run.out.find("the update's reception failed:\n");
    ASSERT_NE(failed, std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\n  image file /tmp/image refused: no signature\n", failed),
              std::string::npos)
        << run.out;
}

}  // namespace
