#include "core/ai_socket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/child_process.h"
#include "core/log.h"
#include "tests/support/board.h"
#include "tests/support/daemon_socket.h"
#include "update/update_state.h"

using namespace std::chrono_literals;

namespace {

// The daemon's socket and a peer, both on the board's file system.
class AiSocket : public DaemonSocketTest {
protected:
    // readMessage on what the peer sent; standard error of the call.
    std::string dispatch() {
        testing::internal::CaptureStderr();
        EXPECT_EQ(readMessage(), 1);
        return testing::internal::GetCapturedStderr();
    }

    TestPeer peer;
};

// Bytes of a header in the host's order, as the board's peer lays them out.
std::vector<std::uint8_t> header(std::uint16_t length, std::uint32_t type, std::int32_t param,
                                 std::size_t size) {
    std::vector<std::uint8_t> bytes(size, 0);
    AiMessage message{};
    message.length = length;
    message.type = type;
    message.param = param;
    std::memcpy(bytes.data(), &message, std::min(size, sizeof message));
    return bytes;
}

std::string messageOf(const std::string& log) {
    std::size_t line = log.find(" line: ");
    std::size_t at = line == std::string::npos ? line : log.find(": ", line + 7);
    return at == std::string::npos ? log : log.substr(at + 2);
}

TEST_F(AiSocket, MalformedDatagramsAreLengthErrors) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> datagram;
    };
    std::vector<Case> cases = {
        {"length field differs", header(16, AI_REQUEST, REQ_QUERY, 12)},
        {"1 byte", std::vector<std::uint8_t>(1, 1)},
        {"5 bytes", header(5, AI_REQUEST, 0, 5)},
        {"6 bytes, type cut", header(6, AI_REQUEST, 0, 6)},
        {"7 bytes, type cut", header(7, AI_REQUEST, 0, 7)},
        {"request without param", header(8, AI_REQUEST, REQ_QUERY, 8)},
        {"trigger without param", header(11, AI_TRIGGER, WAKE_UP, 11)},
        {"child exit without status", header(12, AI_CHILD_EXIT, 5, 12)},
        {"type all ones", header(12, 0xFFFFFFFFu, 0, 12)},
        {"over 224 bytes", header(300, AI_REQUEST, REQ_QUERY, 300)},
    };
    for (const Case& c : cases) {
        peer.sendRaw(c.datagram.data(), c.datagram.size());
        EXPECT_EQ(messageOf(dispatch()), "socket message length error \n") << c.what;
    }
    std::string report;
    for (std::size_t i = 0; i < cases.size(); ++i) report += "socket message length error \n";
    EXPECT_EQ(readWholeFile(kUpdateReportPath), report);
    EXPECT_FALSE(peer.receive(100ms)) << "nothing is answered";
}

TEST_F(AiSocket, DatagramCutTo224BytesPassesWhenItsLengthSays224) {
    std::vector<std::uint8_t> datagram = header(224, 77, 0, 300);
    peer.sendRaw(datagram.data(), datagram.size());
    EXPECT_EQ(messageOf(dispatch()), "unknown message from socket \n");
}

TEST_F(AiSocket, EmptyDatagramAndNothingToReadAreReadErrors) {
    peer.sendRaw("", 0);
    std::string empty = messageOf(dispatch());
    EXPECT_EQ(empty.rfind("read error from socket: counter = 0; ", 0), 0u) << empty;
    EXPECT_EQ(messageOf(dispatch()),
              "read error from socket: counter = -1; 11 Resource temporarily unavailable\n");
}

TEST_F(AiSocket, QueryIsAnsweredWithTheIdentText) {
    std::vector<std::uint8_t> query = header(12, AI_REQUEST, REQ_QUERY, 12);
    peer.sendRaw(query.data(), query.size());
    EXPECT_EQ(dispatch(), "");
    auto reply = peer.receive(1s);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->bytes.size(), 64u);
    std::vector<std::uint8_t> expected = header(64, AI_REPLY, 0, 13);
    expected[12] = 10;
    for (char c : std::string("/x0AT0x0Do")) expected.push_back(static_cast<std::uint8_t>(c));
    EXPECT_EQ(std::vector<std::uint8_t>(reply->bytes.begin(), reply->bytes.begin() + 23), expected);
}

TEST_F(AiSocket, IgnoredRequestsAndTriggersChangeNothing) {
    for (std::int32_t command : {REQ_IGNORED, 4, 1000, -1}) {
        std::vector<std::uint8_t> request = header(12, AI_REQUEST, command, 12);
        peer.sendRaw(request.data(), request.size());
        EXPECT_EQ(dispatch(), "") << command;
    }
    for (std::int32_t code : {0, 9, 11}) {
        std::vector<std::uint8_t> trigger = header(12, AI_TRIGGER, code, 12);
        peer.sendRaw(trigger.data(), trigger.size());
        EXPECT_EQ(dispatch(), "") << code;
    }
    EXPECT_FALSE(peer.receive(100ms));
    EXPECT_TRUE(ownQueue().empty());
    EXPECT_FALSE(fileExists(kUpdateReportPath));
}

TEST_F(AiSocket, UnknownTypeIsReported) {
    std::vector<std::uint8_t> datagram = header(12, AI_NOTICE, 0, 12);
    peer.sendRaw(datagram.data(), datagram.size());
    EXPECT_EQ(messageOf(dispatch()), "unknown message from socket \n");
    EXPECT_EQ(readWholeFile(kUpdateReportPath), "unknown message from socket \n");
}

TEST_F(AiSocket, EndOfAnotherChildIsOnlyLogged) {
    dfuPid = 4321;
    std::vector<std::uint8_t> datagram = header(16, AI_CHILD_EXIT, 1234, 16);
    std::int32_t status = 256;
    std::memcpy(datagram.data() + 12, &status, 4);
    peer.sendRaw(datagram.data(), datagram.size());
    EXPECT_EQ(messageOf(dispatch()), "Child with PID 1234 dead; status: 256 \n");
    EXPECT_EQ(stepState, STATE_ENTER);
    EXPECT_TRUE(ownQueue().empty());
}

TEST_F(AiSocket, EndOfTheDfuChildBecomesTheStepStateAndAWakeUp) {
    struct Case {
        std::int32_t status;
        std::int32_t state;
    };
    for (const Case& c :
         {Case{0, STATE_DFU_DONE}, Case{256, STATE_DFU_FAILED}, Case{9, STATE_DFU_FAILED}}) {
        dfuPid = 4321;
        stepState = STATE_WAIT;
        std::vector<std::uint8_t> datagram = header(16, AI_CHILD_EXIT, 4321, 16);
        std::memcpy(datagram.data() + 12, &c.status, 4);
        peer.sendRaw(datagram.data(), datagram.size());
        std::string log = dispatch();
        EXPECT_NE(log.find("DFU process died; status: " + std::to_string(c.status) + " \n"),
                  std::string::npos);
        EXPECT_EQ(stepState, c.state);
        auto posted = ownQueue();
        ASSERT_EQ(posted.size(), 1u);
        EXPECT_EQ(posted[0], header(12, AI_TRIGGER, WAKE_UP, 12));
    }
}

TEST_F(AiSocket, WakeUpGoesToTheDaemonAndTheDestinationReturnsToThePeer) {
    postWakeUp(WAKE_UP);
    EXPECT_EQ(sendTrigger(0), 1);
    auto posted = ownQueue();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0], header(12, AI_TRIGGER, WAKE_UP, 12));
    auto trigger = peer.receive(1s);
    ASSERT_TRUE(trigger);
    EXPECT_EQ(trigger->bytes, header(12, AI_TRIGGER, 0, 12));
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

TEST(AiSocketWithoutPeer, FailedSendsAreLoggedAndReturned) {
    ASSERT_GE(openAiSocket(kAiOwnPath), 0);
    setAiDestination(kAiPeerPath);
    testing::internal::CaptureStderr();
    EXPECT_EQ(sendNotice(0, "/x0AT0x0Do", 10), -1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(messageOf(log),
              "-1 Bytes from 64 written => socket write errno 2 No such file or directory \n");
    closeAiSocket();
    EXPECT_FALSE(fileExists(kAiOwnPath));
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
