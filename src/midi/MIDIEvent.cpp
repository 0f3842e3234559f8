// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/MIDIEvent.hpp"

#include <functional>
#include <utility>

namespace velorin {

namespace {

constexpr std::uint8_t kSysExStart = 0xF0;
constexpr std::uint8_t kSysExEnd = 0xF7;

constexpr std::uint8_t low7(std::int64_t value) {
    return static_cast<std::uint8_t>(value & 0x7F);
}

constexpr std::uint8_t statusByte(std::uint8_t kind, std::int64_t channel) {
    return static_cast<std::uint8_t>(kind | (channel & 0x0F));
}

// Byte by byte: the caller's storage is reused, so these stay inline where a
// range insert would be a call for every message sent.
void appendMessage(ByteArray& out, std::uint8_t status, std::uint8_t data1) {
    out.push_back(status);
    out.push_back(data1);
}
void appendMessage(ByteArray& out, std::uint8_t status, std::uint8_t data1, std::uint8_t data2) {
    out.push_back(status);
    out.push_back(data1);
    out.push_back(data2);
}

// A status outside F1…FF, or F7 (only ever the end of a SysEx), encodes to nothing.
void appendSystemMessage(const MIDIEvent& event, ByteArray& out) {
    if (event.note <= 0xF0 || event.note > 0xFF || event.note == 0xF7) return;
    const auto status = static_cast<std::uint8_t>(event.note);
    switch (status) {
        case 0xF1:  // MTC quarter frame
        case 0xF3:  // Song Select
            appendMessage(out, status, low7(event.velocity));
            return;
        case 0xF2:  // Song Position Pointer, LSB first
            appendMessage(out, status, low7(event.velocity), low7(event.velocity >> 7));
            return;
        default:
            out.push_back(status);
            return;
    }
}

}  // namespace

void appendEncodedBytes(const MIDIEvent& event, ByteArray& out) {
    const std::int64_t ch = event.channel;
    switch (event.type) {
        case MIDIEventType::noteOn:
            appendMessage(out, statusByte(0x90, ch), low7(event.note), low7(event.velocity));
            break;
        case MIDIEventType::noteOff:
            appendMessage(out, statusByte(0x80, ch), low7(event.note), low7(event.velocity));
            break;
        case MIDIEventType::polyPressure:
            appendMessage(out, statusByte(0xA0, ch), low7(event.note), low7(event.velocity));
            break;
        case MIDIEventType::cc:
            appendMessage(out, statusByte(0xB0, ch), low7(event.note), low7(event.velocity));
            break;
        case MIDIEventType::programChange:
            appendMessage(out, statusByte(0xC0, ch), low7(event.note));
            break;
        case MIDIEventType::channelPressure:
            appendMessage(out, statusByte(0xD0, ch), low7(event.velocity));
            break;
        case MIDIEventType::pitchBend:
            appendMessage(out, statusByte(0xE0, ch), low7(event.note), low7(event.note >> 7));
            break;
        case MIDIEventType::systemExclusive:
            out.insert(out.end(), event.data.begin(), event.data.end());
            break;
        case MIDIEventType::system:
            appendSystemMessage(event, out);
            break;
    }
}

ByteArray encodedBytes(const MIDIEvent& event) {
    ByteArray out;
    out.reserve(event.type == MIDIEventType::systemExclusive ? event.data.size() : 3);
    appendEncodedBytes(event, out);
    return out;
}

std::optional<MIDIEvent> makeSystemExclusive(ByteArray bytes, double timestamp) {
    if (bytes.size() < 2 || bytes.front() != kSysExStart || bytes.back() != kSysExEnd) return std::nullopt;
    MIDIEvent e;
    e.type = MIDIEventType::systemExclusive;
    e.timestamp = timestamp;
    e.data = std::move(bytes);
    return e;
}

std::string hexByteString(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    if (bytes.empty()) return text;
    text.reserve(bytes.size() * 3 - 1);
    for (std::size_t k = 0; k < bytes.size(); ++k) {
        if (k > 0) text.push_back(' ');
        text.push_back(kDigits[bytes[k] >> 4]);
        text.push_back(kDigits[bytes[k] & 0x0F]);
    }
    return text;
}

}  // namespace velorin

std::size_t std::hash<velorin::MIDIEvent>::operator()(const velorin::MIDIEvent& e) const noexcept {
    std::size_t h = static_cast<std::size_t>(e.type);
    auto mix = [&h](std::size_t v) { h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2); };
    mix(std::hash<std::int64_t>{}(e.note));
    mix(std::hash<std::int64_t>{}(e.velocity));
    mix(std::hash<std::int64_t>{}(e.channel));
    mix(std::hash<double>{}(e.timestamp));
    for (std::uint8_t b : e.data) mix(b);
    return h;
}
