// SPDX-License-Identifier: GPL-3.0-or-later
#include "netmidi/RTPMIDIPayload.hpp"

#include <algorithm>

namespace velorin {

namespace {

constexpr std::uint8_t kSysExStart = 0xF0;
constexpr std::uint8_t kSysExEnd = 0xF7;
constexpr std::uint8_t kSysExCancel = 0xF4;

// Data bytes after a channel status, by its high nibble (8…E).
constexpr std::size_t channelDataBytes(std::uint8_t status) {
    const unsigned kind = status >> 4;
    return (kind == 0xC || kind == 0xD) ? 1 : 2;
}

// Data bytes after a system common status; -1 for the undefined ones.
constexpr int systemCommonDataBytes(std::uint8_t status) {
    switch (status) {
        case 0xF1:
        case 0xF3:
            return 1;
        case 0xF2:
            return 2;
        case 0xF6:
            return 0;
        default:
            return -1;
    }
}

MIDIEvent channelEvent(std::uint8_t status, std::uint8_t d1, std::uint8_t d2) {
    MIDIEvent e;
    e.channel = status & 0x0F;
    switch (status >> 4) {
        case 0x8:
            e = MIDIEvent::noteOffEvent(d1, d2, e.channel);
            break;
        case 0x9:
            e = d2 == 0 ? MIDIEvent::noteOffEvent(d1, 0, e.channel)
                        : MIDIEvent::noteOnEvent(d1, d2, e.channel);
            break;
        case 0xA:
            e.type = MIDIEventType::polyPressure;
            e.note = d1;
            e.velocity = d2;
            break;
        case 0xB:
            e = MIDIEvent::ccEvent(d1, d2, e.channel);
            break;
        case 0xC:
            e.type = MIDIEventType::programChange;
            e.note = d1;
            break;
        case 0xD:
            e.type = MIDIEventType::channelPressure;
            e.velocity = d1;
            break;
        default:
            e.type = MIDIEventType::pitchBend;
            e.note = d1 | (d2 << 7);
            break;
    }
    return e;
}

std::uint8_t channelStatus(const MIDIEvent& e) {
    static constexpr std::uint8_t kKinds[] = {0x90, 0x80, 0xA0, 0xB0, 0xC0, 0xD0, 0xE0, 0xF0};
    return static_cast<std::uint8_t>(kKinds[static_cast<std::size_t>(e.type)] | (e.channel & 0x0F));
}

void appendChannelData(const MIDIEvent& e, ByteArray& out) {
    auto low7 = [](std::int64_t v) { return static_cast<std::uint8_t>(v & 0x7F); };
    switch (e.type) {
        case MIDIEventType::programChange:
            out.push_back(low7(e.note));
            break;
        case MIDIEventType::channelPressure:
            out.push_back(low7(e.velocity));
            break;
        case MIDIEventType::pitchBend:
            out.push_back(low7(e.note));
            out.push_back(low7(e.note >> 7));
            break;
        default:
            out.push_back(low7(e.note));
            out.push_back(low7(e.velocity));
            break;
    }
}

}  // namespace

const char* rtpMIDIErrorText(RTPMIDIError error) {
    switch (error) {
        case RTPMIDIError::none:
            return "no error";
        case RTPMIDIError::truncated:
            return "truncated RTP MIDI packet";
        case RTPMIDIError::notRTPVersion2:
            return "not an RTP version 2 packet";
        case RTPMIDIError::unsupportedHeader:
            return "RTP header with padding, extension or contributing sources";
        case RTPMIDIError::badCommand:
            return "invalid MIDI command section";
        case RTPMIDIError::systemExclusiveTooLong:
            return "SysEx message too long";
        case RTPMIDIError::badJournal:
            return "invalid recovery journal";
    }
    return "invalid RTP MIDI packet";
}

RTPMIDIError parseRTPMIDIPacket(std::span<const std::uint8_t> d, RTPMIDIPacketView& out) {
    if (d.size() < kRTPHeaderBytes + 1) return RTPMIDIError::truncated;
    if ((d[0] >> 6) != 2) return RTPMIDIError::notRTPVersion2;
    if ((d[0] & 0x3F) != 0) return RTPMIDIError::unsupportedHeader;
    out.header.marker = (d[1] & 0x80) != 0;
    out.header.payloadType = d[1] & 0x7F;
    out.header.sequenceNumber = static_cast<std::uint16_t>((d[2] << 8) | d[3]);
    out.header.timestamp = (std::uint32_t{d[4]} << 24) | (std::uint32_t{d[5]} << 16) |
                           (std::uint32_t{d[6]} << 8) | std::uint32_t{d[7]};
    out.header.ssrc = (std::uint32_t{d[8]} << 24) | (std::uint32_t{d[9]} << 16) |
                      (std::uint32_t{d[10]} << 8) | std::uint32_t{d[11]};
    std::size_t pos = kRTPHeaderBytes;
    const std::uint8_t flags = d[pos];
    std::size_t length = flags & 0x0F;
    ++pos;
    if (flags & 0x80) {
        if (pos >= d.size()) return RTPMIDIError::truncated;
        length = (length << 8) | d[pos];
        ++pos;
    }
    if (d.size() - pos < length) return RTPMIDIError::truncated;
    out.firstCommandHasDeltaTime = (flags & 0x20) != 0;
    out.phantomStatus = (flags & 0x10) != 0;
    out.commands = d.subspan(pos, length);
    pos += length;
    if (flags & 0x40) {
        if (pos >= d.size()) return RTPMIDIError::truncated;
        out.journal = d.subspan(pos);
    } else {
        out.journal.reset();
    }
    return RTPMIDIError::none;
}

RTPMIDIError decodeCommandSection(const RTPMIDIPacketView& packet, RTPMIDIReceiveState& state,
                                  std::vector<RTPMIDITimedEvent>& out) {
    const auto b = packet.commands;
    const std::size_t n = b.size();
    std::size_t pos = 0;
    std::uint32_t offset = 0;
    std::uint8_t running = 0;
    bool first = true;
    bool tooLong = false;
    auto closeSystemExclusive = [&] {
        state.systemExclusive.clear();
        state.droppingSystemExclusive = false;
    };
    while (pos < n) {
        if (!first || packet.firstCommandHasDeltaTime) {
            std::uint32_t delta = 0;
            for (int i = 0;; ++i) {
                if (pos >= n || i == 4) return RTPMIDIError::badCommand;
                const std::uint8_t byte = b[pos++];
                delta = (delta << 7) | (byte & 0x7F);
                if (!(byte & 0x80)) break;
            }
            offset += delta;
            if (pos >= n) return RTPMIDIError::badCommand;
        }
        first = false;
        const std::uint8_t head = b[pos];
        if (head >= 0xF8) {  // real-time: one byte, running status untouched
            ++pos;
            continue;
        }
        if (head == kSysExStart || head == kSysExEnd) {
            // One SysEx segment: from its opening byte to F0 (more follows), F7 (the end)
            // or F4 (cancelled). Real-time bytes inside are skipped.
            std::size_t end = pos + 1;
            while (end < n && (b[end] < 0x80 || b[end] >= 0xF8)) ++end;
            if (end >= n) return RTPMIDIError::badCommand;
            const std::uint8_t close = b[end];
            if (close != kSysExStart && close != kSysExEnd && close != kSysExCancel)
                return RTPMIDIError::badCommand;
            running = 0;
            const bool continuing = head == kSysExEnd;
            if (!continuing) closeSystemExclusive();
            const bool open = !state.systemExclusive.empty() || state.droppingSystemExclusive;
            if (continuing && !open) {  // a tail whose start we never saw
                pos = end + 1;
                continue;
            }
            if (close == kSysExCancel) {
                closeSystemExclusive();
                pos = end + 1;
                continue;
            }
            if (!state.droppingSystemExclusive) {
                if (!continuing) state.systemExclusive.push_back(kSysExStart);
                for (std::size_t i = pos + 1; i < end; ++i) {
                    if (b[i] >= 0xF8) continue;
                    if (state.systemExclusive.size() + 1 >= state.maxSystemExclusiveBytes) {
                        state.systemExclusive.clear();
                        state.droppingSystemExclusive = true;
                        break;
                    }
                    state.systemExclusive.push_back(b[i]);
                }
            }
            pos = end + 1;
            if (close == kSysExEnd) {
                if (state.droppingSystemExclusive) {
                    tooLong = true;
                } else {
                    state.systemExclusive.push_back(kSysExEnd);
                    RTPMIDITimedEvent timed;
                    timed.offset = offset;
                    timed.event.type = MIDIEventType::systemExclusive;
                    timed.event.data = std::move(state.systemExclusive);
                    out.push_back(std::move(timed));
                }
                closeSystemExclusive();
            }
            continue;
        }
        if (head >= 0xF1) {  // system common
            const int dataBytes = systemCommonDataBytes(head);
            if (dataBytes < 0 || n - pos - 1 < static_cast<std::size_t>(dataBytes))
                return RTPMIDIError::badCommand;
            for (int i = 1; i <= dataBytes; ++i) {
                if (b[pos + static_cast<std::size_t>(i)] >= 0x80) return RTPMIDIError::badCommand;
            }
            running = 0;
            pos += 1 + static_cast<std::size_t>(dataBytes);
            continue;
        }
        if (head >= 0x80) {
            running = head;
            ++pos;
        } else if (running == 0) {
            return RTPMIDIError::badCommand;
        }
        const std::size_t dataBytes = channelDataBytes(running);
        if (n - pos < dataBytes) return RTPMIDIError::badCommand;
        const std::uint8_t d1 = b[pos];
        const std::uint8_t d2 = dataBytes == 2 ? b[pos + 1] : 0;
        if (d1 >= 0x80 || d2 >= 0x80) return RTPMIDIError::badCommand;
        pos += dataBytes;
        out.push_back(RTPMIDITimedEvent{offset, channelEvent(running, d1, d2)});
    }
    return tooLong ? RTPMIDIError::systemExclusiveTooLong : RTPMIDIError::none;
}

RTPMIDICommandWriter::RTPMIDICommandWriter(std::size_t capacity) {
    reset(capacity);
}

void RTPMIDICommandWriter::reset(std::size_t capacity) {
    capacity_ = std::min(capacity, kMaxCommandSectionBytes);
    bytes_.clear();
    if (bytes_.capacity() < capacity_) bytes_.reserve(capacity_);
    count_ = 0;
    runningStatus_ = 0;
}

bool RTPMIDICommandWriter::appendDelta(std::uint32_t deltaTime) {
    if (count_ == 0) return true;  // the first command has none (Z clear)
    appendDeltaTime(deltaTime, bytes_);
    return true;
}

std::size_t appendDeltaTime(std::uint32_t deltaTime, ByteArray& out) {
    deltaTime &= 0x0FFFFFFF;
    std::uint8_t groups[4];
    std::size_t count = 0;
    do {
        groups[count++] = static_cast<std::uint8_t>(deltaTime & 0x7F);
        deltaTime >>= 7;
    } while (deltaTime != 0 && count < 4);
    for (std::size_t i = count; i-- > 0;)
        out.push_back(static_cast<std::uint8_t>(groups[i] | (i > 0 ? 0x80 : 0)));
    return count;
}

static std::size_t deltaTimeBytes(std::uint32_t deltaTime) {
    deltaTime &= 0x0FFFFFFF;
    std::size_t count = 1;
    while (deltaTime >>= 7) ++count;
    return count;
}

bool RTPMIDICommandWriter::appendChannelEvent(std::uint32_t deltaTime, const MIDIEvent& event) {
    if (event.type == MIDIEventType::systemExclusive) return false;
    const std::uint8_t status = channelStatus(event);
    const bool needStatus = status != runningStatus_;
    const std::size_t size =
        (count_ == 0 ? 0 : deltaTimeBytes(deltaTime)) + (needStatus ? 1 : 0) + channelDataBytes(status);
    if (size > remaining()) return false;
    appendDelta(deltaTime);
    if (needStatus) bytes_.push_back(status);
    appendChannelData(event, bytes_);
    runningStatus_ = status;
    ++count_;
    return true;
}

std::size_t RTPMIDICommandWriter::appendSystemExclusive(std::uint32_t deltaTime,
                                                        std::span<const std::uint8_t> message,
                                                        std::size_t offset) {
    // The body is what lies between the opening F0 and the closing F7.
    if (message.size() < 2 || message.front() != kSysExStart) return message.size();
    const std::size_t bodyEnd = message.back() == kSysExEnd ? message.size() - 1 : message.size();
    const std::size_t bodyStart = std::max<std::size_t>(offset, 1);
    if (bodyStart > bodyEnd) return message.size();
    const std::size_t overhead = (count_ == 0 ? 0 : deltaTimeBytes(deltaTime)) + 2;
    if (remaining() <= overhead) return offset;
    const std::size_t room = remaining() - overhead;
    const std::size_t left = bodyEnd - bodyStart;
    // Whole (or the final segment) when it fits; otherwise as much as fits, ending F0.
    const std::size_t take = std::min(left, room);
    if (take == 0 && left > 0) return offset;
    appendDelta(deltaTime);
    bytes_.push_back(bodyStart == 1 ? kSysExStart : kSysExEnd);
    for (std::size_t i = bodyStart; i < bodyStart + take; ++i) {
        const std::uint8_t byte = message[i];
        bytes_.push_back(byte >= 0x80 ? static_cast<std::uint8_t>(byte & 0x7F) : byte);
    }
    const bool last = take == left;
    bytes_.push_back(last ? kSysExEnd : kSysExStart);
    runningStatus_ = 0;
    ++count_;
    return last ? message.size() : bodyStart + take;
}

void encodeRTPMIDIPacket(const RTPMIDIHeader& header, std::span<const std::uint8_t> commands,
                         std::optional<std::span<const std::uint8_t>> journal, ByteArray& out) {
    out.clear();
    const std::size_t length = std::min(commands.size(), kMaxCommandSectionBytes);
    out.reserve(kRTPHeaderBytes + 2 + length + (journal ? journal->size() : 0));
    out.push_back(0x80);
    out.push_back(static_cast<std::uint8_t>((header.marker ? 0x80 : 0) | (header.payloadType & 0x7F)));
    out.push_back(static_cast<std::uint8_t>(header.sequenceNumber >> 8));
    out.push_back(static_cast<std::uint8_t>(header.sequenceNumber));
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(header.timestamp >> shift));
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(header.ssrc >> shift));
    const std::uint8_t j = journal ? 0x40 : 0;
    if (length > 0x0F) {
        out.push_back(static_cast<std::uint8_t>(0x80 | j | (length >> 8)));
        out.push_back(static_cast<std::uint8_t>(length));
    } else {
        out.push_back(static_cast<std::uint8_t>(j | length));
    }
    out.insert(out.end(), commands.begin(), commands.begin() + static_cast<std::ptrdiff_t>(length));
    if (journal) out.insert(out.end(), journal->begin(), journal->end());
}

}  // namespace velorin
