// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velorin {

using ByteArray = std::vector<std::uint8_t>;

enum class MIDIEventType : std::uint8_t {
    noteOn,
    noteOff,
    polyPressure,
    cc,
    programChange,
    channelPressure,
    pitchBend,
    systemExclusive,
    // A System Common or System Real-Time message other than SysEx: the status
    // byte (F1…FF) in `note`, its data in `velocity` (one 7-bit byte, or the
    // 14-bit value of Song Position Pointer). The parser makes none; the clock
    // sender does.
    system,
};

// One MIDI 1.0 channel voice message or System Exclusive message. A value:
// copied freely, compared and hashed over all six fields. Only SysEx events
// carry `data`, so copying any other event never allocates.
struct MIDIEvent {
    MIDIEventType type = MIDIEventType::noteOn;
    std::int64_t note = 0;      // key, controller, program, or the 14-bit bend value
    std::int64_t velocity = 0;  // velocity, pressure or controller value
    std::int64_t channel = 0;   // zero-based 0…15
    double timestamp = 0;       // informational only; never times output
    ByteArray data;             // systemExclusive: F0 … F7 inclusive

    friend bool operator==(const MIDIEvent&, const MIDIEvent&) = default;

    static MIDIEvent noteOnEvent(std::int64_t note, std::int64_t velocity, std::int64_t channel) {
        return MIDIEvent{MIDIEventType::noteOn, note, velocity, channel, 0, {}};
    }
    static MIDIEvent noteOffEvent(std::int64_t note, std::int64_t velocity, std::int64_t channel) {
        return MIDIEvent{MIDIEventType::noteOff, note, velocity, channel, 0, {}};
    }
    static MIDIEvent systemEvent(std::uint8_t status, std::int64_t value = 0) {
        return MIDIEvent{MIDIEventType::system, status, value, 0, 0, {}};
    }
    static MIDIEvent ccEvent(std::int64_t controller, std::int64_t value, std::int64_t channel) {
        return MIDIEvent{MIDIEventType::cc, controller, value, channel, 0, {}};
    }
};

// A sounding note: (note, channel).
struct MIDINoteIdentity {
    std::int64_t note = 0;
    std::int64_t channel = 0;
    friend bool operator==(const MIDINoteIdentity&, const MIDINoteIdentity&) = default;
};

enum class MIDIEventLogDirection : std::uint8_t { input, output };

// The MIDI 1.0 bytes of one event (no running status; data masked to 7 bits).
ByteArray encodedBytes(const MIDIEvent& event);
// Appends the encoded bytes to `out` (no allocation once `out` has capacity).
void appendEncodedBytes(const MIDIEvent& event, ByteArray& out);

// A systemExclusive event when `bytes` is at least F0 F7 shaped; else nothing.
std::optional<MIDIEvent> makeSystemExclusive(ByteArray bytes, double timestamp = 0);

std::string hexByteString(std::span<const std::uint8_t> bytes);

}  // namespace velorin

template <>
struct std::hash<velorin::MIDINoteIdentity> {
    std::size_t operator()(const velorin::MIDINoteIdentity& n) const noexcept {
        // Unsigned arithmetic: identities outside the MIDI ranges must not overflow.
        const auto note = static_cast<std::uint64_t>(n.note);
        const auto channel = static_cast<std::uint64_t>(n.channel);
        return std::hash<std::uint64_t>{}(note * 31 + channel);
    }
};

template <>
struct std::hash<velorin::MIDIEvent> {
    std::size_t operator()(const velorin::MIDIEvent& e) const noexcept;
};
