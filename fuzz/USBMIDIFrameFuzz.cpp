// SPDX-License-Identifier: GPL-3.0-or-later
// MIDI frame payloads from a device; a decoded frame must encode back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>

#include "usb/VLUSBProtocol.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> payload(data, size);
    auto decoded = velorin::VLUSBDecodeMIDIFrame(payload);
    if (auto* frame = std::get_if<velorin::VLUSBMIDIFrame>(&decoded)) {
        auto encoded = velorin::VLUSBEncodeMIDIFrame(frame->portIndex, frame->timestamp, frame->bytes);
        auto* bytes = std::get_if<std::vector<std::uint8_t>>(&encoded);
        if (!bytes || bytes->size() != size) __builtin_trap();
        for (std::size_t i = 0; i < size; ++i) {
            if (i == 2 || i == 3) continue;  // reserved, ignored on receipt
            if ((*bytes)[i] != data[i]) __builtin_trap();
        }
    } else {
        (void)std::get<velorin::VLUSBProtocolError>(decoded).description();
    }
    return 0;
}
