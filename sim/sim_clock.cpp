#include "sim/sim_clock.h"

#include <cstdlib>
#include <string>

#include "sim/state_files.h"

std::int64_t simClockSpeed() {
    static const std::int64_t speed = [] {
        std::string text = stateFileText(kClockSpeedFile);
        char* end = nullptr;
        long long value = std::strtoll(text.c_str(), &end, 10);
        return end != text.c_str() && value >= 1 ? static_cast<std::int64_t>(value) : 1;
    }();
    return speed;
}

std::chrono::nanoseconds realTimeOf(std::chrono::nanoseconds boardTime) {
    return boardTime / simClockSpeed();
}
