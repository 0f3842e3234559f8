// SPDX-License-Identifier: GPL-3.0-or-later
#include "morphs/DeviceControlMessage.hpp"

#include <algorithm>

namespace velorin {

namespace {
constexpr std::uint8_t kSysExStart = 0xF0;
constexpr std::uint8_t kSysExEnd = 0xF7;
constexpr std::uint8_t kManufacturer[3] = {0x00, 0x01, 0x7E};
constexpr std::uint8_t kProduct = 0x01;

bool isOn(std::uint8_t value) {
    return value >= 0x40;
}
}  // namespace

std::optional<LinkLooperControl> LinkLooperControl::fromKindNumber(std::int64_t parameter,
                                                                   std::int64_t target, std::int64_t value) {
    if (parameter < 0 || parameter > 3) return std::nullopt;
    // Values far outside any meaningful range are clamped here so the int fields
    // cannot overflow; the morph applies the real range checks.
    auto narrow = [](std::int64_t v) {
        return static_cast<int>(std::clamp<std::int64_t>(v, -1'000'000, 1'000'000));
    };
    const auto kind = static_cast<Kind>(parameter);
    if (kind == Kind::setLoopLength) return setLoopLength(narrow(target));
    if (kind == Kind::setVolume) return setVolume(narrow(target), narrow(value));
    return LinkLooperControl{kind, narrow(target), value != 0 ? 1 : 0};
}

bool isDeviceControlMessage(const ByteArray& data) {
    if (data.size() != kDeviceControlMessageSize) return false;
    if (data[0] != kSysExStart || data[9] != kSysExEnd) return false;
    for (std::size_t i = 1; i <= 8; ++i) {
        if (data[i] >= 0x80) return false;
    }
    return data[1] == kManufacturer[0] && data[2] == kManufacturer[1] && data[3] == kManufacturer[2] &&
           data[4] == kProduct;
}

std::optional<DeviceControlFields> decodeDeviceControlMessage(const MIDIEvent& event) {
    if (event.type != MIDIEventType::systemExclusive) return std::nullopt;
    if (!isDeviceControlMessage(event.data)) return std::nullopt;
    return DeviceControlFields{event.data[5], event.data[6], event.data[7], event.data[8]};
}

std::optional<LinkLooperControl> decodeLinkLooperControl(const MIDIEvent& event) {
    const auto fields = decodeDeviceControlMessage(event);
    if (!fields || fields->protocol != kLinkLooperProtocol) return std::nullopt;
    const int value = fields->value;
    if (fields->target == kLinkLooperSharedTarget) {
        if (fields->parameter != 0x03) return std::nullopt;
        return LinkLooperControl::setLoopLength(value <= 0x3F ? value + 1 : 64);
    }
    if (fields->target > 0x03) return std::nullopt;
    const int index = fields->target;
    switch (fields->parameter) {
        case 0x00:
            return LinkLooperControl::setLooper(index, isOn(fields->value));
        case 0x01:
            return LinkLooperControl::setVolume(index, value);
        case 0x02:
            return LinkLooperControl::setMuted(index, isOn(fields->value));
        default:
            return std::nullopt;
    }
}

std::optional<std::pair<OctaveLayerKind, bool>> decodeOctaveLayerControl(const MIDIEvent& event) {
    const auto fields = decodeDeviceControlMessage(event);
    if (!fields || fields->protocol != kOctaveLayerProtocol || fields->parameter != 0x00) return std::nullopt;
    const auto kind = octaveLayerKind(fields->target);
    if (!kind) return std::nullopt;
    return std::make_pair(*kind, isOn(fields->value));
}

std::optional<MIDIEvent> makeDeviceControlEvent(std::uint8_t target, std::uint8_t parameter,
                                                std::uint8_t value, double timestamp) {
    if (target >= 0x80 || parameter >= 0x80 || value >= 0x80) return std::nullopt;
    MIDIEvent event;
    event.type = MIDIEventType::systemExclusive;
    event.timestamp = timestamp;
    event.data = {kSysExStart,      kManufacturer[0], kManufacturer[1],
                  kManufacturer[2], kProduct,         kLinkLooperProtocol,
                  target,           parameter,        value,
                  kSysExEnd};
    return event;
}

}  // namespace velorin
