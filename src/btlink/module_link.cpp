#include "btlink/module_link.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>

#include "core/due_work.h"
#include "core/error_codes.h"
#include "core/log.h"
#include "core/platform.h"

std::int32_t tlInterface = TL_HCI_AT_START;

namespace {

constexpr unsigned kSettleSeconds = 3;

// The device of the last openBtModule call, named in its log lines, and the descriptor of the
// open link (-1: none).
struct ModuleLink {
    const char* devicePath = kHciDevicePath;
    int descriptor = -1;
};
ModuleLink moduleLink;

struct SetupRequest {
    unsigned long request;
    bool takesValue;  // a pointer to value; otherwise no argument
    int value;
};
constexpr std::array<SetupRequest, 4> kBcspSetup{{
    {BCSP_SETUP_REQUEST_1, true, kBcspSetupValue1},
    {BCSP_SETUP_REQUEST_2, true, kBcspSetupValue2},
    {BCSP_SETUP_REQUEST_3, false, 0},
    {BCSP_SETUP_REQUEST_4, false, 0},
}};

// The helpers below report in the name of openBtModule, the operation they serve.
constexpr const char* kOperation = "openBtModule";

// Issues the set-up requests in order; false (logged) at the first one that doesn't return 0.
bool setUpBccmdChannel(int fd) {
    for (const SetupRequest& setup : kBcspSetup) {
        int value = setup.value;
        if (devIoctl(fd, setup.request, setup.takesValue ? &value : nullptr) != 0) {
            UPDATE_ERR_AS(kOperation, LogLevel::Critical, kErrorSystem,
                          "ioctl error TL interface %s: 0x%02x %m", moduleLink.devicePath, errno);
            return false;
        }
    }
    return true;
}

void closeLink() {
    UPDATE_LOG_AS(kOperation, LogLevel::Warning, "closed %s with fd %d \n", moduleLink.devicePath,
                  moduleLink.descriptor);
    devClose(moduleLink.descriptor);
    moduleLink.descriptor = -1;
}

int openLink() {
    // One link at a time: a second open would leave the first descriptor open for ever.
    if (moduleLink.descriptor >= 0) closeLink();
    // Close-on-exec: the DFU program and the shell commands must not hold the module's
    // device open.
    constexpr int kFlags = O_RDWR | O_NONBLOCK | O_CLOEXEC;
    int fd = -1;
    // A daemon started again after an earlier run's firmware step loaded the BCSP driver finds
    // the serial line the driver's: the module answers on the driver's channel alone, which
    // exists only while the driver is loaded. On a fresh boot it doesn't, and HCI comes first.
    if (tlInterface != TL_BCSP && (fd = devOpen(kBccmdChannelPath, kFlags)) >= 0) {
        useBcspTransport();
        moduleLink.devicePath = kBccmdChannelPath;
        UPDATE_LOG_AS(kOperation, LogLevel::Warning, "BCSP driver found loaded\n");
    }
    if (fd < 0) fd = devOpen(moduleLink.devicePath, kFlags);
    if (fd < 0) {
        UPDATE_ERR_AS(kOperation, LogLevel::Critical, kErrorSystem,
                      "open error TL interface %s: 0x%02x %m", moduleLink.devicePath, errno);
        return LINK_OPEN_FAILED;
    }
    // The main loop polls the AI socket alone until the link is open.
    UPDATE_LOG_AS(kOperation, LogLevel::Warning, "opened %s with fd %d  1\n", moduleLink.devicePath,
                  fd);
    if (tlInterface == TL_BCSP && !setUpBccmdChannel(fd)) {
        devClose(fd);
        return LINK_SETUP_FAILED;
    }
    moduleLink.descriptor = fd;
    // The module needs this long after its reset before it takes commands.
    pauseDoingDueWork(kSettleSeconds);
    return LINK_OK;
}

}  // namespace

void useBcspTransport() { tlInterface = TL_BCSP; }

const char* tlDevicePath(std::int32_t transport) {
    return transport == TL_BCSP ? kBccmdChannelPath : kHciDevicePath;
}

int openBtModule(std::int32_t open) {
    moduleLink.devicePath = tlDevicePath(tlInterface);
    if (open == 1) return openLink();
    if (moduleLink.descriptor >= 0) {
        closeLink();
    } else {
        UPDATE_ERR(LogLevel::Critical, kErrorSystem, "try to close not openen %s",
                   moduleLink.devicePath);
    }
    return LINK_OK;
}

int resetBtModule() {
    int fd = devOpen(kHwInterfacePath, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        UPDATE_ERR(LogLevel::Critical, kErrorSystem, "open error ETX device %m");
        return -1;
    }
    UPDATE_LOG(LogLevel::Detail, "Reseting Bluetooth module ...\n");
    int result = 1;
    if (devIoctl(fd, ETX_RESET_BT_MODULE, nullptr) < 0) {
        UPDATE_ERR(LogLevel::Critical, kErrorSystem, "BT Reset failed: %m");
        result = -1;
    }
    devClose(fd);
    return result;
}

int moduleLinkDescriptor() { return moduleLink.descriptor; }
