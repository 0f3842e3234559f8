// SPDX-License-Identifier: GPL-3.0-or-later
#include "usb/VLUSBEndpointNames.hpp"

namespace velorin {

namespace {

// Unicode whitespace and newlines: the separators (spaces, line and
// paragraph separators), the ASCII controls tab to carriage return and NEL.
bool isWhitespaceOrNewline(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// True when the name is empty or holds only whitespace and newlines. Bytes
// that are not valid UTF-8 count as visible characters.
bool isBlank(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b0 = static_cast<unsigned char>(s[i]);
        std::size_t len = 0;
        char32_t c = 0;
        if (b0 < 0x80) {
            len = 1;
            c = b0;
        } else if ((b0 & 0xE0) == 0xC0) {
            len = 2;
            c = b0 & 0x1Fu;
        } else if ((b0 & 0xF0) == 0xE0) {
            len = 3;
            c = b0 & 0x0Fu;
        } else {
            return false;  // four-byte sequences hold no whitespace; anything else is invalid
        }
        if (i + len > s.size()) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const auto b = static_cast<unsigned char>(s[i + k]);
            if ((b & 0xC0) != 0x80) return false;
            c = (c << 6) | (b & 0x3Fu);
        }
        if (!isWhitespaceOrNewline(c)) return false;
        i += len;
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
