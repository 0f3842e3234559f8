// SPDX-License-Identifier: GPL-3.0-or-later
// usbmuxd packets from the daemon: the reader, the property-list parser and
// the result mapping behind it.
#include <cstddef>
#include <cstdint>
#include <span>

#include "usb/channel/PTUSBHub.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velorin::PTUSBPacketReader reader;
    std::span<const std::uint8_t> input(data, size);
    while (!input.empty()) {
        const std::size_t want = reader.wanted();
        if (want == 0) break;
        auto piece = input.subspan(0, std::min(want, input.size()));
        input = input.subspan(piece.size());
        const auto status = reader.feed(piece);
        if (status == velorin::PTUSBPacketReader::Status::fatal) break;
        if (status == velorin::PTUSBPacketReader::Status::packet) {
            const auto& packet = reader.packet();
            (void)velorin::PTUSBErrorFromPlistResponse(packet.dictionary, packet.error);
            if (packet.dictionary) (void)velorin::PTPlistDescription(*packet.dictionary);
        }
    }
    return 0;
}
