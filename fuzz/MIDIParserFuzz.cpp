// SPDX-License-Identifier: GPL-3.0-or-later
// Feeds arbitrary bytes to the MIDI parser, split into packets at points the
// input chooses, with one parser state carried across all packets. Checks the
// parser's invariants after every packet and compares against two other ways of
// parsing the same packets.
//
// Input: byte 0 picks the SysEx cap (small caps make the overflow path
// reachable); then repeated [length byte][length bytes of packet].
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "midi/MIDIEvent.hpp"
#include "midi/MIDIParser.hpp"

using namespace velorin;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void checkEvent(const MIDIEvent& e, std::size_t cap) {
    check(e.timestamp == 0);
    if (e.type == MIDIEventType::systemExclusive) {
        check(e.data.size() >= 2 && e.data.size() <= cap);
        check(e.data.front() == 0xF0 && e.data.back() == 0xF7);
        for (std::size_t i = 0; i + 1 < e.data.size(); ++i) check(e.data[i] != 0xF7 && e.data[i] < 0xF8);
        check(e.note == 0 && e.velocity == 0 && e.channel == 0);
        return;
    }
    check(e.data.empty());
    check(e.channel >= 0 && e.channel <= 15);
    if (e.type == MIDIEventType::pitchBend) {
        check(e.note >= 0 && e.note <= 16383 && e.velocity == 0);
    } else {
        check(e.note >= 0 && e.note <= 127 && e.velocity >= 0 && e.velocity <= 127);
    }
    if (e.type == MIDIEventType::noteOn) check(e.velocity > 0);
    // A channel event encodes to bytes that parse back to itself.
    MIDIParserState state;
    std::vector<MIDIEvent> again;
    parsePacketBytes(encodedBytes(e), state, again, nullptr);
    check(again.size() == 1 && again[0] == e);
}

void checkState(const MIDIParserState& state, std::size_t cap) {
    const ByteArray& acc = state.systemExclusiveAccumulation;
    check(acc.size() <= cap);
    if (!acc.empty()) {
        check(acc.front() == 0xF0);
        for (std::uint8_t b : acc) check(b != 0xF7 && b < 0xF8);
        check(!state.runningStatus);
    }
    if (state.runningStatus) check(*state.runningStatus >= 0x80 && *state.runningStatus <= 0xEF);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static constexpr std::size_t kCaps[] = {1, 2, 3, 5, 8, 16, 64, kMaxSystemExclusiveBytes};
    const std::size_t cap = kCaps[data[0] % std::size(kCaps)];

    std::vector<std::span<const std::uint8_t>> packets;
    std::size_t pos = 1;
    while (pos < size) {
        const std::size_t length = std::min<std::size_t>(data[pos], size - pos - 1);
        packets.emplace_back(data + pos + 1, length);
        pos += 1 + length;
    }

    MIDIParserState withFrames, withoutFrames;
    std::vector<MIDIEvent> events, eventsWithoutFrames;
    std::vector<MIDIRawSystemExclusiveFrame> frames;
    for (auto packet : packets) {
        const std::size_t eventsBefore = events.size();
        const std::size_t framesBefore = frames.size();
        parsePacketBytes(packet, withFrames, events, &frames, cap);
        parsePacketBytes(packet, withoutFrames, eventsWithoutFrames, nullptr, cap);
        checkState(withFrames, cap);
        check(withFrames.runningStatus == withoutFrames.runningStatus);
        check(withFrames.systemExclusiveAccumulation == withoutFrames.systemExclusiveAccumulation);
        for (std::size_t i = eventsBefore; i < events.size(); ++i) checkEvent(events[i], cap);
        // At most one partial frame per packet, and only as the packet's last frame.
        for (std::size_t i = framesBefore; i < frames.size(); ++i) {
            const auto& f = frames[i];
            check(!f.bytes.empty() && f.bytes.size() <= cap && f.bytes.front() == 0xF0);
            check(f.isComplete == (f.bytes.back() == 0xF7));
            if (!f.isComplete) {
                check(i + 1 == frames.size());
                check(f.bytes == withFrames.systemExclusiveAccumulation);
            }
        }
    }
    check(events == eventsWithoutFrames);

    // parseRawPackets over the whole list agrees with packet-by-packet parsing.
    if (cap == kMaxSystemExclusiveBytes) {
        std::vector<MIDIRawPacket> raw;
        for (auto packet : packets) raw.push_back(MIDIRawPacket{ByteArray(packet.begin(), packet.end())});
        MIDIParserState state;
        std::vector<MIDIEvent> batchEvents;
        std::vector<MIDIRawSystemExclusiveFrame> batchFrames;
        parseRawPackets(raw, state, batchEvents, batchFrames);
        check(batchEvents == events && batchFrames == frames);
    }
    return 0;
}
