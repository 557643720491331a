#include "core/child_process.h"

#include <sys/wait.h>

#include <cstring>

#include "core/ai_socket.h"

bool reapEndedChild(std::int32_t* pid, std::int32_t* status) {
    int waitStatus = 0;
    pid_t ended = waitpid(-1, &waitStatus, WNOHANG);
    if (ended <= 0) return false;
    *pid = ended;
    *status = waitStatus;
    return true;
}

int postChildExit(std::int32_t pid, std::int32_t status) {
    AiMessage message = makeHeaderFrame(AI_CHILD_EXIT, pid, kAiChildExitSize);
    std::memcpy(message.payload, &status, sizeof status);
    return postToSelf(&message, kAiChildExitSize);
}
