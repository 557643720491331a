#include "core/daemon_life.h"

#include <cstdlib>

#include "core/ai_socket.h"
#include "core/error_codes.h"
#include "core/log.h"

namespace {
bool exitLatch = false;
}  // namespace

void exitProcess() {
    closeAiSocket();
    std::exit(0);
}

void reboot(const char* reason) {
    if (exitLatch) return;
    exitLatch = true;
    UPDATE_ERR(LogLevel::Warning, kErrorWriteOrEvent, "Exit because %s !!\n", reason);
    exitProcess();
}

void sigTerm(const char* name) {
    if (admitRepeated(Repeated::Signals))
        UPDATE_ERR(LogLevel::Warning, kErrorWriteOrEvent, "%s receiced and ignored !!\n", name);
}
