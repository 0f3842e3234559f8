// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "usb/VLUSBDeviceInfo.hpp"

namespace velorin {

// One MIDI message received from a device.
struct VLUSBInboundMIDI {
    std::string deviceKey;
    VLUSBDeviceInfo deviceInfo;
    std::uint16_t portIndex = 0;
    std::uint64_t timestamp = 0;
    std::vector<std::uint8_t> bytes;
    friend bool operator==(const VLUSBInboundMIDI&, const VLUSBInboundMIDI&) = default;
};

}  // namespace velorin
