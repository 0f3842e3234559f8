// SPDX-License-Identifier: GPL-3.0-or-later
#include "usb/VLUSBProtocol.hpp"

#include <limits>

#include "usb/channel/PTPropertyList.hpp"

namespace velorin {

std::string VLUSBProtocolError::description() const {
    using K = Kind;
    switch (kind) {
        case K::truncatedMIDIHeader:
            return "truncatedMIDIHeader(" + std::to_string(value) + ")";
        case K::impossibleMIDILength:
            return "impossibleMIDILength(" + std::to_string(value) + ")";
        case K::midiPayloadLengthMismatch:
            return "midiPayloadLengthMismatch(declared: " + std::to_string(value) +
                   ", actual: " + std::to_string(actual) + ")";
        case K::missingDeviceInfoField:
            return "missingDeviceInfoField(\"" + key + "\")";
        case K::invalidDeviceInfoField:
            return "invalidDeviceInfoField(\"" + key + "\")";
        case K::emptyMIDIMessage:
            return "emptyMIDIMessage";
        case K::malformedDeviceInfo:
            return "malformedDeviceInfo";
    }
    return "malformedDeviceInfo";
}

namespace {

VLUSBProtocolError fieldError(VLUSBProtocolError::Kind kind, std::string key) {
    VLUSBProtocolError e;
    e.kind = kind;
    e.key = std::move(key);
    return e;
}

// A required or optional non-empty string field; nullopt with `error` set on failure.
std::optional<std::string> stringField(const PTPlist& dict, const char* key, bool required,
                                       std::optional<VLUSBProtocolError>& error) {
    const PTPlist* node = dict.find(key);
    if (!node) {
        if (required) error = fieldError(VLUSBProtocolError::Kind::missingDeviceInfoField, key);
        return std::nullopt;
    }
    const std::string* s = node->stringValue();
    if (!s || s->empty()) {
        error = fieldError(VLUSBProtocolError::Kind::invalidDeviceInfoField, key);
        return std::nullopt;
    }
    return *s;
}

}  // namespace

VLUSBResult<VLUSBDeviceInfo> VLUSBDecodeDeviceInfo(std::span<const std::uint8_t> payload) {
    auto parsed = PTPlistParse(payload);
    if (!parsed || !parsed->isDictionary())
        return fieldError(VLUSBProtocolError::Kind::malformedDeviceInfo, "");
    std::optional<VLUSBProtocolError> error;
    VLUSBDeviceInfo info;
    auto localizedModel = stringField(*parsed, "localizedModel", false, error);
    if (error) return *error;
    if (!localizedModel) {
        localizedModel = stringField(*parsed, "model", true, error);
        if (error) return *error;
    }
    auto name = stringField(*parsed, "name", true, error);
    if (error) return *error;
    auto systemVersion = stringField(*parsed, "systemVersion", true, error);
    if (error) return *error;
    info.name = std::move(*name);
    info.localizedModel = std::move(*localizedModel);
    info.systemVersion = std::move(*systemVersion);
    return info;
}

VLUSBResult<VLUSBMIDIFrame> VLUSBDecodeMIDIFrame(std::span<const std::uint8_t> p) {
    using K = VLUSBProtocolError::Kind;
    if (p.size() < kVLUSBMIDIHeaderSize) {
        VLUSBProtocolError e;
        e.kind = K::truncatedMIDIHeader;
        e.value = p.size();
        return e;
    }
    VLUSBMIDIFrame frame;
    frame.portIndex = static_cast<std::uint16_t>((p[0] << 8) | p[1]);
    const std::uint32_t length = (std::uint32_t{p[4]} << 24) | (std::uint32_t{p[5]} << 16) |
                                 (std::uint32_t{p[6]} << 8) | std::uint32_t{p[7]};
    for (std::size_t i = 8; i < 16; ++i) frame.timestamp = (frame.timestamp << 8) | p[i];
    VLUSBProtocolError e;
    if (length == 0) {
        e.kind = K::emptyMIDIMessage;
        return e;
    }
    if (length > kVLUSBMaxMIDILength) {
        e.kind = K::impossibleMIDILength;
        e.value = length;
        return e;
    }
    const std::size_t actual = p.size() - kVLUSBMIDIHeaderSize;
    if (actual != length) {
        e.kind = K::midiPayloadLengthMismatch;
        e.value = length;
        e.actual = actual;
        return e;
    }
    frame.bytes.assign(p.begin() + kVLUSBMIDIHeaderSize, p.end());
    return frame;
}

VLUSBResult<std::vector<std::uint8_t>> VLUSBEncodeMIDIFrame(std::uint16_t portIndex, std::uint64_t timestamp,
                                                            std::span<const std::uint8_t> bytes) {
    using K = VLUSBProtocolError::Kind;
    VLUSBProtocolError e;
    if (bytes.empty()) {
        e.kind = K::emptyMIDIMessage;
        return e;
    }
    if (bytes.size() > kVLUSBMaxMIDILength) {
        e.kind = K::impossibleMIDILength;
        e.value = std::min<std::uint64_t>(bytes.size(), std::numeric_limits<std::uint32_t>::max());
        return e;
    }
    const auto length = static_cast<std::uint32_t>(bytes.size());
    std::vector<std::uint8_t> out(kVLUSBMIDIHeaderSize + bytes.size());
    out[0] = static_cast<std::uint8_t>(portIndex >> 8);
    out[1] = static_cast<std::uint8_t>(portIndex);
    out[4] = static_cast<std::uint8_t>(length >> 24);
    out[5] = static_cast<std::uint8_t>(length >> 16);
    out[6] = static_cast<std::uint8_t>(length >> 8);
    out[7] = static_cast<std::uint8_t>(length);
    for (int i = 0; i < 8; ++i)
        out[static_cast<std::size_t>(8 + i)] = static_cast<std::uint8_t>(timestamp >> (56 - 8 * i));
    std::copy(bytes.begin(), bytes.end(), out.begin() + kVLUSBMIDIHeaderSize);
    return out;
}

}  // namespace velorin
