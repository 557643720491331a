// Signals that come while the daemon's main flow is busy (a shell command, the stop wait) take
// effect when that work returns, where they came, as if handled on arrival.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <string>
#include <thread>

#include "core/ai_message.h"
#include "tests/support/board.h"
#include "tests/support/updates.h"

using namespace std::chrono_literals;

namespace {

// A " -rm" of the board's shell that, for /tmp/image, first sends the daemon a SIGALRM: the
// step's alarm expires while the step's last command runs.
void installAlarmingRemove(pid_t daemon) {
    mkdir("/tmp/testbin", 0755);
    writeWholeFile("/tmp/testbin/-rm", "#!/bin/sh\nif [ \"$1\" = /tmp/image ]; then kill -ALRM " +
                                           std::to_string(daemon) +
                                           "; sleep 0.3; fi\nexec rm \"$@\"\n");
    chmod("/tmp/testbin/-rm", 0755);
}

TEST(LateSignals, AlarmDuringTheLapStepsLastCommandStaysWithThatStep) {
    writeWholeFile("/tmp/image",
                   makeUpdateImage({{"updatetodo.txt", "LAP_SOFTWARE\nCHECK_SDP\n"},
                                    {"service.txt", readWholeFile(kSampleParts + "service.txt")}}));
    TestPeer peer;
    SimDaemon daemon;
    daemon.start("/tmp/testbin");
    installAlarmingRemove(daemon.pid());
    ASSERT_TRUE(peer.awaitRecord(AI_NOTICE, 0, 20s));
    peer.sendRequest(REQ_START_UPDATE);
    auto finished = peer.awaitRecord(AI_NOTICE, 2, 60s);
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
                               makeUpdateImage({{"updatetodo.txt", "LAP_SOFTWARE\n"}}), 60s),
              "OK");
    // " -gunzip", " -tar", " -rm" of the archive, " -rm /tmp/image", and the report's "cat ",
    // whose end is logged without waiting for a later event.
    EXPECT_TRUE(eventually(
        [&] { return countOf(daemon.standardError(), "Child dead signal arrived\n") == 5; }, 5s))
        << daemon.standardError();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(countOf(daemon.standardError(), "Child dead signal arrived\n"), 5u);
}

TEST(LateSignals, SigtermDuringTheStopWaitIsLoggedAndTheStopGoesOn) {
    TestPeer peer;
    SimDaemon daemon;
    daemon.start();
    ASSERT_TRUE(peer.awaitRecord(AI_NOTICE, 0, 20s));
    peer.sendRequest(REQ_STOP);
    std::this_thread::sleep_for(onBoard(2s));
    daemon.signal(SIGTERM);
    auto reply = peer.awaitRecord(AI_REPLY, 3, 60s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->text, "b");
    auto status = daemon.waitExit(20s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    EXPECT_EQ(readWholeFile("/tmp/update.log"),
              "SIGTERM receiced and ignored !!\nExit because stopped !!\n");
}

}  // namespace
