// The steps whose work lies in the image and flash subsystem: the LAP software image written
// into flash, and the SDP records merged.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/ai_socket.h"
#include "core/clock.h"
#include "core/log.h"
#include "core/update_paths.h"
#include "image/image_writer.h"
#include "image/sdp_check.h"
#include "update/step_actions.h"
#include "update/update_state.h"

namespace {
constexpr unsigned kLapSoftwareTimeoutSeconds = 100;
}  // namespace

void lapSoftwareStep() {
    // The writing blocks the daemon; an alarm that expires meanwhile only logs the time-out.
    armAlarm(kLapSoftwareTimeoutSeconds);
    endStep(writeImage(update.acceptedImage, update.acceptedSoftware) == 1);
    armAlarm(0);
}

void checkSdpStep() {
    if (update.stepState != STATE_ENTER) return;
    // An update need not bring service records: without them there is nothing to merge, the
    // access point's stay as they are, and the check's open error says so. A merge that was
    // abandoned leaves the update's records uninstalled.
    struct stat records {};
    bool brought = lstat(kNewServicePath, &records) == 0 || errno != ENOENT;
    int merged = checkSdpRecords("/etc/service.txt", kNewServicePath);
    if (!brought) merged = 1;
    sendTrigger(0);
    endStep(merged == 1);
}
