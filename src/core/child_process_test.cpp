#include "core/child_process.h"

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
#include "tests/support/board.h"
#include "tests/support/daemon_socket.h"
#include "update/update_state.h"

namespace {

// A child that has ended with code and waits to be reaped.
pid_t endedChild(int code) {
    pid_t pid = fork();
    if (pid == 0) _exit(code);
    EXPECT_TRUE(eventually(
        [pid] {
            siginfo_t info{};
            return waitid(P_PID, pid, &info, WEXITED | WNOWAIT) == 0;
        },
        std::chrono::seconds(5)));
    return pid;
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

TEST_F(ChildDead, EveryEndedChildIsReapedAndPosted) {
    pid_t first = endedChild(0);
    pid_t second = endedChild(1);
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

TEST_F(ChildDead, DfuChildsFilesGoWithIt) {
    mkdir("/tmp/update.d", 0755);
    writeWholeFile("/tmp/update.d/dfu", "program");
    writeWholeFile("/tmp/update.d/stack.dfu", "firmware");
    dfuPid = endedChild(0);
    testing::internal::CaptureStderr();
    childDead();
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(fileExists("/tmp/update.d/dfu"));
    EXPECT_FALSE(fileExists("/tmp/update.d/stack.dfu"));
    EXPECT_EQ(posted().size(), 1u);
}

TEST(ChildDeadWithoutDaemonAddress, DfuEndSetsTheStateDirectly) {
    ASSERT_GE(openAiSocket("/tmp/elsewhere"), 0);  // nothing bound at the daemon's address
    dfuPid = endedChild(1);
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
