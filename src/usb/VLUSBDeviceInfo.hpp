// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace velorin {

// A device's self-description from its device-info frame.
struct VLUSBDeviceInfo {
    std::string name;
    std::string localizedModel;
    std::string systemVersion;
    friend bool operator==(const VLUSBDeviceInfo&, const VLUSBDeviceInfo&) = default;
};

}  // namespace velorin
