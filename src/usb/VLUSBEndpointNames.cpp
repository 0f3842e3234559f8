#include "usb/VLUSBEndpointNames.hpp"

namespace velorin {

namespace {
bool isBlank(std::string_view s) {
    for (char c : s) {
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\v' && c != '\f') return false;
    }
    return true;
}
}  // namespace

std::string VLUSBDeviceKey(std::string_view name, std::uint32_t deviceNumber) {
    if (isBlank(name)) return std::string(kVLUSBRuntimeKeyPrefix) + std::to_string(deviceNumber);
    return std::string(kVLUSBNameKeyPrefix) + std::string(name);
}

std::string VLUSBDeviceTitle(const VLUSBDeviceInfo& info) {
    return "Velorin USB: " + info.name;
}

std::string VLUSBDeviceDetail(const VLUSBDeviceInfo& info) {
    std::string out;
    for (const std::string* part : {&info.localizedModel, &info.systemVersion}) {
        if (part->empty()) continue;
        if (!out.empty()) out += " \u00B7 ";
        out += *part;
    }
    return out.empty() ? "Velorin USB device" : out;
}

std::string VLUSBAggregateDetail(const VLUSBDeviceList& devices) {
    std::string out;
    for (const auto& d : devices) {
        if (!d->isConnected()) continue;
        if (!out.empty()) out += ", ";
        out += d->info().name;
    }
    return out.empty() ? "No devices connected" : out;
}

std::vector<VLUSBEndpointDescription> VLUSBEndpointDescriptions(const VLUSBDeviceList& devices,
                                                                bool showsIndividualDevices) {
    std::vector<VLUSBEndpointDescription> out;
    if (!showsIndividualDevices) {
        out.push_back({std::string(kVLUSBAggregateKey), std::string(kVLUSBAggregateTitle),
                       VLUSBAggregateDetail(devices)});
        return out;
    }
    for (const auto& d : devices) {
        if (!d->isConnected()) continue;
        out.push_back({d->id(), VLUSBDeviceTitle(d->info()), VLUSBDeviceDetail(d->info())});
    }
    return out;
}

VLUSBInboundRoute VLUSBInboundRouteFor(const std::string& deviceKey, const VLUSBDeviceInfo& info,
                                       bool showsIndividualDevices) {
    if (showsIndividualDevices) return {deviceKey, VLUSBDeviceTitle(info)};
    return {std::string(kVLUSBAggregateKey), std::string(kVLUSBAggregateTitle)};
}

}  // namespace velorin
