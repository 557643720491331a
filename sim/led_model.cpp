#include "sim/led_model.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "sim/state_files.h"

namespace {

struct LedState {
    int state = kLedStateOff;
    int mode = 0;
    int period = 0;
};

LedState loadState() {
    LedState led;
    std::string text = stateFileText(kLedStateFile);
    if (std::sscanf(text.c_str(), "state %d mode %d period %d", &led.state, &led.mode,
                    &led.period) != 3) {
        led = LedState{};
    }
    return led;
}

void saveState(const LedState& led) {
    writeStateFile(kLedStateFile, "state " + std::to_string(led.state) + "\nmode " +
                                      std::to_string(led.mode) + "\nperiod " +
                                      std::to_string(led.period) + "\n");
}

bool faultIs(const char* word) { return faultStrikes(kLedFaultFile, word); }

// Notes the request in led.requests; returns result, setting errno to error when it fails.
int journal(const std::string& request, int result, int error) {
    appendStateFile(kLedRequestsFile, request + (result < 0 ? " failed\n" : "\n"));
    if (result < 0) errno = error;
    return result;
}

int valueOf(void* arg) { return static_cast<int>(reinterpret_cast<std::intptr_t>(arg)); }

}  // namespace

int ledModelOpen(int) {
    if (faultIs("missing")) {
        errno = ENOENT;
        return -1;
    }
    return 0;
}

int ledModelIoctl(int, unsigned long request, void* arg) {
    LedState led = loadState();
    switch (request) {
        case kLedModelGetState:
            if (faultIs("getstate")) return journal("get-state", -1, EIO);
            if (arg == nullptr) return journal("get-state", -1, EFAULT);
            std::memcpy(arg, &led.state, sizeof led.state);
            return journal("get-state", 0, 0);
        case kLedModelSetMode: {
            int mode = valueOf(arg);
            std::string text = "set-mode " + std::to_string(mode);
            if (faultIs("setmode")) return journal(text, -1, EIO);
            if (mode < 0 || mode > 2) return journal(text, -1, EINVAL);
            led.mode = mode;
            led.state = mode == 0 ? kLedStateOff : mode == 1 ? kLedStateBlinking : kLedStateOn;
            saveState(led);
            return journal(text, 0, 0);
        }
        case kLedModelSetPeriod: {
            int period = valueOf(arg);
            std::string text = "set-period " + std::to_string(period);
            if (faultIs("setperiod")) return journal(text, -1, EIO);
            if (period < 1) return journal(text, -1, EINVAL);
            led.period = period;
            saveState(led);
            return journal(text, 0, 0);
        }
        default:
            errno = ENOTTY;
            return -1;
    }
}

int ledModelClose(int) { return 0; }
