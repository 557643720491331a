#include "core/child_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "core/ai_socket.h"
#include "core/file_util.h"
#include "core/log.h"
#include "core/signals.h"
#include "tests/support/board.h"
#include "tests/support/logged.h"

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

// The child inherits neither the daemon's socket nor its open files, nor its blocked signals,
// nor its ignored SIGPIPE: the DFU program expects a broken pipe to end it.
TEST(StartChildProcess, TheChildGetsNoneOfTheDaemonsDescriptorsAndTheDefaultMask) {
    installSignalHandlers();
    ASSERT_GE(openAiSocket(kAiOwnPath), 0);
    FileStream stream(openFileStream("/tmp/open-stream", "w"));
    ASSERT_TRUE(stream);
    char shell[] = "sh", option[] = "-c";
    char script[] =
        "for f in /proc/self/fd/*; do readlink \"$f\"; done; grep 'SigBlk\\|SigIgn' "
        "/proc/self/status";
    char* argv[] = {shell, option, script, nullptr};
    writeWholeFile("/tmp/fds", "");
    std::int32_t pid = startChildProcess(nullptr, "/bin/sh", argv, kNoEnvironment, "/tmp/fds");
    waitFor(pid);
    closeAiSocket();
    std::string fds = readWholeFile("/tmp/fds");
    EXPECT_EQ(fds.find("socket:"), std::string::npos) << fds;
    EXPECT_EQ(fds.find("/tmp/open-stream"), std::string::npos) << fds;
    EXPECT_NE(fds.find("SigBlk:\t0000000000000000\n"), std::string::npos) << fds;
    EXPECT_FALSE(ignoresSigpipe(fds)) << fds;
}

}  // namespace

namespace {

// A process group as a crashed run's DFU program leaves it: a leader that ignores SIGTERM.
pid_t startLoneGroup() {
    // Ignored from the fork on, whenever the child first runs.
    auto* before = signal(SIGTERM, SIG_IGN);
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        for (;;) pause();
    }
    signal(SIGTERM, before);
    setpgid(pid, pid);
    return pid;
}

// Field 22 of /proc/PID/stat, the process's start time, read here on its own.
unsigned long long startTimeOf(pid_t pid) {
    const std::string stat = readWholeFile("/proc/" + std::to_string(pid) + "/stat");
    std::size_t at = stat.rfind(')');
    for (int field = 2; field < 22 && at != std::string::npos; ++field) at = stat.find(' ', at + 1);
    return at == std::string::npos ? 0 : std::stoull(stat.substr(at + 1));
}

TEST(StartChildProcess, RecordsTheGroupWithItsLeadersStartTime) {
    char program[] = "sleep";
    char seconds[] = "30";
    char* const argv[] = {program, seconds, nullptr};
    std::int32_t pid = startChildProcess(nullptr, "/usr/bin/sleep", argv, kNoEnvironment, nullptr);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(readWholeFile(kDfuGroupPath),
              std::to_string(pid) + " " + std::to_string(startTimeOf(pid)) + "\n");
    kill(pid, SIGKILL);
    waitFor(pid);
    forgetChildGroup();
}

struct RecordCase {
    const char* name;
    mode_t mode;
    // Added to the leader's start time in the record: another process at the group's id.
    unsigned long long startTimeOff;
    bool stopped;
};

class RecordedGroupAtStartUp : public testing::TestWithParam<RecordCase> {};

// Only the daemon's own record is trusted, and only while the process at the group's id is the
// one it names: a file that others could have written, or a pid given out again since, names a
// group that is left alone.
TEST_P(RecordedGroupAtStartUp, IsStoppedOnlyByTheDaemonsOwnRecordOfIt) {
    pid_t group = startLoneGroup();
    writeWholeFile(kDfuGroupPath, std::to_string(group) + " " +
                                      std::to_string(startTimeOf(group) + GetParam().startTimeOff) +
                                      "\n");
    chmod(kDfuGroupPath, GetParam().mode);
    std::string log = loggedBy([] { stopRecordedGroup(); });
    EXPECT_FALSE(fileExists(kDfuGroupPath));
    if (GetParam().stopped) {
        EXPECT_EQ(log, "LOG stopRecordedGroup: process group " + std::to_string(group) +
                           " of an earlier run stopped\n");
        int status = 0;
        EXPECT_EQ(waitpid(group, &status, 0), group);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        return;
    }
    if (GetParam().mode == 0600) {
        EXPECT_EQ(log, "LOG stopRecordedGroup: process group " + std::to_string(group) +
                           " of the record is not the earlier run's; left alone\n");
    } else {
        EXPECT_EQ(log,
                  std::string(
                      "ERR stopRecordedGroup: /tmp/dfu_group.run refused: not the update daemon's "
                      "own file (owner 0, mode 0") +
                      (GetParam().mode == 0666 ? "666" : "620") + ", 1 names)\n");
    }
    EXPECT_EQ(kill(group, 0), 0);
    kill(group, SIGKILL);
    waitpid(group, nullptr, 0);
}

INSTANTIATE_TEST_SUITE_P(ChildProcess, RecordedGroupAtStartUp,
                         testing::Values(RecordCase{"own", 0600, 0, true},
                                         RecordCase{"pidGivenOutAgain", 0600, 1, false},
                                         RecordCase{"writableByAll", 0666, 0, false},
                                         RecordCase{"writableByItsGroup", 0620, 0, false}),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
