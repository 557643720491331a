#include "core/ai_socket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/log.h"
#include "tests/support/board.h"
#include "tests/support/daemon_socket.h"

using namespace std::chrono_literals;

namespace {

// The daemon's socket and a peer, both on the board's file system.
class AiSocket : public DaemonSocketTest {
protected:
    TestPeer peer;
};

TEST_F(AiSocket, WakeUpGoesToTheDaemonAndTheDestinationReturnsToThePeer) {
    postWakeUp(WAKE_UP);
    EXPECT_EQ(sendTrigger(0), 1);
    auto posted = ownQueue();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0], datagramBytes(12, AI_TRIGGER, WAKE_UP, 12));
    auto trigger = peer.receive(1s);
    ASSERT_TRUE(trigger);
    EXPECT_EQ(trigger->bytes, datagramBytes(12, AI_TRIGGER, 0, 12));
}

TEST_F(AiSocket, TextFramesCarryTheirLengthAndRefuseMoreThan51Bytes) {
    EXPECT_EQ(sendNotice(2, "NOK", 3), 1);
    auto notice = peer.receive(1s);
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->type, AI_NOTICE);
    EXPECT_EQ(notice->param, 2);
    EXPECT_EQ(notice->text, "NOK");
    EXPECT_EQ(notice->bytes.size(), 64u);

    std::string fits(51, 't');
    EXPECT_EQ(sendReply(1, fits.data(), fits.size()), 1);
    EXPECT_EQ(peer.receive(1s)->text, fits);
    std::string tooLong(52, 't');
    testing::internal::CaptureStderr();
    EXPECT_EQ(sendReply(1, tooLong.data(), tooLong.size()), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(peer.receive(100ms));
}

TEST(AiSocketWithoutSocket, SendingEndsTheProcessWithStatus5) {
    EXPECT_EXIT(sendTrigger(0), testing::ExitedWithCode(5), "");
}

TEST(AiSocketOpen, ReplacesALeftoverSocketFileAndReportsABindFailure) {
    writeWholeFile(kAiOwnPath, "left from an earlier run");
    EXPECT_GE(openAiSocket(kAiOwnPath), 0);
    closeAiSocket();
    EXPECT_EQ(openAiSocket("/tmp/no/such/dir/sock"), -3);
}

}  // namespace
