#include "core/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/ai_socket.h"
#include "core/clock.h"
#include "core/error_codes.h"
#include "core/log.h"
#include "core/signals.h"
#include "core/update_paths.h"
#include "core/work_files.h"

namespace {

// The status of a child whose program couldn't be executed, as a shell gives it: the step
// must not take the failed start for a successful run.
constexpr int kNotExecutedStatus = 127;

// The children started and not yet taken back by takeChildEnd. The daemon runs one child
// at a time; a few more places cover children whose ends were never reported.
struct StartedChild {
    pid_t pid = 0;
    bool reaped = false;
    std::int32_t status = 0;
};
std::array<StartedChild, 4> startedChildren{};

void noteStarted(pid_t pid) {
    StartedChild* slot = &startedChildren[0];
    for (StartedChild& child : startedChildren) {
        if (child.pid == 0) {
            slot = &child;
            break;
        }
    }
    // All taken: the oldest record gives way.
    *slot = StartedChild{pid, false, 0};
}

StartedChild* startedChild(pid_t pid) {
    for (StartedChild& child : startedChildren)
        if (child.pid != 0 && child.pid == pid) return &child;
    return nullptr;
}

// The start time of process pid, in clock ticks since boot (field 22 of /proc/PID/stat), or 0
// when it can't be had. With the pid it names one process of this boot: a pid given out again
// comes with a later start time. /tmp, where the record of it lies, doesn't outlive a boot.
unsigned long long processStartTime(int pid) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    char text[512] = {};
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    if (read(fd, text, sizeof text - 1) < 0) text[0] = '\0';
    close(fd);
    // The fields after the name, which may hold blanks and ")", start at its last ")": field
    // 3 first, so the start time is the 20th of them.
    const char* field = std::strrchr(text, ')');
    for (int n = 0; field != nullptr && n < 20; ++n) field = std::strchr(field + 1, ' ');
    return field != nullptr ? std::strtoull(field + 1, nullptr, 10) : 0;
}

}  // namespace

std::int32_t startChildProcess(const char* dir, const char* path, char* const argv[],
                               char* const envp[], const char* device) {
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        UPDATE_ERR(LogLevel::Critical, kErrorSystem, "Unable to fork for %s !\n", path);
        return -1;
    }
    if (pid > 0) {
        // Set by both, so that the group exists whichever runs first.
        setpgid(pid, pid);
        noteStarted(pid);
        // A write that fails (a full /tmp) leaves an empty record, which no start-up takes.
        int record = makeFreshFile("startChildProcess", kDfuGroupPath, 0600);
        if (record >= 0) {
            dprintf(record, "%d %llu\n", static_cast<int>(pid), processStartTime(pid));
            close(record);
        }
        UPDATE_LOG(LogLevel::Detail, "Child %s started with %d pid\n", path, static_cast<int>(pid));
        return pid;
    }
    // The child: the daemon's handled signals come back to their defaults with the exec, and
    // its ignored SIGPIPE here, as the program expects a broken pipe to end it. A program
    // that kept them blocked couldn't be asked to stop, nor see its own children end: it is
    // not run.
    if (sigprocmask(SIG_SETMASK, waitSignalMask(), nullptr) != 0) {
        UPDATE_ERR(LogLevel::Critical, kErrorSystem, "Signal mask for %s not set: %m (%d)\n", path,
                   errno);
        _exit(kNotExecutedStatus);
    }
    signal(SIGPIPE, SIG_DFL);
    setpgid(0, 0);
    if (dir != nullptr && chdir(dir) != 0) {
        // Not noticed: the program runs in the daemon's directory.
    }
    if (device != nullptr) {
        int fd = open(device, O_RDWR | O_NONBLOCK);
        if (fd < 0) {
            UPDATE_ERR(LogLevel::Warning, kErrorSystem, "Failed to open device %s: %m (%d).\n",
                       device, errno);
            kill(getpid(), SIGKILL);
        }
        dup2(fd, STDOUT_FILENO);
    }
    execve(path, argv, envp);
    UPDATE_ERR(LogLevel::Critical, kErrorSystem, "Execution of %s failed: %m (%d)\n", path, errno);
    _exit(kNotExecutedStatus);
}

bool reapEndedChild(std::int32_t* pid, std::int32_t* status) {
    int waitStatus = 0;
    pid_t ended = waitpid(-1, &waitStatus, WNOHANG);
    if (ended <= 0) return false;
    *pid = ended;
    *status = waitStatus;
    if (StartedChild* child = startedChild(ended)) {
        child->reaped = true;
        child->status = waitStatus;
    }
    return true;
}

bool takeChildEnd(std::int32_t pid, std::int32_t* status) {
    StartedChild* child = startedChild(pid);
    if (child == nullptr || !child->reaped) return false;
    *status = child->status;
    *child = StartedChild{};
    return true;
}

void stopChild(std::int32_t pid, int signal) {
    StartedChild* child = pid > 0 ? startedChild(pid) : nullptr;
    if (child == nullptr) return;
    // Once reaped, the process id may be another process's; the group lives on with its
    // members and its id is not given out meanwhile.
    if (kill(-pid, signal) != 0 && !child->reaped) kill(pid, signal);
}

namespace {
struct GroupKill {
    std::int32_t group = 0;
    std::int64_t atMs = 0;
};
GroupKill pendingGroupKill;
}  // namespace

void killChildGroupAt(std::int32_t pid, std::int64_t atMs) {
    if (pid > 0) pendingGroupKill = GroupKill{pid, atMs};
}

std::optional<std::int64_t> groupKillDueMs() {
    if (pendingGroupKill.group == 0) return std::nullopt;
    return pendingGroupKill.atMs;
}

void killOverdueGroup(std::int64_t nowMs) {
    if (pendingGroupKill.group == 0 || nowMs < pendingGroupKill.atMs) return;
    // The group's id stays the leader's for as long as any member lives, and is not given out
    // meanwhile; a group with no member left is no error.
    if (kill(-pendingGroupKill.group, SIGKILL) == 0) {
        UPDATE_LOG(LogLevel::Warning, "process group %d killed after the grace time\n",
                   static_cast<int>(pendingGroupKill.group));
    }
    pendingGroupKill = GroupKill{};
    forgetChildGroup();
}

void stopRecordedGroup() {
    char text[40] = {};
    // Only a record of the daemon's own making is trusted: anybody may make a file in /tmp.
    int fd = openOwnFile(__func__, kDfuGroupPath, O_RDONLY);
    if (fd >= 0) {
        if (read(fd, text, sizeof text - 1) < 0) text[0] = '\0';
        close(fd);
    }
    // A process at the group's pid is the program that the earlier run started only with the
    // start time recorded: otherwise the pid was given out again and leads a group of another
    // program's, which is left alone. With no process at that pid the group's id is still its
    // remaining members' (the kernel gives out no id that a group holds). (Never 0 or 1: the
    // daemon's own group, or every process.)
    int group = 0;
    unsigned long long started = 0;
    std::sscanf(text, "%d %llu", &group, &started);
    unsigned long long now = group > 1 ? processStartTime(group) : 0;
    if (now != 0 && now != started) {
        UPDATE_LOG(LogLevel::Warning,
                   "process group %d of the record is not the earlier run's; left alone\n", group);
    } else if (group > 1 && kill(-group, SIGTERM) == 0) {
        UPDATE_LOG(LogLevel::Warning, "process group %d of an earlier run stopped\n", group);
        sleepMs(std::int64_t{kGroupStopGraceSeconds} * 1000);
        kill(-group, SIGKILL);
    }
    removeWhateverStands(__func__, kDfuGroupPath);
}

int postChildExit(std::int32_t pid, std::int32_t status) {
    AiMessage message = makeHeaderFrame(AI_CHILD_EXIT, pid, kAiChildExitSize);
    std::memcpy(message.payload, &status, sizeof status);
    return postToSelf(&message, kAiChildExitSize);
}
