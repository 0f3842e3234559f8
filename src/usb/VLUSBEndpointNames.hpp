// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "usb/VLUSBDevice.hpp"

namespace velorin {

inline constexpr std::string_view kVLUSBTransportIdentifier = "velorin-usb";
inline constexpr std::string_view kVLUSBNameKeyPrefix = "velorin-usb:name:";
inline constexpr std::string_view kVLUSBRuntimeKeyPrefix = "velorin-usb:runtime:";
inline constexpr std::string_view kVLUSBAggregateKey = "velorin-usb:aggregate:all";
inline constexpr std::string_view kVLUSBAggregateTitle = "Velorin USB All";

// "velorin-usb:name:" + name, or "velorin-usb:runtime:" + number when the name is blank.
std::string VLUSBDeviceKey(std::string_view name, std::uint32_t deviceNumber);
// "Velorin USB: " + name.
std::string VLUSBDeviceTitle(const VLUSBDeviceInfo& info);
// Model and system version joined by " · ", or "Velorin USB device".
std::string VLUSBDeviceDetail(const VLUSBDeviceInfo& info);
// The connected devices' names joined by ", ", or "No devices connected".
std::string VLUSBAggregateDetail(const VLUSBDeviceList& devices);

// One USB endpoint (the same key, title and detail serve the input and the output).
struct VLUSBEndpointDescription {
    std::string key;
    std::string title;
    std::string detail;
    friend bool operator==(const VLUSBEndpointDescription&, const VLUSBEndpointDescription&) = default;
};
// With individual devices shown: one per connected device; otherwise the aggregate alone.
std::vector<VLUSBEndpointDescription> VLUSBEndpointDescriptions(const VLUSBDeviceList& devices,
                                                                bool showsIndividualDevices);
// The key and source name an inbound message is routed under.
struct VLUSBInboundRoute {
    std::string key;
    std::string sourceName;
};
VLUSBInboundRoute VLUSBInboundRouteFor(const std::string& deviceKey, const VLUSBDeviceInfo& info,
                                       bool showsIndividualDevices);

}  // namespace velorin
