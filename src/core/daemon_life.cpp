#include "core/daemon_life.h"

#include <cstdlib>

#include "core/ai_socket.h"
#include "core/error_codes.h"
#include "core/log.h"

std::int32_t keepRunning = 1;
std::array<pollfd, 3> pollSet{};
std::int32_t pollFdCount = 0;
std::int32_t btModuleSlot = 0;

namespace {
std::int32_t exitLatch = 0;
}  // namespace

void exitProcess() {
    closeAiSocket();
    keepRunning = 0;
    std::exit(0);
}

void reboot(const char* reason) {
    if (exitLatch != 0) return;
    exitLatch = 1;
    UPDATE_ERR(LogLevel::Warning, kErrorWriteOrEvent, "Exit because %s !!\n", reason);
    exitProcess();
}

void sigTerm() {
    UPDATE_ERR(LogLevel::Warning, kErrorWriteOrEvent, "SIGTERM receiced and ignored !!\n");
}
