#include <array>

#include "sim/device_model.h"
#include "sim/flash_model.h"
#include "sim/led_model.h"

namespace {
// A device missing here doesn't exist on the simulated board: opening it fails with ENOENT.
constexpr std::array<DeviceModel, 2> kDevices{{
    {kFlashModelPath, flashModelOpen, flashModelIoctl, flashModelRead, flashModelWrite,
     flashModelLseek, flashModelClose, nullptr},
    {kLedModelPath, ledModelOpen, ledModelIoctl, nullptr, nullptr, nullptr, ledModelClose, nullptr},
}};
}  // namespace

std::span<const DeviceModel> simulatedDevices() { return kDevices; }
