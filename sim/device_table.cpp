#include <array>

#include "sim/device_model.h"

namespace {
// No device of the board is modelled yet: opening any of them fails with ENOENT.
constexpr std::array<DeviceModel, 0> kDevices{};
}  // namespace

std::span<const DeviceModel> simulatedDevices() { return kDevices; }
