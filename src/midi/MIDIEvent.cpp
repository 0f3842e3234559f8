#include "midi/MIDIEvent.hpp"

#include <cstdio>
#include <functional>

namespace velorin {

namespace {

constexpr std::uint8_t kSysExStart = 0xF0;
constexpr std::uint8_t kSysExEnd = 0xF7;
constexpr std::uint8_t kFirstRealTime = 0xF8;

constexpr std::uint8_t low7(std::int64_t value) { return static_cast<std::uint8_t>(value & 0x7F); }

constexpr std::uint8_t statusByte(std::uint8_t kind, std::int64_t channel) {
    return static_cast<std::uint8_t>(kind | (channel & 0x0F));
}

constexpr bool isRealTime(std::uint8_t b) { return b >= kFirstRealTime; }

// Number of data bytes a channel status byte takes.
constexpr int dataByteCount(std::uint8_t status) {
    const int kind = status & 0xF0;
    return (kind == 0xC0 || kind == 0xD0) ? 1 : 2;
}

MIDIEvent channelEvent(std::uint8_t status, std::uint8_t d1, std::uint8_t d2) {
    MIDIEvent e;
    e.channel = status & 0x0F;
    switch (status & 0xF0) {
    case 0x80:
        e.type = MIDIEventType::noteOff;
        e.note = d1;
        e.velocity = d2;
        break;
    case 0x90:
        e.type = d2 > 0 ? MIDIEventType::noteOn : MIDIEventType::noteOff;
        e.note = d1;
        e.velocity = d2;
        break;
    case 0xA0:
        e.type = MIDIEventType::polyPressure;
        e.note = d1;
        e.velocity = d2;
        break;
    case 0xB0:
        e.type = MIDIEventType::cc;
        e.note = d1;
        e.velocity = d2;
        break;
    case 0xC0:
        e.type = MIDIEventType::programChange;
        e.note = d1;
        break;
    case 0xD0:
        e.type = MIDIEventType::channelPressure;
        e.velocity = d1;
        break;
    default:  // 0xE0
        e.type = MIDIEventType::pitchBend;
        e.note = d1 + d2 * 128;
        break;
    }
    return e;
}

// Gives up an accumulation's memory, not just its contents: a dropped or finished
// message must not leave a megabyte reserved on an input at rest.
void releaseAccumulation(ByteArray& accumulation) { ByteArray().swap(accumulation); }

}  // namespace

void appendEncodedBytes(const MIDIEvent& event, ByteArray& out) {
    const std::int64_t ch = event.channel;
    switch (event.type) {
    case MIDIEventType::noteOn:
        out.insert(out.end(), {statusByte(0x90, ch), low7(event.note), low7(event.velocity)});
        break;
    case MIDIEventType::noteOff:
        out.insert(out.end(), {statusByte(0x80, ch), low7(event.note), low7(event.velocity)});
        break;
    case MIDIEventType::polyPressure:
        out.insert(out.end(), {statusByte(0xA0, ch), low7(event.note), low7(event.velocity)});
        break;
    case MIDIEventType::cc:
        out.insert(out.end(), {statusByte(0xB0, ch), low7(event.note), low7(event.velocity)});
        break;
    case MIDIEventType::programChange:
        out.insert(out.end(), {statusByte(0xC0, ch), low7(event.note)});
        break;
    case MIDIEventType::channelPressure:
        out.insert(out.end(), {statusByte(0xD0, ch), low7(event.velocity)});
        break;
    case MIDIEventType::pitchBend:
        out.insert(out.end(), {statusByte(0xE0, ch), low7(event.note), low7(event.note >> 7)});
        break;
    case MIDIEventType::systemExclusive:
        out.insert(out.end(), event.data.begin(), event.data.end());
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

void parsePacketBytes(std::span<const std::uint8_t> packet, MIDIParserState& state,
                      std::vector<MIDIEvent>& events, std::vector<MIDIRawSystemExclusiveFrame>* frames,
                      std::size_t maxSystemExclusiveBytes) {
    const std::uint8_t* const p = packet.data();
    const std::size_t n = packet.size();
    ByteArray& accumulation = state.systemExclusiveAccumulation;
    std::optional<std::uint8_t>& runningStatus = state.runningStatus;

    // Real-time bytes are invisible to every rule below: each walk steps over them.
    auto skipRealTime = [p, n](std::size_t j) {
        while (j < n && isRealTime(p[j])) ++j;
        return j;
    };

    std::size_t i = 0;
    bool sysExJustStarted = false;  // an F0 at the end of the packet still reports its frame
    for (;;) {
        i = skipRealTime(i);
        if (i >= n && !sysExJustStarted) return;

        if (!accumulation.empty()) {
            sysExJustStarted = false;
            // Inside a System Exclusive message: gather runs of bytes up to the first F7.
            bool complete = false;
            bool overflowed = false;
            while (i < n) {
                std::size_t end = i;
                while (end < n && !isRealTime(p[end]) && p[end] != kSysExEnd) ++end;
                if (end < n && p[end] == kSysExEnd) {
                    ++end;
                    complete = true;
                }
                const std::size_t room = maxSystemExclusiveBytes > accumulation.size()
                                             ? maxSystemExclusiveBytes - accumulation.size()
                                             : 0;
                if (end - i > room) {
                    // The message would outgrow the cap: drop it whole. Parsing goes on
                    // at the first byte that did not fit, by the ordinary rules.
                    releaseAccumulation(accumulation);
                    i += room;
                    overflowed = true;
                    break;
                }
                accumulation.insert(accumulation.end(), p + i, p + end);
                i = skipRealTime(end);
                if (complete) break;
            }
            if (overflowed) continue;
            if (!complete) {
                if (frames) frames->push_back(MIDIRawSystemExclusiveFrame{accumulation, false});
                return;
            }
            if (frames) frames->push_back(MIDIRawSystemExclusiveFrame{accumulation, true});
            MIDIEvent e;
            e.type = MIDIEventType::systemExclusive;
            e.data = std::move(accumulation);
            releaseAccumulation(accumulation);
            events.push_back(std::move(e));
            continue;
        }

        const std::uint8_t b = p[i];
        if (b == kSysExStart) {
            runningStatus.reset();
            if (maxSystemExclusiveBytes == 0) {
                ++i;
                continue;
            }
            accumulation.push_back(kSysExStart);
            sysExJustStarted = true;
            ++i;
            continue;
        }
        if (b > kSysExStart) {  // F1…F7: system common, or a stray F7
            runningStatus.reset();
            ++i;
            continue;
        }

        std::uint8_t status = 0;
        if (b >= 0x80) {
            runningStatus = b;
            status = b;
            ++i;
        } else if (runningStatus) {
            status = *runningStatus;
        } else {
            ++i;  // stray data byte
            continue;
        }

        const std::size_t firstData = i;
        const int needed = dataByteCount(status);
        std::uint8_t data[2] = {0, 0};
        int got = 0;
        std::size_t j = i;
        while (got < needed) {
            j = skipRealTime(j);
            if (j >= n) break;
            data[got++] = p[j++];
        }
        if (got < needed) return;  // truncated at the end of the packet: never completed later
        if (((data[0] | data[1]) & 0x80) != 0) {
            // A status byte where a data byte belongs: give up the message and look
            // at its bytes again without running status.
            runningStatus.reset();
            i = firstData;
            continue;
        }
        events.push_back(channelEvent(status, data[0], data[1]));
        i = j;
    }
}

void parsePacketBytes(std::span<const std::uint8_t> packet, MIDIParserState& state,
                      std::vector<MIDIEvent>& events, std::vector<MIDIRawSystemExclusiveFrame>& frames) {
    parsePacketBytes(packet, state, events, &frames, kMaxSystemExclusiveBytes);
}

void parseRawPackets(std::span<const MIDIRawPacket> packets, MIDIParserState& state,
                     std::vector<MIDIEvent>& events, std::vector<MIDIRawSystemExclusiveFrame>& frames) {
    for (const MIDIRawPacket& packet : packets) parsePacketBytes(packet.bytes, state, events, &frames);
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

std::string systemExclusiveFrameLogText(const MIDIRawSystemExclusiveFrame& frame) {
    std::string text = frame.isComplete ? "SysEx " : "SysEx partial ";
    text += std::to_string(frame.bytes.size());
    text += " bytes ";
    text += hexByteString(frame.bytes);
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
