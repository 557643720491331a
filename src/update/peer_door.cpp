#include "update/peer_door.h"

#include <cstring>

#include "core/ai_socket.h"
#include "core/log.h"
#include "update/operation_names.h"

namespace {

bool underWay = false;

}  // namespace

bool updateUnderWay() { return underWay; }

bool admitStartRequest() {
    if (underWay) {
        UPDATE_LOG_AS(kReadMessage, LogLevel::Warning, "update under way; start request ignored\n");
        refuseStartRequest();
        return false;
    }
    underWay = true;
    return true;
}

void refuseStartRequest() { sendReply(1, "OK", 3); }

void announceUpdateEnd(const char* result) {
    if (underWay) {
        sendLastingNotice(2, result, std::strlen(result));
    } else {
        sendNotice(2, result, std::strlen(result));
    }
    underWay = false;
}
