#include "update/update_events.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "core/ai_socket.h"
#include "core/child_process.h"
#include "core/log.h"
#include "tests/support/board.h"
#include "tests/support/daemon_socket.h"
#include "update/update_state.h"

using namespace std::chrono_literals;

namespace {

// A child of the daemon that has ended with code and waits to be reaped.
std::int32_t endedChild(int code) {
    std::string script = "exit " + std::to_string(code);
    char shell[] = "sh", option[] = "-c";
    char* argv[] = {shell, option, script.data(), nullptr};
    char* noEnvironment[] = {nullptr};
    std::int32_t pid = startChildProcess(nullptr, "/bin/sh", argv, noEnvironment, nullptr);
    EXPECT_GT(pid, 0);
    EXPECT_TRUE(eventually(
        [pid] {
            siginfo_t info{};
            return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) == 0;
        },
        kEventCap));
    return pid;
}

// The daemon's socket and a peer, both on the board's file system.
class ReadMessage : public DaemonSocketTest {
protected:
    // readMessage on what the peer sent; standard error of the call.
    std::string dispatch() {
        testing::internal::CaptureStderr();
        readMessage();
        return testing::internal::GetCapturedStderr();
    }

    TestPeer peer;
};

std::string messageOf(const std::string& log) {
    std::size_t line = log.find(" line: ");
    std::size_t at = line == std::string::npos ? line : log.find(": ", line + 7);
    return at == std::string::npos ? log : log.substr(at + 2);
}

TEST_F(ReadMessage, MalformedDatagramsAreLengthErrors) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> datagram;
    };
    std::vector<Case> cases = {
        {"length field differs", datagramBytes(16, AI_REQUEST, REQ_QUERY, 12)},
        {"1 byte", std::vector<std::uint8_t>(1, 1)},
        {"6 bytes, type cut", datagramBytes(6, AI_REQUEST, 0, 6)},
        {"request without param", datagramBytes(8, AI_REQUEST, REQ_QUERY, 8)},
        {"child exit without status", datagramBytes(12, AI_CHILD_EXIT, 5, 12)},
        {"over 224 bytes", datagramBytes(300, AI_REQUEST, REQ_QUERY, 300)},
    };
    for (const Case& c : cases) {
        peer.sendRaw(c.datagram.data(), c.datagram.size());
        EXPECT_EQ(messageOf(dispatch()), "socket message length error \n") << c.what;
    }
    EXPECT_FALSE(peer.receive(100ms)) << "nothing is answered";
    std::string expected;
    for (std::size_t i = 0; i < cases.size(); ++i) expected += "socket message length error \n";
    EXPECT_EQ(readWholeFile(kUpdateReportPath), expected);
}

TEST_F(ReadMessage, DatagramCutTo224BytesPassesWhenItsLengthSays224) {
    std::vector<std::uint8_t> datagram = datagramBytes(224, 77, 0, 300);
    peer.sendRaw(datagram.data(), datagram.size());
    EXPECT_EQ(messageOf(dispatch()), "unknown message from socket \n");
}

TEST_F(ReadMessage, EmptyDatagramAndNothingToReadAreReadErrors) {
    peer.sendRaw("", 0);
    errno = EINVAL;  // nothing of an earlier failure shows
    EXPECT_EQ(messageOf(dispatch()), "read error from socket: counter = 0; 0 empty datagram\n");
    EXPECT_EQ(messageOf(dispatch()),
              "read error from socket: counter = -1; 11 Resource temporarily unavailable\n");
}

TEST_F(ReadMessage, UnknownTypeIsReported) {
    std::vector<std::uint8_t> datagram = datagramBytes(12, AI_NOTICE, 0, 12);
    peer.sendRaw(datagram.data(), datagram.size());
    EXPECT_EQ(messageOf(dispatch()), "unknown message from socket \n");
    EXPECT_EQ(readWholeFile(kUpdateReportPath), "unknown message from socket \n");
}

// Even from its own address, an end counts only for a child that the daemon started and
// reaped, once; the DFU child's end then goes to its step.
TEST_F(ReadMessage, OnlyTheEndOfAReapedChildOfTheDaemonIsTaken) {
    update.dfuPid = endedChild(1);
    // Its end reported before it is reaped, and the end of a process it didn't start.
    ASSERT_EQ(postChildExit(update.dfuPid, 0), 1);
    ASSERT_EQ(postChildExit(1234, 0), 1);
    std::string pid = std::to_string(update.dfuPid);
    std::string early = dispatch();
    EXPECT_NE(early.find("Child with PID " + pid + " dead; status: 0 \n"), std::string::npos);
    EXPECT_NE(early.find("PID " + pid + " is no ended child of this daemon; ignored\n"),
              std::string::npos)
        << early;
    EXPECT_NE(dispatch().find("PID 1234 is no ended child of this daemon; ignored\n"),
              std::string::npos);
    testing::internal::CaptureStderr();
    childDead();
    testing::internal::GetCapturedStderr();
    std::string log = dispatch();
    EXPECT_NE(log.find("DFU process died; status: 256 \n"), std::string::npos) << log;
    // A second report of the same end.
    ASSERT_EQ(postChildExit(update.dfuPid, 256), 1);
    EXPECT_NE(dispatch().find("is no ended child of this daemon; ignored\n"), std::string::npos);
    EXPECT_TRUE(ownQueue().empty());
}

class ChildDead : public DaemonSocketTest {
protected:
    static std::vector<AiMessage> posted() {
        std::vector<AiMessage> messages;
        for (const auto& bytes : ownQueue()) {
            AiMessage message{};
            std::memcpy(&message, bytes.data(), std::min(bytes.size(), sizeof message));
            messages.push_back(message);
        }
        return messages;
    }
};

// The DFU child's files go with it.
TEST_F(ChildDead, EveryEndedChildIsReapedAndPosted) {
    mkdir("/tmp/update.d", 0755);
    writeWholeFile("/tmp/update.d/dfu", "program");
    writeWholeFile("/tmp/update.d/stack.dfu", "firmware");
    std::int32_t first = endedChild(0);
    std::int32_t second = endedChild(1);
    update.dfuPid = second;
    testing::internal::CaptureStderr();
    childDead();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Child dead signal arrived\n"), std::string::npos);
    std::vector<AiMessage> messages = posted();
    ASSERT_EQ(messages.size(), 2u);
    std::set<std::pair<std::int32_t, std::int32_t>> ends;
    for (const AiMessage& message : messages) {
        EXPECT_EQ(message.length, kAiChildExitSize);
        EXPECT_EQ(message.type, AI_CHILD_EXIT);
        std::int32_t status;
        std::memcpy(&status, message.payload, sizeof status);
        ends.insert({message.param, status});
    }
    EXPECT_EQ(ends, (std::set<std::pair<std::int32_t, std::int32_t>>{{first, 0}, {second, 256}}));
    EXPECT_FALSE(fileExists("/tmp/update.d/dfu"));
    EXPECT_FALSE(fileExists("/tmp/update.d/stack.dfu"));
}

// When its report can't be posted, a child's end is taken at once.
TEST(ChildDeadWithoutDaemonAddress, TheEndIsTakenDirectly) {
    ASSERT_GE(openAiSocket("/tmp/elsewhere"), 0);  // nothing bound at the daemon's address
    update.dfuPid = endedChild(1);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    childDead();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "PID " + std::to_string(update.dfuPid) + "\n");
    EXPECT_NE(err.find("DFU process died; status: 256 \n"), std::string::npos) << err;
    closeAiSocket();
}

}  // namespace
