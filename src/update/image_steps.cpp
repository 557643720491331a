// The steps whose work lies in the image and flash subsystem: the LAP software image written
// into flash, and the SDP records merged.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/ai_socket.h"
#include "core/log.h"
#include "image/image_writer.h"
#include "image/sdp_check.h"
#include "update/step_actions.h"
#include "update/update_state.h"

namespace {
constexpr unsigned kLapSoftwareTimeoutSeconds = 100;
constexpr const char* kNewServicePath = "/tmp/update.d/service.txt";
}  // namespace

void lapSoftwareStep() {
    // The writing blocks the daemon; an alarm that expires meanwhile only logs the time-out.
    alarm(kLapSoftwareTimeoutSeconds);
    endStep(writeImage() == 1);
    alarm(0);
}

void checkSdpStep() {
    if (update.stepState != STATE_ENTER) return;
    // An update need not bring service records: without them there is nothing to merge, and
    // the access point's stay as they are. A merge that was abandoned leaves the update's
    // records uninstalled.
    int merged = 1;
    struct stat records {};
    if (lstat(kNewServicePath, &records) == 0 || errno != ENOENT) {
        merged = checkSdpRecords("/etc/service.txt", kNewServicePath);
    } else {
        UPDATE_LOG(LogLevel::Detail, "no %s in the update, no SDP records merged\n",
                   kNewServicePath);
    }
    sendTrigger(0);
    if (merged == 1) {
        startNextStep("OK\n");
    } else {
        startNextStep(" NOK\n");
        update.updateResult = 0;
    }
}
