#include "core/shell_commands.h"

#include <gtest/gtest.h>

#include <string>

#include "core/signals.h"
#include "tests/support/board.h"

namespace {

TEST(ShellCommands, BoardCommandsDoWhatTheStepsRelyOn) {
    writeWholeFile("/tmp/a.txt", "content\n");
    shellCopy("/tmp/a.txt", "/tmp/b.txt");
    EXPECT_EQ(readWholeFile("/tmp/b.txt"), "content\n");
    shellRemove("/tmp/a.txt");
    EXPECT_FALSE(fileExists("/tmp/a.txt"));
    testing::internal::CaptureStdout();
    shellCat("/tmp/b.txt");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "content\n");
}

TEST(ShellCommands, CommandsRunWithTheDefaultSignalMask) {
    installSignalHandlers();
    runShellCommand("grep SigBlk /proc/self/status > /tmp/mask");
    EXPECT_EQ(readWholeFile("/tmp/mask"), "SigBlk:\t0000000000000000\n");
}

TEST(ShellCommands, ACommandThatDoesNotFitIsNotRun) {
    writeWholeFile("/tmp/keep", "x");
    std::string longPath = "/tmp/keep " + std::string(200, 'x');
    testing::internal::CaptureStderr();
    shellRemove(longPath.c_str());
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("command too long, not run: "), std::string::npos) << err;
    EXPECT_TRUE(fileExists("/tmp/keep"));
}

}  // namespace
