// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "midi/MIDIEvent.hpp"

namespace velorin {

// The MIDI 1.0 byte-stream parser: packets of one input in, events and System
// Exclusive frames out, with running status and a SysEx message in progress
// carried across packets in the input's MIDIParserState.

// The bytes of one received packet exactly as they arrived.
struct MIDIRawPacket {
    ByteArray bytes;
    friend bool operator==(const MIDIRawPacket&, const MIDIRawPacket&) = default;
};

// One snapshot of a System Exclusive message while it is assembled.
struct MIDIRawSystemExclusiveFrame {
    ByteArray bytes;
    bool isComplete = false;
    friend bool operator==(const MIDIRawSystemExclusiveFrame&, const MIDIRawSystemExclusiveFrame&) = default;
};

// Parser state of one input: running status and the SysEx bytes gathered so far.
struct MIDIParserState {
    std::optional<std::uint8_t> runningStatus;
    ByteArray systemExclusiveAccumulation;  // empty: no SysEx in progress
    bool isAtRest() const { return !runningStatus && systemExclusiveAccumulation.empty(); }
};

// Largest System Exclusive message kept while assembling (the largest message the
// USB transport carries). A longer one is dropped whole.
inline constexpr std::size_t kMaxSystemExclusiveBytes = 1024 * 1024;

// Parses packets of one input, carrying `state` across packets and calls.
// Results are appended to `events` and `frames` in order of occurrence.
void parseRawPackets(std::span<const MIDIRawPacket> packets, MIDIParserState& state,
                     std::vector<MIDIEvent>& events, std::vector<MIDIRawSystemExclusiveFrame>& frames);
// The same for one packet given as bytes (the allocation-free path).
void parsePacketBytes(std::span<const std::uint8_t> packet, MIDIParserState& state,
                      std::vector<MIDIEvent>& events, std::vector<MIDIRawSystemExclusiveFrame>& frames);
// The same, with frames optional: a null `frames` collects none (each partial frame
// copies the whole accumulation, so callers that do not log them should pass null).
// `maxSystemExclusiveBytes` bounds the accumulation: a message that would grow past
// it is dropped whole and the bytes from the first one that did not fit on are
// parsed by the ordinary rules (stray data bytes until the next status byte).
void parsePacketBytes(std::span<const std::uint8_t> packet, MIDIParserState& state,
                      std::vector<MIDIEvent>& events, std::vector<MIDIRawSystemExclusiveFrame>* frames,
                      std::size_t maxSystemExclusiveBytes = kMaxSystemExclusiveBytes);

// Told about each System Exclusive frame as the parser produces it: the message
// gathered so far (partial) or the whole message (complete). The bytes are the
// parser's own and valid only during the call, so a sink that keeps less than
// the whole frame copies nothing more than it keeps.
class MIDISystemExclusiveFrameSink {
public:
    virtual ~MIDISystemExclusiveFrameSink() = default;
    virtual void frame(std::span<const std::uint8_t> bytes, bool isComplete) = 0;
};
// The same parse, reporting frames to `frames` without copying them.
void parsePacketBytes(std::span<const std::uint8_t> packet, MIDIParserState& state,
                      std::vector<MIDIEvent>& events, MIDISystemExclusiveFrameSink& frames,
                      std::size_t maxSystemExclusiveBytes = kMaxSystemExclusiveBytes);

std::string systemExclusiveFrameLogText(const MIDIRawSystemExclusiveFrame& frame);

}  // namespace velorin
