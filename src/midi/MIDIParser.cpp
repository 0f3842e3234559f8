// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/MIDIParser.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

namespace velorin {

namespace {

constexpr std::uint8_t kSysExStart = 0xF0;
constexpr std::uint8_t kSysExEnd = 0xF7;
constexpr std::uint8_t kFirstRealTime = 0xF8;

constexpr bool isRealTime(std::uint8_t b) {
    return b >= kFirstRealTime;
}

// The position of the first byte at or above F7 (the end of a SysEx message or a
// real-time byte) in p[i, n), or n. SysEx bodies are long runs of data bytes, so
// this looks at eight bytes at a time: for each byte, (b & 7F) + 09 reaches 80
// exactly when b & 7F >= 77, and together with the top bit that is b >= F7.
std::size_t findSysExStop(const std::uint8_t* p, std::size_t i, std::size_t n) {
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
        constexpr std::uint64_t kNine = 0x0909090909090909ULL;
        constexpr std::uint64_t kTop = 0x8080808080808080ULL;
        while (i + 8 <= n) {
            std::uint64_t word = 0;
            std::memcpy(&word, p + i, 8);
            const std::uint64_t hits = ((word & kLow7) + kNine) & word & kTop;
            if (hits != 0) return i + static_cast<std::size_t>(std::countr_zero(hits)) / 8;
            i += 8;
        }
    }
    while (i < n && p[i] < kSysExEnd) ++i;
    return i;
}

// How each channel status (by its high nibble, 8…E) becomes an event. The
// event's fields are weighted sums of the data bytes, so that filling an event
// takes no branch on the (unpredictable) kind of message.
struct ChannelShape {
    MIDIEventType type;
    std::uint8_t dataBytes;
    std::uint8_t noteFromD1, noteFromD2, velocityFromD1, velocityFromD2;
};
constexpr ChannelShape kChannelShapes[8] = {
    {MIDIEventType::noteOff, 2, 1, 0, 0, 1},          // 8n
    {MIDIEventType::noteOn, 2, 1, 0, 0, 1},           // 9n
    {MIDIEventType::polyPressure, 2, 1, 0, 0, 1},     // An
    {MIDIEventType::cc, 2, 1, 0, 0, 1},               // Bn
    {MIDIEventType::programChange, 1, 1, 0, 0, 0},    // Cn
    {MIDIEventType::channelPressure, 1, 0, 0, 1, 0},  // Dn
    {MIDIEventType::pitchBend, 2, 1, 128, 0, 0},      // En
    {MIDIEventType::noteOff, 2, 0, 0, 0, 0},          // (Fn: never a channel status)
};
static_assert(static_cast<int>(MIDIEventType::noteOff) == static_cast<int>(MIDIEventType::noteOn) + 1);

constexpr const ChannelShape& channelShape(std::uint8_t status) {
    return kChannelShapes[(status >> 4) & 0x07];
}

// Fills a default-constructed event (built in place in the caller's vector).
// A 9n message with velocity 0 is a note-off.
inline void fillChannelEvent(MIDIEvent& e, std::uint8_t status, std::uint8_t d1, std::uint8_t d2) {
    const ChannelShape& shape = channelShape(status);
    const bool isNoteOnZero = shape.type == MIDIEventType::noteOn && d2 == 0;
    e.type = static_cast<MIDIEventType>(static_cast<int>(shape.type) + (isNoteOnZero ? 1 : 0));
    e.note = d1 * shape.noteFromD1 + d2 * shape.noteFromD2;
    e.velocity = d1 * shape.velocityFromD1 + d2 * shape.velocityFromD2;
    e.channel = status & 0x0F;
}

// Gives up an accumulation's memory, not just its contents: a dropped or finished
// message must not leave a megabyte reserved on an input at rest.
void releaseAccumulation(ByteArray& accumulation) {
    ByteArray().swap(accumulation);
}

// An accumulation buffer up to this size is kept for the next message of the
// input; a larger one is handed to the event or freed.
constexpr std::size_t kKeptAccumulationCapacity = 4096;

}  // namespace

namespace {

// Keeps a copy of every frame (the vector form of the parse).
class CopyingFrameSink final : public MIDISystemExclusiveFrameSink {
public:
    explicit CopyingFrameSink(std::vector<MIDIRawSystemExclusiveFrame>& frames) : frames_(frames) {}
    void frame(std::span<const std::uint8_t> bytes, bool isComplete) override {
        frames_.push_back(MIDIRawSystemExclusiveFrame{ByteArray(bytes.begin(), bytes.end()), isComplete});
    }

private:
    std::vector<MIDIRawSystemExclusiveFrame>& frames_;
};

void parsePacket(std::span<const std::uint8_t> packet, MIDIParserState& state, std::vector<MIDIEvent>& events,
                 MIDISystemExclusiveFrameSink* frames, std::size_t maxSystemExclusiveBytes);

}  // namespace

void parsePacketBytes(std::span<const std::uint8_t> packet, MIDIParserState& state,
                      std::vector<MIDIEvent>& events, std::vector<MIDIRawSystemExclusiveFrame>* frames,
                      std::size_t maxSystemExclusiveBytes) {
    if (frames == nullptr) {
        parsePacket(packet, state, events, nullptr, maxSystemExclusiveBytes);
        return;
    }
    CopyingFrameSink sink(*frames);
    parsePacket(packet, state, events, &sink, maxSystemExclusiveBytes);
}

void parsePacketBytes(std::span<const std::uint8_t> packet, MIDIParserState& state,
                      std::vector<MIDIEvent>& events, MIDISystemExclusiveFrameSink& frames,
                      std::size_t maxSystemExclusiveBytes) {
    parsePacket(packet, state, events, &frames, maxSystemExclusiveBytes);
}

namespace {

void parsePacket(std::span<const std::uint8_t> packet, MIDIParserState& state, std::vector<MIDIEvent>& events,
                 MIDISystemExclusiveFrameSink* frames, std::size_t maxSystemExclusiveBytes) {
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
                std::size_t end = findSysExStop(p, i, n);
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
                if (frames) frames->frame(accumulation, false);
                return;
            }
            if (frames) frames->frame(accumulation, true);
            MIDIEvent& e = events.emplace_back();
            e.type = MIDIEventType::systemExclusive;
            if (accumulation.capacity() <= kKeptAccumulationCapacity) {
                // Copy and keep the buffer: the next message reuses it.
                e.data.assign(accumulation.begin(), accumulation.end());
                accumulation.clear();
            } else {
                e.data = std::move(accumulation);
                releaseAccumulation(accumulation);
            }
            continue;
        }

        const std::uint8_t b = p[i];
        if (b == kSysExStart) {
            runningStatus.reset();
            if (maxSystemExclusiveBytes == 0) {
                ++i;
                continue;
            }
            // Common case first: the whole message in this packet without real-time
            // bytes inside becomes its event with one allocation.
            const std::size_t end = findSysExStop(p, i + 1, n);
            if (end < n && p[end] == kSysExEnd && end - i + 1 <= maxSystemExclusiveBytes) {
                MIDIEvent& e = events.emplace_back();
                e.type = MIDIEventType::systemExclusive;
                e.data.assign(p + i, p + end + 1);
                if (frames) frames->frame(e.data, true);
                i = end + 1;
                continue;
            }
            accumulation.reserve(std::min(maxSystemExclusiveBytes, std::max<std::size_t>(n - i, 512)));
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

        const int needed = channelShape(status).dataBytes;
        // Fast path: the data bytes follow directly and are plain data bytes.
        if (i + static_cast<std::size_t>(needed) <= n) {
            const std::uint8_t d1 = p[i];
            const std::uint8_t next = i + 1 < n ? p[i + 1] : 0;
            const std::uint8_t d2 = needed == 2 ? next : 0;
            if (((d1 | d2) & 0x80) == 0) {
                fillChannelEvent(events.emplace_back(), status, d1, d2);
                i += static_cast<std::size_t>(needed);
                continue;
            }
        }

        // Slow path: real-time bytes between the data bytes, a status byte in
        // their place, or the packet ends first.
        const std::size_t firstData = i;
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
        fillChannelEvent(events.emplace_back(), status, data[0], data[1]);
        i = j;
    }
}

}  // namespace

void parsePacketBytes(std::span<const std::uint8_t> packet, MIDIParserState& state,
                      std::vector<MIDIEvent>& events, std::vector<MIDIRawSystemExclusiveFrame>& frames) {
    parsePacketBytes(packet, state, events, &frames, kMaxSystemExclusiveBytes);
}

void parseRawPackets(std::span<const MIDIRawPacket> packets, MIDIParserState& state,
                     std::vector<MIDIEvent>& events, std::vector<MIDIRawSystemExclusiveFrame>& frames) {
    for (const MIDIRawPacket& packet : packets) parsePacketBytes(packet.bytes, state, events, &frames);
}

std::string systemExclusiveFrameLogText(const MIDIRawSystemExclusiveFrame& frame) {
    std::string text = frame.isComplete ? "SysEx " : "SysEx partial ";
    text += std::to_string(frame.bytes.size());
    text += " bytes ";
    text += hexByteString(frame.bytes);
    return text;
}

}  // namespace velorin
