#include <array>

#include "sim/device_model.h"
#include "sim/flash_model.h"
#include "sim/led_model.h"
#include "sim/module/module_model.h"

namespace {
// A device missing here doesn't exist on the simulated board: opening it fails with ENOENT.
constexpr std::array<DeviceModel, 5> kDevices{{
    {kFlashModelPath, flashModelOpen, flashModelIoctl, flashModelRead, flashModelWrite,
     flashModelLseek, flashModelClose, nullptr, nullptr},
    {kLedModelPath, ledModelOpen, ledModelIoctl, nullptr, nullptr, nullptr, ledModelClose, nullptr,
     nullptr},
    {kModuleHciPath, moduleHciOpen, nullptr, moduleHciRead, moduleHciWrite, nullptr, moduleHciClose,
     moduleHciPollEvents, moduleHciUntilReady},
    {kModuleBccmdPath, moduleBccmdOpen, moduleBccmdIoctl, moduleBccmdRead, moduleBccmdWrite,
     nullptr, moduleBccmdClose, moduleBccmdPollEvents, moduleBccmdUntilReady},
    {kModuleResetPath, moduleResetOpen, moduleResetIoctl, nullptr, nullptr, nullptr,
     moduleResetClose, nullptr, nullptr},
}};
}  // namespace

std::span<const DeviceModel> simulatedDevices() { return kDevices; }
