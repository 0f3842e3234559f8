// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "midi/MIDIEvent.hpp"
#include "midi/MIDIParser.hpp"

namespace velorin {

// The RTP MIDI payload (RFC 6295): a 12-byte RTP header, then the MIDI command
// section (a one- or two-byte header B|J|Z|P|LEN, then commands, each after the
// first preceded by a delta time of one to four bytes), then, when the J flag
// is set, the recovery journal.

inline constexpr std::uint8_t kRTPMIDIPayloadType = 0x61;
inline constexpr std::size_t kRTPHeaderBytes = 12;
// The longest command section the two-byte header can state.
inline constexpr std::size_t kMaxCommandSectionBytes = 0x0FFF;
// The largest datagram the session sends: fits any IPv6 path without fragmenting.
inline constexpr std::size_t kMaxRTPMIDIDatagramBytes = 1280;

struct RTPMIDIHeader {
    bool marker = false;
    std::uint8_t payloadType = kRTPMIDIPayloadType;
    std::uint16_t sequenceNumber = 0;
    std::uint32_t timestamp = 0;  // 10 kHz units of the sender's session clock
    std::uint32_t ssrc = 0;
    friend bool operator==(const RTPMIDIHeader&, const RTPMIDIHeader&) = default;
};

// A parsed datagram; the spans point into it.
struct RTPMIDIPacketView {
    RTPMIDIHeader header;
    bool firstCommandHasDeltaTime = false;  // Z
    bool phantomStatus = false;             // P
    std::span<const std::uint8_t> commands;
    std::optional<std::span<const std::uint8_t>> journal;  // J set
};

enum class RTPMIDIError : std::uint8_t {
    none,
    truncated,          // shorter than the header or the lengths it states
    notRTPVersion2,     // version bits other than 2
    unsupportedHeader,  // padding, extension or contributing sources we do not read
    badCommand,         // a data byte without status, an undefined status, a cut command
    systemExclusiveTooLong,
    badJournal,
};
const char* rtpMIDIErrorText(RTPMIDIError error);

// Reads the RTP header and command section header of one datagram. Never reads past it.
RTPMIDIError parseRTPMIDIPacket(std::span<const std::uint8_t> datagram, RTPMIDIPacketView& out);

// One decoded MIDI event and its time offset from the packet's timestamp
// (the sum of the delta times up to it).
struct RTPMIDITimedEvent {
    std::uint32_t offset = 0;
    MIDIEvent event;
    friend bool operator==(const RTPMIDITimedEvent&, const RTPMIDITimedEvent&) = default;
};

// What one peer's stream carries from packet to packet: a SysEx message sent
// in segments is put together here (at most `maxSystemExclusiveBytes`; a longer
// one is dropped whole).
struct RTPMIDIReceiveState {
    ByteArray systemExclusive;  // the segments so far, from F0; empty when none is open
    bool droppingSystemExclusive = false;
    std::size_t maxSystemExclusiveBytes = kMaxSystemExclusiveBytes;
};

// Decodes a command section into channel voice and SysEx events, appended to
// `out`. Running status inside the section, delta times, segmented SysEx and
// real-time bytes anywhere are understood; system common and real-time
// messages are skipped (they have no event form here). On an error the
// events before it are kept and the rest of the section is skipped.
RTPMIDIError decodeCommandSection(const RTPMIDIPacketView& packet, RTPMIDIReceiveState& state,
                                  std::vector<RTPMIDITimedEvent>& out);

// Builds the command section of one packet. Channel messages use running
// status within the packet; a SysEx message that does not fit is cut into
// segments (F0…F0, F7…F0, F7…F7) and the rest waits for the next packet.
class RTPMIDICommandWriter {
public:
    // `capacity`: the most command bytes (deltas included) this packet may hold.
    explicit RTPMIDICommandWriter(std::size_t capacity = kMaxCommandSectionBytes);

    void reset(std::size_t capacity);
    // Appends a channel event; false (nothing written) when it does not fit.
    bool appendChannelEvent(std::uint32_t deltaTime, const MIDIEvent& event);
    // Appends as much of a SysEx message as fits, starting at `offset` into
    // `message` (F0 … F7), and returns the new offset; message.size() when
    // all of it is written, `offset` unchanged when nothing fit.
    std::size_t appendSystemExclusive(std::uint32_t deltaTime, std::span<const std::uint8_t> message,
                                      std::size_t offset);

    bool empty() const { return count_ == 0; }
    std::size_t commandCount() const { return count_; }
    std::span<const std::uint8_t> bytes() const { return bytes_; }
    std::size_t remaining() const { return capacity_ > bytes_.size() ? capacity_ - bytes_.size() : 0; }

private:
    bool appendDelta(std::uint32_t deltaTime);
    ByteArray bytes_;
    std::size_t capacity_ = 0;
    std::size_t count_ = 0;
    std::uint8_t runningStatus_ = 0;
};

// Writes a whole datagram: the RTP header, the command section header and
// `commands` (from an RTPMIDICommandWriter, no delta before the first), and
// the journal when given (sets J). Replaces `out`'s contents.
void encodeRTPMIDIPacket(const RTPMIDIHeader& header, std::span<const std::uint8_t> commands,
                         std::optional<std::span<const std::uint8_t>> journal, ByteArray& out);

// Delta times: one to four bytes, seven bits each, high bit set on all but the last.
std::size_t appendDeltaTime(std::uint32_t deltaTime, ByteArray& out);

}  // namespace velorin
