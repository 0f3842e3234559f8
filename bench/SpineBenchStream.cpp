// SPDX-License-Identifier: GPL-3.0-or-later
#include "SpineBenchStream.hpp"

#include <random>

namespace velorin::bench {

PacketStream makePacketStream(std::size_t messageCount, bool withSysEx) {
    PacketStream stream;
    std::vector<std::size_t> cuts;  // packet end offsets
    std::mt19937 rng(12345);
    auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    auto push = [&stream](int b) { stream.bytes.push_back(static_cast<std::uint8_t>(b)); };
    int lastStatus = -1;
    for (std::size_t m = 0; m < messageCount; ++m) {
        const int kind = pick(0, 99);
        const int channel = pick(0, 3);
        if (pick(0, 9) == 0) push(0xF8);  // clock tick between messages
        if (withSysEx && kind < 2) {
            const int length = pick(20, 300);
            push(0xF0);
            for (int i = 0; i < length; ++i) {
                push(pick(0, 127));
                if (pick(0, 63) == 0) cuts.push_back(stream.bytes.size());  // SysEx split over packets
                if (pick(0, 99) == 0) push(0xF8);
            }
            push(0xF7);
            lastStatus = -1;
        } else {
            int status = 0;
            if (kind < 60) {
                status = (pick(0, 1) ? 0x90 : 0x80) | channel;
            } else if (kind < 85) {
                status = 0xB0 | channel;
            } else if (kind < 95) {
                status = 0xE0 | channel;
            } else {
                status = 0xC0 | channel;
            }
            if (status != lastStatus || pick(0, 3) == 0) push(status);  // else running status
            lastStatus = status;
            push(pick(0, 127));
            if (pick(0, 31) == 0) push(0xFE);  // real-time byte inside a message
            if ((status & 0xF0) != 0xC0) push(pick(0, 127));
        }
        if (pick(0, 3) == 0) cuts.push_back(stream.bytes.size());
    }
    cuts.push_back(stream.bytes.size());
    std::size_t start = 0;
    for (std::size_t end : cuts) {
        if (end <= start) continue;
        stream.packets.emplace_back(stream.bytes.data() + start, end - start);
        start = end;
    }
    return stream;
}

}  // namespace velorin::bench
