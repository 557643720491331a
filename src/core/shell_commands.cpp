#include "core/shell_commands.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "core/error_codes.h"
#include "core/log.h"
#include "core/signals.h"

namespace {

// Long enough for every command with the daemon's fixed paths.
constexpr std::size_t kCommandSize = 160;

// The text of the command run last, for the report of its failure.
char lastCommand[kCommandSize] = "";

// A command that doesn't fit is not run: a cut path could name another file.
__attribute__((format(printf, 1, 2))) int runFormatted(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(lastCommand, sizeof lastCommand, format, args);
    va_end(args);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof lastCommand) {
        UPDATE_ERR(LogLevel::Critical, kErrorOperationFailed,
                   "command too long, not run: %.40s...\n", lastCommand);
        return -1;
    }
    return runShellCommand(lastCommand);
}

}  // namespace

int runShellCommand(const char* text) {
    std::fflush(stdout);
    // As system() does, but the daemon's own signals stay blocked meanwhile and only the
    // command starts with the mask the daemon was started with, and with SIGPIPE, which the
    // daemon ignores, back to its default. A command whose mask couldn't be set is not run: it
    // would start with the daemon's signals blocked.
    posix_spawnattr_t attributes;
    int error = posix_spawnattr_init(&attributes);
    int status = -1;
    if (error == 0) {
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        error =
            posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        if (error == 0) error = posix_spawnattr_setsigmask(&attributes, waitSignalMask());
        if (error == 0) error = posix_spawnattr_setsigdefault(&attributes, &defaults);
        char shell[] = "sh";
        char option[] = "-c";
        char* argv[] = {shell, option, const_cast<char*>(text), nullptr};
        pid_t pid = -1;
        if (error == 0) error = posix_spawn(&pid, "/bin/sh", nullptr, &attributes, argv, environ);
        posix_spawnattr_destroy(&attributes);
        if (error == 0) {
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
    if (error != 0) errno = error;
    applyPendingSignals();
    return status;
}

int shellGunzip(const char* path) { return runFormatted(" -gunzip %s", path); }
int shellTarExtract(const char* path) { return runFormatted(" -tar xf %s", path); }
int shellRemove(const char* path) { return runFormatted(" -rm %s", path); }
int shellCopy(const char* from, const char* to) { return runFormatted(" -cp %s %s", from, to); }
int shellCat(const char* path) { return runFormatted("cat %s", path); }
int shellInsmod(const char* folder, const char* module) {
    return runFormatted("/bin/insmod %s/%s", folder, module);
}

bool commandSucceeded(const char* function, int status) {
    if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    if (status != -1 && WIFEXITED(status)) {
        UPDATE_ERR_AS(function, LogLevel::Critical, kErrorOperationFailed,
                      "command \"%s\" failed: exit status %d\n", lastCommand, WEXITSTATUS(status));
    } else if (status != -1 && WIFSIGNALED(status)) {
        UPDATE_ERR_AS(function, LogLevel::Critical, kErrorOperationFailed,
                      "command \"%s\" failed: signal %d\n", lastCommand, WTERMSIG(status));
    } else {
        UPDATE_ERR_AS(function, LogLevel::Critical, kErrorOperationFailed,
                      "command \"%s\" failed: not run\n", lastCommand);
    }
    return false;
}
