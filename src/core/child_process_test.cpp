#include "core/child_process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <string>

#include "core/ai_socket.h"
#include "core/file_util.h"
#include "core/log.h"
#include "core/signals.h"
#include "tests/support/board.h"

namespace {

// The child's wait status, once it has ended.
int waitFor(std::int32_t pid) {
    int status = -1;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return status;
}

char* const kNoEnvironment[] = {nullptr};

TEST(StartChildProcess, RunsTheProgramInItsFolderWithItsArgumentsAndDevice) {
    mkdir("/tmp/work", 0755);
    writeWholeFile("/tmp/work/prog",
                   "#!/bin/sh\necho \"$0 $1 $2 [$DAEMONS_OWN] $(pwd)\"\necho oops >&2\nexit 3\n");
    setenv("DAEMONS_OWN", "not passed on", 1);
    chmod("/tmp/work/prog", 0755);
    char name[] = "prog", one[] = "-a", two[] = "b c";
    char* argv[] = {name, one, two, nullptr};
    writeWholeFile("/tmp/out", "");  // the device: it exists beforehand
    testing::internal::CaptureStderr();
    std::int32_t pid =
        startChildProcess("/tmp/work/", "/tmp/work/prog", argv, kNoEnvironment, "/tmp/out");
    ASSERT_GT(pid, 0);
    int status = waitFor(pid);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3);
    // No path search, no environment; standard output on the device, standard error kept.
    EXPECT_EQ(readWholeFile("/tmp/out"), "/tmp/work/prog -a b c [] /tmp/work\n");
}

TEST(StartChildProcess, ADeviceThatCantBeOpenedKillsTheChild) {
    char name[] = "true";
    char* argv[] = {name, nullptr};
    unlink(kUpdateReportPath);
    testing::internal::CaptureStderr();
    std::int32_t pid =
        startChildProcess(nullptr, "/bin/sh", argv, kNoEnvironment, "/tmp/no/such/device");
    int status = waitFor(pid);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    EXPECT_EQ(readWholeFile(kUpdateReportPath),
              "Failed to open device /tmp/no/such/device: No such file or directory (2).\n");
}

// The child inherits neither the daemon's socket nor its open files, nor its blocked signals.
TEST(StartChildProcess, TheChildGetsNoneOfTheDaemonsDescriptorsAndTheDefaultMask) {
    installSignalHandlers();
    ASSERT_GE(openAiSocket(kAiOwnPath), 0);
    FileStream stream(openFileStream("/tmp/open-stream", "w"));
    ASSERT_TRUE(stream);
    char shell[] = "sh", option[] = "-c";
    char script[] =
        "for f in /proc/self/fd/*; do readlink \"$f\"; done; grep SigBlk /proc/self/status";
    char* argv[] = {shell, option, script, nullptr};
    writeWholeFile("/tmp/fds", "");
    std::int32_t pid = startChildProcess(nullptr, "/bin/sh", argv, kNoEnvironment, "/tmp/fds");
    waitFor(pid);
    closeAiSocket();
    std::string fds = readWholeFile("/tmp/fds");
    EXPECT_EQ(fds.find("socket:"), std::string::npos) << fds;
    EXPECT_EQ(fds.find("/tmp/open-stream"), std::string::npos) << fds;
    EXPECT_NE(fds.find("SigBlk:\t0000000000000000\n"), std::string::npos) << fds;
}

}  // namespace
