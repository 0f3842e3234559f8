// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace velorin::bench {

// A reproducible MIDI byte stream cut into packets, as an input would deliver it.
struct PacketStream {
    std::vector<std::uint8_t> bytes;
    std::vector<std::span<const std::uint8_t>> packets;  // views into `bytes`
};

// Notes on and off with running status, controller changes, pitch bend,
// real-time clock bytes between and inside messages, and (when `withSysEx`)
// SysEx messages of 20–300 bytes split over several packets. Packets end on
// message boundaries for channel messages (a channel message is never completed
// from the next packet), while SysEx runs across packets.
PacketStream makePacketStream(std::size_t messageCount, bool withSysEx);

}  // namespace velorin::bench
