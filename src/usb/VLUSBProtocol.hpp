// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "usb/VLUSBDeviceInfo.hpp"

namespace velorin {

// Application frame types carried by the framed channel.
enum class VLUSBFrameType : std::uint32_t {
    deviceInfo = 100,
    midi = 101,
    ping = 102,
    pong = 103,
    reserved = 105,
};

// The frame type as a frame header carries it.
constexpr std::uint32_t VLUSBFrameTypeValue(VLUSBFrameType type) {
    return static_cast<std::uint32_t>(type);
}

inline constexpr std::size_t kVLUSBMIDIHeaderSize = 16;
inline constexpr std::uint32_t kVLUSBMaxMIDILength = 0x100000;

struct VLUSBProtocolError {
    enum class Kind {
        truncatedMIDIHeader,        // value: payload size
        impossibleMIDILength,       // value: declared or requested length
        midiPayloadLengthMismatch,  // value: declared length, actual: bytes after the header
        missingDeviceInfoField,     // key
        invalidDeviceInfoField,     // key
        emptyMIDIMessage,
        malformedDeviceInfo,
    };
    Kind kind = Kind::malformedDeviceInfo;
    std::uint64_t value = 0;
    std::uint64_t actual = 0;
    std::string key;

    // The case name with its values, e.g. `truncatedMIDIHeader(15)`.
    std::string description() const;
    friend bool operator==(const VLUSBProtocolError&, const VLUSBProtocolError&) = default;
};

struct VLUSBMIDIFrame {
    std::uint16_t portIndex = 0;
    std::uint64_t timestamp = 0;
    std::vector<std::uint8_t> bytes;
    friend bool operator==(const VLUSBMIDIFrame&, const VLUSBMIDIFrame&) = default;
};

template <typename T>
using VLUSBResult = std::variant<T, VLUSBProtocolError>;

// Decodes a device-info payload (any property-list format).
VLUSBResult<VLUSBDeviceInfo> VLUSBDecodeDeviceInfo(std::span<const std::uint8_t> payload);
VLUSBResult<VLUSBMIDIFrame> VLUSBDecodeMIDIFrame(std::span<const std::uint8_t> payload);
// Port index, reserved 0, length, timestamp (big-endian), then the bytes.
VLUSBResult<std::vector<std::uint8_t>> VLUSBEncodeMIDIFrame(std::uint16_t portIndex, std::uint64_t timestamp,
                                                            std::span<const std::uint8_t> bytes);

}  // namespace velorin
