// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/MainQueue.hpp"

namespace velorin {

// The USB side as the window shows it: the status title ("2 VL USB Devices",
// "VL USB in Use by Another Server") and each connected device with the round
// trip of its last answered ping.
struct VLUSBStatusSnapshot {
    struct Device {
        std::string name;
        std::optional<MainQueue::Duration> lastPingRoundTrip;
        friend bool operator==(const Device&, const Device&) = default;
    };
    std::string title = "0 VL USB Devices";
    std::vector<Device> connectedDevices;
    friend bool operator==(const VLUSBStatusSnapshot&, const VLUSBStatusSnapshot&) = default;
};

}  // namespace velorin
