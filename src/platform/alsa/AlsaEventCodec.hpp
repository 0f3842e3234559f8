// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <alsa/asoundlib.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/MIDIService.hpp"
#include "platform/alsa/AlsaEndpointIdentity.hpp"

namespace velorin {

// Takes the sequencer events an encoder makes, one at a time, in order.
class AlsaEventSink {
public:
    // 0 to go on; a negative status stops the encoding with that status.
    virtual MIDIStatus put(snd_seq_event_t& event) = 0;

protected:
    ~AlsaEventSink() = default;
};

// The sequencer event of one whole channel voice message, built directly: the
// event libasound's byte encoder makes of it, without its state machine. Any
// other input (running status, a stray data byte, several messages) gives
// nothing and is left to AlsaEventEncoder. The event carries only type and data.
std::optional<snd_seq_event_t> alsaChannelVoiceEvent(std::span<const std::uint8_t> bytes);

// MIDI bytes to sequencer events. Ordinary messages go through libasound's
// encoder; a System Exclusive message (F0 up to and including the next F7, or
// to the end of the bytes) becomes SYSEX events of at most kSysExChunkSize
// bytes each, because the kernel refuses an event larger than the receiver's
// pool and a large one can empty the receiver's queue. Bytes that form no
// message (stray data bytes, undefined status bytes) make no event. The events
// carry only type, flags and data; the caller addresses them.
class AlsaEventEncoder {
public:
    static constexpr std::size_t kSysExChunkSize = 256;

    AlsaEventEncoder();
    ~AlsaEventEncoder();
    AlsaEventEncoder(const AlsaEventEncoder&) = delete;
    AlsaEventEncoder& operator=(const AlsaEventEncoder&) = delete;

    // 0, or why the encoder could not be made.
    MIDIStatus status() const { return status_; }

    // SYSEX event data points into `bytes`, valid while the sink runs.
    MIDIStatus encode(std::span<const std::uint8_t> bytes, AlsaEventSink& sink);

private:
    snd_midi_event_t* coder_ = nullptr;
    MIDIStatus status_ = 0;
};

// Sequencer events to MIDI bytes, every message with its status byte (no
// running status), so each packet stands on its own.
class AlsaEventDecoder {
public:
    AlsaEventDecoder();
    ~AlsaEventDecoder();
    AlsaEventDecoder(const AlsaEventDecoder&) = delete;
    AlsaEventDecoder& operator=(const AlsaEventDecoder&) = delete;

    MIDIStatus status() const { return status_; }

    // The bytes of one event; empty when it carries no MIDI (announcements,
    // queue control, user events). A SYSEX event gives its data as it came,
    // which may be one chunk of a longer message. The view holds until the
    // next decode or until the event's storage is reused.
    std::span<const std::uint8_t> decode(const snd_seq_event_t& event);

private:
    std::array<std::uint8_t, 32> buffer_{};
    snd_midi_event_t* coder_ = nullptr;
    MIDIStatus status_ = 0;
};

// Pool cells an event takes in a receiving client's input pool: one for the
// event and one per started event size of variable data. Inline: it is asked
// for every event sent.
inline std::size_t alsaEventCells(const snd_seq_event_t& event) {
    if ((event.flags & SND_SEQ_EVENT_LENGTH_MASK) != SND_SEQ_EVENT_LENGTH_VARIABLE) return 1;
    constexpr std::size_t cell = sizeof(snd_seq_event_t);
    return 1 + (event.data.ext.len + cell - 1) / cell;
}

// The packets of one read pass, grouped by (our destination port, source
// address) in order of first arrival, each group's packets in order. Full
// after kMaxEvents packets or kMaxBytes bytes, so a flood is handed on in
// bounded pieces. The packets' storage is kept from pass to pass, so a steady
// stream of short messages allocates nothing.
class AlsaReceiveBatch {
public:
    static constexpr std::size_t kMaxEvents = 256;
    static constexpr std::size_t kMaxBytes = 64 * 1024;

    struct Group {
        int port = 0;
        AlsaAddress source;
        MIDIPacketList packets;
    };

    // Adds a copy of one packet; answers true when the batch is full.
    bool add(int port, AlsaAddress source, std::span<const std::uint8_t> packet);
    // The groups since the last clear. Their packets may be taken (moved from);
    // a packet list left in place, or packets swapped for others, lend their
    // storage to the next pass.
    std::span<Group> groups() { return {groups_.data(), used_}; }
    bool empty() const { return events_ == 0; }
    void clear();

private:
    std::vector<Group> groups_;
    std::size_t used_ = 0;
    // Emptied packets whose storage the next ones reuse.
    std::vector<std::vector<std::uint8_t>> spares_;
    std::size_t events_ = 0;
    std::size_t bytes_ = 0;
};

}  // namespace velorin
