#include "core/shell_commands.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "core/daemon_life.h"
#include "core/log.h"

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
    return withStartupSignalMask([text] { return std::system(text); });
}

void shellGunzip(const char* path) { runFormatted(" -gunzip %s", path); }
void shellTarExtract(const char* path) { runFormatted(" -tar xf %s", path); }
void shellRemove(const char* path) { runFormatted(" -rm %s", path); }
void shellCopy(const char* from, const char* to) { runFormatted(" -cp %s %s", from, to); }
void shellCat(const char* path) { runFormatted("cat %s", path); }
void shellInsmod(const char* directory, const char* module) {
    runFormatted("/bin/insmod %s%s", directory, module);
}
