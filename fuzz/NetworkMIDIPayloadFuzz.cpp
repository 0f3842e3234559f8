// SPDX-License-Identifier: GPL-3.0-or-later
// Feeds arbitrary datagrams, one receive state carried across them, to the
// RTP MIDI reader, and checks every event it delivers; then writes the
// channel events back with the command writer and reads them again.
//
// Input: byte 0 picks the SysEx cap (small caps reach the overflow path);
// then repeated [length byte][length bytes of datagram].
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "netmidi/RTPMIDIPayload.hpp"

using namespace velorin;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void checkEvent(const MIDIEvent& e, std::size_t cap) {
    if (e.type == MIDIEventType::systemExclusive) {
        check(e.data.size() >= 2 && e.data.size() <= cap);
        check(e.data.front() == 0xF0 && e.data.back() == 0xF7);
        for (std::size_t i = 1; i + 1 < e.data.size(); ++i) check(e.data[i] < 0x80);
        return;
    }
    check(e.data.empty() && e.channel >= 0 && e.channel <= 15);
    if (e.type == MIDIEventType::pitchBend) {
        check(e.note >= 0 && e.note <= 16383);
    } else {
        check(e.note >= 0 && e.note <= 127 && e.velocity >= 0 && e.velocity <= 127);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static constexpr std::size_t kCaps[] = {2, 3, 8, 64, 4096};
    RTPMIDIReceiveState state;
    state.maxSystemExclusiveBytes = kCaps[data[0] % std::size(kCaps)];
    std::size_t pos = 1;
    std::vector<RTPMIDITimedEvent> events;
    while (pos < size) {
        const std::size_t length = std::min<std::size_t>(data[pos], size - pos - 1);
        const std::span<const std::uint8_t> datagram(data + pos + 1, length);
        pos += 1 + length;
        RTPMIDIPacketView view;
        if (parseRTPMIDIPacket(datagram, view) != RTPMIDIError::none) continue;
        check(view.commands.data() >= datagram.data() &&
              view.commands.data() + view.commands.size() <= datagram.data() + datagram.size());
        events.clear();
        decodeCommandSection(view, state, events);
        check(state.systemExclusive.size() <= state.maxSystemExclusiveBytes);
        RTPMIDICommandWriter writer;
        std::vector<MIDIEvent> channelEvents;
        for (const auto& timed : events) {
            checkEvent(timed.event, state.maxSystemExclusiveBytes);
            if (timed.event.type != MIDIEventType::systemExclusive &&
                writer.appendChannelEvent(0, timed.event)) {
                channelEvents.push_back(timed.event);
            }
        }
        // What was read writes back to a packet that reads as the same events.
        ByteArray again;
        encodeRTPMIDIPacket(view.header, writer.bytes(), std::nullopt, again);
        RTPMIDIPacketView againView;
        check(parseRTPMIDIPacket(again, againView) == RTPMIDIError::none);
        check(againView.header == view.header);
        RTPMIDIReceiveState fresh;
        std::vector<RTPMIDITimedEvent> reread;
        check(decodeCommandSection(againView, fresh, reread) == RTPMIDIError::none);
        check(reread.size() == channelEvents.size());
        for (std::size_t i = 0; i < reread.size(); ++i) check(reread[i].event == channelEvents[i]);
    }
    return 0;
}
