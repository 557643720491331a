#include "core/shell_commands.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "core/log.h"
#include "core/signals.h"

extern char** environ;

namespace {

// Long enough for every command with the daemon's fixed paths.
constexpr std::size_t kCommandSize = 160;

// A command that doesn't fit is not run: a cut path could name another file.
__attribute__((format(printf, 1, 2))) void runFormatted(const char* format, ...) {
    char command[kCommandSize];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(command, sizeof command, format, args);
    va_end(args);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof command) {
        UPDATE_ERR(LogLevel::Critical, 106, "command too long, not run: %.40s...\n", command);
        return;
    }
    runShellCommand(command);
}

}  // namespace

int runShellCommand(const char* text) {
    std::fflush(stdout);
    // As system() does, but the daemon's own signals stay blocked meanwhile and only the
    // command starts with the mask the daemon was started with.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setsigmask(&attributes, waitSignalMask());
    char shell[] = "sh";
    char option[] = "-c";
    char* argv[] = {shell, option, const_cast<char*>(text), nullptr};
    pid_t pid = -1;
    int error = posix_spawn(&pid, "/bin/sh", nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    int status = -1;
    if (error != 0) {
        errno = error;
    } else {
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    applyPendingSignals();
    return status;
}

void shellGunzip(const char* path) { runFormatted(" -gunzip %s", path); }
void shellTarExtract(const char* path) { runFormatted(" -tar xf %s", path); }
void shellRemove(const char* path) { runFormatted(" -rm %s", path); }
void shellCopy(const char* from, const char* to) { runFormatted(" -cp %s %s", from, to); }
void shellCat(const char* path) { runFormatted("cat %s", path); }
void shellInsmod(const char* directory, const char* module) {
    runFormatted("/bin/insmod %s%s", directory, module);
}
