// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

#include "midi/MIDIEvent.hpp"
#include "morphs/OctaveLayerKind.hpp"

namespace velorin {

// The device control message: F0 00 01 7E 01 <protocol> <target> <parameter> <value> F7.
// Controllers switch the octave layers (protocol 02) and drive the loopers
// (protocol 01) with it; the Link Looper reports its state with it.
inline constexpr std::size_t kDeviceControlMessageSize = 10;
inline constexpr std::uint8_t kLinkLooperProtocol = 0x01;
inline constexpr std::uint8_t kOctaveLayerProtocol = 0x02;
inline constexpr std::uint8_t kLinkLooperSharedTarget = 0x7F;

// The four variable bytes of a recognised message, each below 0x80.
struct DeviceControlFields {
    std::uint8_t protocol = 0;
    std::uint8_t target = 0;
    std::uint8_t parameter = 0;
    std::uint8_t value = 0;
    friend bool operator==(const DeviceControlFields&, const DeviceControlFields&) = default;
};

// One decoded looper command. `kind` uses the internal numbers that the window's
// looper switches also use (not the wire parameter numbers).
struct LinkLooperControl {
    enum class Kind : std::uint8_t { setVolume = 0, setMuted = 1, setLooper = 2, setLoopLength = 3 };

    Kind kind = Kind::setLooper;
    int index = 0;  // looper 0-3; unused for setLoopLength
    int value = 0;  // volume 0-127, a Boolean as 0/1, or the loop length in beats

    friend bool operator==(const LinkLooperControl&, const LinkLooperControl&) = default;

    static LinkLooperControl setVolume(int index, int volume) { return {Kind::setVolume, index, volume}; }
    static LinkLooperControl setMuted(int index, bool muted) {
        return {Kind::setMuted, index, muted ? 1 : 0};
    }
    static LinkLooperControl setLooper(int index, bool on) { return {Kind::setLooper, index, on ? 1 : 0}; }
    static LinkLooperControl setLoopLength(int beats) { return {Kind::setLoopLength, 0, beats}; }
    // The command carried by the window's switches: `parameter` is the kind
    // number, `target` the index (or the beats for a loop length), `value` the
    // volume or the Boolean as 0/1. Nothing for an unknown kind number.
    static std::optional<LinkLooperControl> fromKindNumber(std::int64_t parameter, std::int64_t target,
                                                           std::int64_t value);
};

// True for exactly 10 bytes F0 00 01 7E 01 xx xx xx xx F7 with bytes 1-8 below 0x80.
bool isDeviceControlMessage(const ByteArray& data);
std::optional<DeviceControlFields> decodeDeviceControlMessage(const MIDIEvent& event);
std::optional<LinkLooperControl> decodeLinkLooperControl(const MIDIEvent& event);
std::optional<std::pair<OctaveLayerKind, bool>> decodeOctaveLayerControl(const MIDIEvent& event);
// A Link Looper (protocol 01) message with the given bytes; nothing when a byte is 0x80 or more.
std::optional<MIDIEvent> makeDeviceControlEvent(std::uint8_t target, std::uint8_t parameter,
                                                std::uint8_t value, double timestamp);

}  // namespace velorin
