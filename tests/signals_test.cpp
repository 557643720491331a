// Signals that come while the daemon's main flow is busy (a shell command; the stop's wait is
// the daemon test's) take effect when that work returns, where they came, as if handled on
// arrival.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <ostream>
#include <regex>
#include <string>
#include <thread>

#include "core/ai_message.h"
#include "tests/support/board.h"
#include "tests/support/updates.h"

using namespace std::chrono_literals;

namespace {

// A " -rm" of the board's shell that, for /tmp/image, first sends the daemon a signal (ALRM:
// the step's alarm expires while the step's last command runs).
void installSignallingRemove(pid_t daemon, const std::string& signal = "ALRM") {
    mkdir("/tmp/testbin", 0755);
    writeWholeFile("/tmp/testbin/-rm", "#!/bin/sh\nif [ \"$1\" = /tmp/image ]; then kill -" +
                                           signal + " " + std::to_string(daemon) +
                                           "; sleep 0.3; fi\nexec rm \"$@\"\n");
    chmod("/tmp/testbin/-rm", 0755);
}

// The update ended with its finishing line, and the notice said what the report says.
void expectFinishedAsNoticed(const std::optional<ReceivedRecord>& finished) {
    ASSERT_TRUE(finished) << readWholeFile("/tmp/update.log");
    EXPECT_TRUE(readWholeFile("/tmp/update.log")
                    .ends_with("*UPDATE_FINISHED* ... " + finished->text + "\n"))
        << readWholeFile("/tmp/update.log");
}

// Sends the start request and waits for the final notice.
std::optional<ReceivedRecord> startAndFinish(TestPeer& peer) {
    peer.sendRequest(REQ_START_UPDATE);
    return peer.awaitRecord(AI_NOTICE, 2, kEventCap);
}

TEST(LateSignals, AlarmDuringTheLapStepsLastCommandStaysWithThatStep) {
    writeWholeFile("/tmp/image",
                   makeUpdateImage({{"updatetodo.txt", "LAP_SOFTWARE\nCHECK_SDP\n"},
                                    {"service.txt", readWholeFile(kSampleParts + "service.txt")}}));
    TestPeer peer;
    SimDaemon daemon;
    daemon.start("/tmp/testbin");
    installSignallingRemove(daemon.pid());
    ASSERT_TRUE(peer.awaitRecord(AI_NOTICE, 0, kEventCap));
    peer.sendRequest(REQ_START_UPDATE);
    auto finished = peer.awaitRecord(AI_NOTICE, 2, kEventCap);
    ASSERT_TRUE(finished) << daemon.standardError();
    EXPECT_EQ(finished->text, "OK");
    ASSERT_EQ(peer.skipped().size(), 1u);
    EXPECT_EQ(peer.skipped()[0].type, AI_TRIGGER);
    EXPECT_EQ(readWholeFile("/tmp/update.log"),
              "Update qvl Software:   started ... 100 percent Update step timed out !!!OK\n"
              "Check SDP records  :   started ... OK\n"
              "*UPDATE_FINISHED* ... OK\n");
    EXPECT_NE(readWholeFile("/etc/service.txt").find("20004;Group Ad-hoc Network;11;0x1117;5;"),
              std::string::npos)
        << "the SDP merge ran";
}

TEST(LateSignals, EachCommandsEndIsLoggedOnceAsTheCommandReturns) {
    TestPeer peer;
    SimDaemon daemon;
    ASSERT_EQ(runUpdateOnBoard(daemon, peer,
                               makeUpdateImage({{"updatetodo.txt", "LAP_SOFTWARE\n"}}), kEventCap),
              "OK");
    // " -gunzip", " -tar", " -rm" of the archive, " -rm /tmp/image", and the report's "cat ",
    // whose end is logged without waiting for a later event.
    EXPECT_TRUE(eventually(
        [&] { return countOf(daemon.standardError(), "Child dead signal arrived\n") == 5; },
        kEventCap))
        << daemon.standardError();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(countOf(daemon.standardError(), "Child dead signal arrived\n"), 5u);
}

// Signals that a person or a script may send about (a terminal closed, a reload asked for) are
// logged and ignored: the update they come into ends as without them.
class IgnoredSignals : public testing::TestWithParam<const char*> {};

TEST_P(IgnoredSignals, AreLoggedAndTheUpdateEndsOk) {
    const std::string name = GetParam();
    writeWholeFile("/tmp/image", sampleUpdateWithoutModule());
    TestPeer peer;
    SimDaemon daemon;
    daemon.start("/tmp/testbin");
    installSignallingRemove(daemon.pid(), name);
    ASSERT_TRUE(peer.awaitRecord(AI_NOTICE, 0, kEventCap));
    auto finished = startAndFinish(peer);
    expectFinishedAsNoticed(finished);
    EXPECT_EQ(finished->text, "OK");
    const std::string line = "SIG" + name + " receiced and ignored !!\n";
    EXPECT_EQ(countOf(readWholeFile("/tmp/update.log"), line), 1u);
    EXPECT_EQ(countOf(daemon.standardError(), line), 1u);
}

// The same signals at an idle daemon reach their handlers (during the main loop's wait), not
// the blocked daemon's check of what came meanwhile: without a handler one would end it.
TEST_P(IgnoredSignals, AtAnIdleDaemonAreLoggedAndItAnswersOn) {
    const std::string name = GetParam();
    TestPeer peer;
    SimDaemon daemon;
    ASSERT_TRUE(startedAndAnnounced(daemon, peer));
    daemon.signal(name == "HUP" ? SIGHUP : (name == "USR1" ? SIGUSR1 : SIGUSR2));
    peer.sendRequest(REQ_QUERY);
    ASSERT_TRUE(peer.awaitRecord(AI_REPLY, 0, kEventCap)) << daemon.standardError();
    const std::string line = "SIG" + name + " receiced and ignored !!\n";
    EXPECT_TRUE(eventually([&] { return countOf(daemon.standardError(), line) == 1; }, kEventCap))
        << daemon.standardError();
    EXPECT_FALSE(daemon.waitExit(0ms)) << "still running";
}

INSTANTIATE_TEST_SUITE_P(Daemon, IgnoredSignals, testing::Values("HUP", "USR1", "USR2"));

// A reader of standard error that went away costs the log's lines, not the update.
TEST(BrokenLogPipe, TheUpdateEndsWithItsNoticeAndTheDaemonRunsOn) {
    writeWholeFile("/tmp/image", sampleUpdateWithoutModule());
    // Only the daemon holds the writing end, and nobody but this test the reading one: its
    // close leaves the pipe without a reader.
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    TestPeer peer;
    SimDaemon daemon;
    daemon.start({}, ends[1]);
    close(ends[1]);
    ASSERT_TRUE(peer.awaitRecord(AI_NOTICE, 0, kEventCap));
    close(ends[0]);
    auto finished = startAndFinish(peer);
    expectFinishedAsNoticed(finished);
    EXPECT_EQ(finished->text, "OK");
    peer.sendRequest(REQ_QUERY);
    EXPECT_TRUE(peer.awaitRecord(AI_REPLY, 0, kEventCap));
    EXPECT_FALSE(daemon.waitExit(0ms)) << "still running";
}

// Stray SIGALRMs, as fast as they can be sent through a whole update: only an armed alarm
// times a step out, once, and the update ends with its finishing line and notice.
TEST(AlarmStorm, LeavesAnUpdateThatEndsWithItsNotice) {
    writeWholeFile("/tmp/image", sampleUpdateWithoutModule());
    TestPeer peer;
    SimDaemon daemon;
    ASSERT_TRUE(startedAndAnnounced(daemon, peer));
    std::atomic<bool> over = false;
    std::thread storm([&] {
        while (!over) {
            daemon.signal(SIGALRM);
            std::this_thread::sleep_for(100us);
        }
    });
    auto finished = startAndFinish(peer);
    over = true;
    storm.join();
    expectFinishedAsNoticed(finished);
    // Of the sample's steps without the module, only the software image's arms an alarm.
    EXPECT_LE(countOf(readWholeFile("/tmp/update.log"), "Update step timed out !!!"), 1u);
    peer.sendRequest(REQ_QUERY);
    EXPECT_TRUE(peer.awaitRecord(AI_REPLY, 0, kEventCap));
}

struct StormRow {
    const char* name;
    int signal;
    const char* line;        // the line of each signal taken
    bool lineInReport;       // the line goes into the report too (a SIGCHLD's only to the log)
    const char* leftOut;     // the count line of the held ones
    std::size_t ownSignals;  // at most as many signals the update brings on itself
};

void PrintTo(const StormRow& row, std::ostream* out) { *out << row.name; }

class SignalStorm : public testing::TestWithParam<StormRow> {};

// A storm of one signal, each sent with a query whose answer comes after it: each one is taken
// by the time the next query is answered, so at least every other one on its own, yet standard
// error and the report get at most 20 of their lines a minute of the board's clock, and a count
// for the others.
TEST_P(SignalStorm, WritesABoundedLogAndReport) {
    const StormRow& row = GetParam();
    const std::regex leftOutLine(std::string(R"((\d+) )") + row.leftOut +
                                 " left out of the report\n");
    writeWholeFile("/tmp/image", sampleUpdateWithoutModule());
    TestPeer peer;
    SimDaemon daemon;
    ASSERT_TRUE(startedAndAnnounced(daemon, peer));
    constexpr std::size_t kStorm = 500;
    const auto began = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < kStorm; ++i) {
        daemon.signal(row.signal);
        peer.sendRequest(REQ_QUERY);
        ASSERT_TRUE(peer.awaitRecord(AI_REPLY, 0, kEventCap));
    }
    // The update's report lines bring the count of the held ones.
    expectFinishedAsNoticed(startAndFinish(peer));
    const auto minutes = static_cast<std::size_t>((std::chrono::steady_clock::now() - began) /
                                                  onBoard(std::chrono::minutes(1))) +
                         1;
    const std::string err = daemon.standardError();
    const std::string report = readWholeFile("/tmp/update.log");
    EXPECT_LE(countOf(err, row.line), 20 * minutes);
    EXPECT_EQ(countOf(report, row.line), row.lineInReport ? countOf(err, row.line) : 0u);
    EXPECT_GT(sumOfCounts(err, leftOutLine), 0u);
    EXPECT_EQ(sumOfCounts(report, leftOutLine), sumOfCounts(err, leftOutLine));
    const std::size_t taken = countOf(err, row.line) + sumOfCounts(err, leftOutLine);
    EXPECT_GE(taken, kStorm / 2);
    EXPECT_LE(taken, kStorm + row.ownSignals);
    EXPECT_LT(err.size(), 64u << 10);
}

// The SIGCHLDs: the update's own commands' ends, at most 20 of them, come on top of the storm.
INSTANTIATE_TEST_SUITE_P(Daemon, SignalStorm,
                         testing::Values(StormRow{"sigterm", SIGTERM,
                                                  "SIGTERM receiced and ignored !!\n", true,
                                                  "signals", 0},
                                         StormRow{"sigchld", SIGCHLD, "Child dead signal arrived\n",
                                                  false, "child end signals", 20}),
                         testing::PrintToStringParamName());

}  // namespace
