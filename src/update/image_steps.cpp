// The steps whose work lies in the image and flash subsystem: the LAP software image written
// into flash, and the SDP records merged.
#include <unistd.h>

#include "core/ai_socket.h"
#include "image/image_writer.h"
#include "image/sdp_check.h"
#include "update/step_actions.h"
#include "update/update_state.h"

namespace {
constexpr unsigned kLapSoftwareTimeoutSeconds = 100;
}  // namespace

void lapSoftwareStep() {
    // The writing blocks the daemon; an alarm that expires meanwhile only logs the time-out.
    alarm(kLapSoftwareTimeoutSeconds);
    endStep(writeImage() == 1);
    alarm(0);
}

void checkSdpStep() {
    if (stepState != STATE_ENTER) return;
    // A merge that was abandoned leaves the update's service records uninstalled.
    int merged = checkSdpRecords("/etc/service.txt", "/tmp/update.d/service.txt");
    sendTrigger(0);
    if (merged == 1) {
        startNextStep("OK\n");
    } else {
        startNextStep(" NOK\n");
        updateResult = 0;
    }
}
