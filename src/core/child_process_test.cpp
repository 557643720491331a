#include "core/child_process.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "core/ai_socket.h"
#include "tests/support/board.h"
#include "update/update_state.h"

namespace {

class ChildDead : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(openAiSocket(kAiOwnPath), 0);
        setAiDestination(kAiPeerPath);
    }
    void TearDown() override { closeAiSocket(); }

    pid_t childExiting(int code) {
        pid_t pid = fork();
        if (pid == 0) _exit(code);
        return pid;
    }

    std::vector<AiMessage> posted() {
        std::vector<AiMessage> messages;
        AiMessage message{};
        while (recv(aiSocketDescriptor(), &message, sizeof message, MSG_DONTWAIT) > 0)
            messages.push_back(message);
        return messages;
    }
};

TEST_F(ChildDead, EveryEndedChildIsReapedAndPosted) {
    pid_t first = childExiting(0);
    pid_t second = childExiting(1);
    ASSERT_TRUE(eventually(
        [&] {
            siginfo_t info{};
            return waitid(P_PID, second, &info, WEXITED | WNOWAIT) == 0 &&
                   waitid(P_PID, first, &info, WEXITED | WNOWAIT) == 0;
        },
        std::chrono::seconds(5)));
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
}

TEST_F(ChildDead, NoEndedChildPostsNothing) {
    testing::internal::CaptureStderr();
    childDead();
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(posted().empty());
}

TEST_F(ChildDead, DfuChildsFilesGoWithIt) {
    mkdir("/tmp/update.d", 0755);
    writeWholeFile("/tmp/update.d/dfu", "program");
    writeWholeFile("/tmp/update.d/stack.dfu", "firmware");
    dfuPid = childExiting(0);
    ASSERT_TRUE(eventually(
        [] {
            siginfo_t info{};
            return waitid(P_PID, dfuPid, &info, WEXITED | WNOWAIT) == 0;
        },
        std::chrono::seconds(5)));
    testing::internal::CaptureStderr();
    childDead();
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(fileExists("/tmp/update.d/dfu"));
    EXPECT_FALSE(fileExists("/tmp/update.d/stack.dfu"));
    EXPECT_EQ(posted().size(), 1u);
}

TEST(ChildDeadWithoutDaemonAddress, DfuEndSetsTheStateDirectly) {
    ASSERT_GE(openAiSocket("/tmp/elsewhere"), 0);  // nothing bound at the daemon's address
    dfuPid = fork();
    if (dfuPid == 0) _exit(1);
    ASSERT_TRUE(eventually(
        [] {
            siginfo_t info{};
            return waitid(P_PID, dfuPid, &info, WEXITED | WNOWAIT) == 0;
        },
        std::chrono::seconds(5)));
    stepState = STATE_WAIT;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    childDead();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "PID " + std::to_string(dfuPid) + "\n");
    EXPECT_EQ(stepState, STATE_DFU_DONE);
    closeAiSocket();
}

}  // namespace
