// SPDX-License-Identifier: GPL-3.0-or-later
// Device-info payloads (XML or binary property lists) from a device.
#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>

#include "usb/VLUSBProtocol.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto decoded = velorin::VLUSBDecodeDeviceInfo(std::span<const std::uint8_t>(data, size));
    if (auto* info = std::get_if<velorin::VLUSBDeviceInfo>(&decoded)) {
        if (info->name.empty() || info->localizedModel.empty() || info->systemVersion.empty())
            __builtin_trap();
    } else {
        (void)std::get<velorin::VLUSBProtocolError>(decoded).description();
    }
    return 0;
}
