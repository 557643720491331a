#include "core/ai_socket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
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

// A wake-up that can't be posted (the socket's own send buffer full of its unread posts) is
// not lost: the main loop is told once, and does its work itself.
TEST_F(AiSocket, AWakeUpThatCantBePostedIsLeftToTheLoop) {
    EXPECT_FALSE(takeLostWakeUp());
    testing::internal::CaptureStderr();
    int posts = 0;
    for (; posts < 100000 && !takeLostWakeUp(); ++posts) postWakeUp(WAKE_UP);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_LT(posts, 100000);
    EXPECT_EQ(countOf(err, "Bytes from 12 written => socket write errno 11 "), 1u) << err;
    EXPECT_FALSE(takeLostWakeUp()) << "told once";
    EXPECT_EQ(ownQueue().size(), static_cast<std::size_t>(posts - 1));
    EXPECT_EQ(sendTrigger(0), 1) << "the destination is the peer's again";
    EXPECT_EQ(peer.receive(1s)->bytes, datagramBytes(12, AI_TRIGGER, 0, 12));
}

// A notice that must reach the peer is tried again at its interval, not before, and a new
// update drops it (its delivery once the peer is back: the daemon's system test).
TEST_F(AiSocket, ALastingNoticeIsTriedAtItsIntervalUntilDropped) {
    unlink(kAiPeerPath);
    testing::internal::CaptureStderr();
    EXPECT_EQ(sendLastingNotice(2, "NOK", 3), -1);
    ASSERT_TRUE(pendingNoticeDueMs());
    std::int64_t due = *pendingNoticeDueMs();
    retryPendingNotice(due - 1);
    EXPECT_EQ(*pendingNoticeDueMs(), due) << "not before its time";
    retryPendingNotice(due);
    EXPECT_EQ(*pendingNoticeDueMs(), due + kNoticeRetryMs);
    dropPendingNotice();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(pendingNoticeDueMs());
    EXPECT_EQ(countOf(err, "socket write errno"), 1u) << err;
    EXPECT_EQ(countOf(err, "notice 2 never delivered; dropped after 2 tries\n"), 1u) << err;
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
