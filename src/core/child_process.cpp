#include "core/child_process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "core/ai_socket.h"
#include "core/log.h"
#include "update/update_state.h"

std::int32_t dfuPid = 0;

void childDead() {
    UPDATE_LOG(LogLevel::Warning, "Child dead signal arrived\n");
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        if (pid == dfuPid) {
            unlink("/tmp/update.d/stack.dfu");
            unlink("/tmp/update.d/dfu");
        }
        AiMessage message{};
        message.length = kAiChildExitSize;
        message.type = AI_CHILD_EXIT;
        message.param = pid;
        std::int32_t statusWord = status;
        std::memcpy(message.payload, &statusWord, sizeof statusWord);
        if (postToSelf(&message, kAiChildExitSize) == -1) {
            std::printf("PID %d\n", static_cast<int>(pid));
            if (pid == dfuPid) stepState = STATE_DFU_DONE;
        }
    }
}

void childExitReported(std::int32_t pid, std::int32_t status) {
    UPDATE_LOG(LogLevel::Warning, "Child with PID %d dead; status: %d \n", pid, status);
    if (pid != dfuPid) return;
    UPDATE_LOG(LogLevel::Warning, "DFU process died; status: %d \n", status);
    stepState = status != 0 ? STATE_DFU_FAILED : STATE_DFU_DONE;
    postWakeUp(WAKE_UP);
}
