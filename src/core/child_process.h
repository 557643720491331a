// Child processes: their ends are reaped in the main flow and reported to the daemon's own
// socket as AI_CHILD_EXIT messages, which the main loop then reads like any other message.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <optional>

#include "core/update_paths.h"

// Starts path as a child process without waiting for it: in directory dir (none: the
// daemon's), with argv and envp (no search of the program path), and with device as its
// standard output (none: the daemon's). The child starts with the signal mask the daemon was
// started with; the daemon's own descriptors are closed in it on exec. It leads a process group
// of its own, so that stopChild reaches whatever it starts in turn, and that group is recorded
// in the daemon's run file, "PID STARTTIME" (its start time in clock ticks since boot), until
// it is gone (forgetChildGroup). The child's process id, or -1 (logged) when no child could be
// created. A program that can't be executed ends its child with status 127.
std::int32_t startChildProcess(const char* dir, const char* path, char* const argv[],
                               char* const envp[], const char* device);

// Reaps one ended child without waiting. True with its process id and wait status; false when
// no child has ended (or none is left).
bool reapEndedChild(std::int32_t* pid, std::int32_t* status);

// Takes the end of a child: true, with the wait status as reaped, only once for a child that
// startChildProcess started and reapEndedChild has reaped. A report of the end of any other
// process (or a second one) is no news of this daemon's children.
bool takeChildEnd(std::int32_t pid, std::int32_t* status);

// The time that a process group has from SIGTERM to SIGKILL.
inline constexpr unsigned kGroupStopGraceSeconds = 5;

// Nothing is left of the recorded child's process group: its run file goes.
inline void forgetChildGroup() { unlink(kDfuGroupPath); }
// At start-up: a process group that the run file of an earlier run names, when the file is the
// daemon's own and the group still alive, gets SIGTERM, and SIGKILL after the grace time;
// not when the process at the group's id started at another time than the run file says (the
// id given out again since). The run file goes in any case.
void stopRecordedGroup();

// Sends signal to the process group of a child that startChildProcess started.
void stopChild(std::int32_t pid, int signal);

// At atMs (monotonicMs) the whole process group of child pid gets SIGKILL, whether or not its
// leader has ended by then: a member that ignores SIGTERM would outlive a leader that obeyed
// it. One such kill is pending at a time; a later call replaces it. The main loop does it
// (core/due_work.h).
void killChildGroupAt(std::int32_t pid, std::int64_t atMs);
std::optional<std::int64_t> groupKillDueMs();
// Sends the pending group kill when it is due by nowMs; the group's record goes with it.
void killOverdueGroup(std::int64_t nowMs);

// Posts the end of a child to the daemon's own address: an AI_CHILD_EXIT with the process id
// and the wait status. The result of write_message: 1, or -1 (logged).
int postChildExit(std::int32_t pid, std::int32_t status);
