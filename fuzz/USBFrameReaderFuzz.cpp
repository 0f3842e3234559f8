// SPDX-License-Identifier: GPL-3.0-or-later
// Frame headers and payloads from a device, fed in pieces of varying size with
// varying accept decisions.
#include <cstddef>
#include <cstdint>
#include <span>

#include "usb/channel/PTProtocol.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t chunk = static_cast<std::size_t>(data[0] % 64) + 1;
    std::uint8_t decisions = data[1];
    std::span<const std::uint8_t> rest(data + 2, size - 2);
    velorin::PTFrameReader reader;
    std::size_t delivered = 0;
    while (!rest.empty() && !reader.isDone()) {
        auto piece = rest.subspan(0, std::min(chunk, rest.size()));
        rest = rest.subspan(piece.size());
        while (!reader.isDone()) {
            auto event = reader.next(piece);
            if (event.kind == velorin::PTFrameReader::EventKind::header) {
                const bool accept = (decisions & 1u) != 0;
                decisions = static_cast<std::uint8_t>((decisions >> 1) | (decisions << 7));
                event = reader.decide(accept);
            }
            if (event.kind == velorin::PTFrameReader::EventKind::frame) {
                if (event.payload.size() != event.payloadSize) __builtin_trap();
                if (event.payloadSize > velorin::kPTMaxAcceptedPayloadSize) __builtin_trap();
                delivered += event.payload.size();
            }
            if (event.kind == velorin::PTFrameReader::EventKind::needMore && piece.empty()) break;
        }
    }
    if (!reader.isDone()) reader.finish();
    return delivered > size ? 1 : 0;
}
