#include "btlink/module_link.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>

#include "core/daemon_life.h"
#include "core/error_codes.h"
#include "core/log.h"
#include "core/platform.h"
#include "core/signals.h"

std::int32_t tlInterface = TL_HCI_AT_START;

namespace {

constexpr unsigned kSettleSeconds = 3;

// The device of the last openBtModule call, named in its log lines.
const char* linkDevicePath = kHciDevicePath;

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
                          "ioctl error TL interface %s: 0x%02x %m", linkDevicePath, errno);
            return false;
        }
    }
    return true;
}

pollfd& moduleEntry() { return pollSet[static_cast<std::size_t>(btModuleSlot)]; }

bool linkIsOpen() {
    return btModuleSlot > 0 && static_cast<std::size_t>(btModuleSlot) < pollSet.size();
}

void closeLink() {
    UPDATE_LOG_AS(kOperation, LogLevel::Warning, "closed %s with fd %d \n", linkDevicePath,
                  moduleEntry().fd);
    devClose(moduleEntry().fd);
    --pollFdCount;
    btModuleSlot = 0;
}

int openLink() {
    // The poll set has room for one module entry: a second open would leave the first
    // descriptor open and polled for ever.
    if (linkIsOpen()) closeLink();
    btModuleSlot = pollFdCount;
    if (!linkIsOpen()) {
        UPDATE_ERR_AS(kOperation, LogLevel::Critical, kErrorSystem,
                      "open error TL interface %s: no free poll entry", linkDevicePath);
        btModuleSlot = 0;
        return LINK_OPEN_FAILED;
    }
    // Close-on-exec: the DFU program and the shell commands must not hold the module's
    // device open.
    int fd = devOpen(linkDevicePath, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    moduleEntry().fd = fd;
    if (fd < 0) {
        UPDATE_ERR_AS(kOperation, LogLevel::Critical, kErrorSystem,
                      "open error TL interface %s: 0x%02x %m", linkDevicePath, errno);
        btModuleSlot = 0;
        return LINK_OPEN_FAILED;
    }
    UPDATE_LOG_AS(kOperation, LogLevel::Warning, "opened %s with fd %d  %d\n", linkDevicePath, fd,
                  pollFdCount);
    if (tlInterface == TL_BCSP && !setUpBccmdChannel(fd)) {
        devClose(fd);
        btModuleSlot = 0;
        return LINK_SETUP_FAILED;
    }
    // The module needs this long after its reset before it takes commands.
    pauseSeconds(kSettleSeconds);
    moduleEntry().revents = 0;
    moduleEntry().events = POLLIN | POLLPRI;
    ++pollFdCount;
    return LINK_OK;
}

}  // namespace

const char* tlDevicePath(std::int32_t transport) {
    return transport == TL_BCSP ? kBccmdChannelPath : kHciDevicePath;
}

int openBtModule(std::int32_t open) {
    linkDevicePath = tlDevicePath(tlInterface);
    if (open == 1) return openLink();
    if (linkIsOpen()) {
        closeLink();
    } else {
        UPDATE_ERR(LogLevel::Critical, kErrorSystem, "try to close not openen %s", linkDevicePath);
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

int moduleLinkDescriptor() { return linkIsOpen() ? moduleEntry().fd : -1; }
