// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <bitset>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "midi/MIDIEvent.hpp"

namespace velorin {

// The recovery journal (RFC 6295 section 5 and appendix A): each packet says
// what changed in the sender's MIDI state since a checkpoint packet, so a
// receiver that lost packets after the checkpoint can bring its state up to
// date. Channel chapters kept here: P (program and bank), C (controllers), W
// (pitch wheel), N (notes on, and notes switched off). A system journal in a
// peer's packet is skipped by its length.

struct JournalNoteLog {
    std::uint8_t note = 0;
    std::uint8_t velocity = 0;  // 1…127
    bool playable = false;      // Y: recent enough to play late
    friend bool operator==(const JournalNoteLog&, const JournalNoteLog&) = default;
};

struct JournalProgram {
    std::uint8_t program = 0;
    std::optional<std::uint8_t> bankMSB;
    std::optional<std::uint8_t> bankLSB;
    friend bool operator==(const JournalProgram&, const JournalProgram&) = default;
};

struct JournalController {
    std::uint8_t number = 0;
    std::uint8_t value = 0;
    friend bool operator==(const JournalController&, const JournalController&) = default;
};

struct ChannelJournal {
    std::uint8_t channel = 0;
    std::optional<JournalProgram> program;
    std::vector<JournalController> controllers;
    std::optional<std::uint16_t> pitchWheel;  // 14-bit
    std::vector<JournalNoteLog> notes;
    std::bitset<128> offNotes;  // notes switched off since the checkpoint (and not on again)
    friend bool operator==(const ChannelJournal&, const ChannelJournal&) = default;
};

struct RecoveryJournal {
    std::uint16_t checkpoint = 0;  // the journal covers the packets after this one
    std::vector<ChannelJournal> channels;
    friend bool operator==(const RecoveryJournal&, const RecoveryJournal&) = default;
};

enum class RecoveryJournalError : std::uint8_t { none, truncated, badLength, badChapter };
const char* recoveryJournalErrorText(RecoveryJournalError error);

// Reads a journal. Never reads past `bytes`; chapters this side does not keep
// (M, E, T, A and the system journal) are skipped by their lengths.
RecoveryJournalError parseRecoveryJournal(std::span<const std::uint8_t> bytes, RecoveryJournal& out);
// Appends a journal's bytes to `out`.
void encodeRecoveryJournal(const RecoveryJournal& journal, ByteArray& out);

// The sending side's history for one peer's stream: every channel event sent
// is recorded with the sequence number of its packet; a receiver's feedback
// moves the checkpoint and drops what it confirmed. Bounded: at most the state
// of 16 channels, whatever is sent.
class RecoveryJournalSender {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    // A note-on older than this when a packet is written is journaled as not playable.
    static constexpr std::chrono::milliseconds kPlayableNoteAge{100};

    explicit RecoveryJournalSender(std::uint16_t firstSequenceNumber = 0);

    // Records a channel event sent in the packet numbered `sequenceNumber` (SysEx is ignored).
    void record(const MIDIEvent& event, std::uint16_t sequenceNumber, TimePoint now);
    // The receiver has everything up to `sequenceNumber`.
    void acknowledge(std::uint16_t sequenceNumber);
    // True when the journal has nothing after the checkpoint.
    bool empty() const;
    std::uint16_t checkpoint() const { return checkpoint_; }
    // The journal as of now, for the packet about to be sent, at most
    // `maxBytes` long (controller logs and then not playable notes are left out
    // first; notes switched off always go in). Appends to `out`; false when
    // there is nothing to say.
    bool encode(TimePoint now, std::size_t maxBytes, ByteArray& out) const;
    // The same as a value (tests, fuzzing).
    RecoveryJournal snapshot(TimePoint now) const;

private:
    struct NoteState {
        TimePoint onTime{};
        std::uint16_t onSequence = 0;
        std::uint16_t offSequence = 0;
        std::uint8_t velocity = 0;
        bool on = false;
        bool onRecorded = false;   // the note-on is after the checkpoint
        bool offRecorded = false;  // a note-off is after the checkpoint
    };
    struct ChannelState {
        std::array<NoteState, 128> notes{};
        std::array<std::uint8_t, 128> controllers{};
        std::array<std::uint16_t, 128> controllerSequence{};
        std::bitset<128> controllerRecorded;
        std::uint8_t program = 0;
        std::uint16_t programSequence = 0;
        bool programRecorded = false;
        std::int16_t bankMSB = -1;  // the bank controllers as last sent, -1 before
        std::int16_t bankLSB = -1;
        std::optional<JournalProgram> programBank;
        std::uint16_t pitchWheel = 0;
        std::uint16_t pitchSequence = 0;
        bool pitchRecorded = false;
    };
    // How much of the history a packet carries, fullest first.
    enum class Detail : std::uint8_t { everything, noStaleNotes, noControllers, essentials };
    bool isAfterCheckpoint(std::uint16_t sequenceNumber) const;
    // Forgets what the checkpoint covers; recomputes which channels have anything left.
    void sweep();
    void encodeChannel(std::size_t channel, Detail detail, TimePoint now, ByteArray& out) const;
    std::array<ChannelState, 16> channels_{};
    std::uint16_t pendingChannels_ = 0;  // bit per channel with history after the checkpoint
    std::uint16_t checkpoint_ = 0;
    std::uint16_t latest_ = 0;
};

// The receiving side's view of one peer's MIDI state, kept from the events
// delivered, and the repair when packets were lost: notes the journal says
// are off are switched off, playable missed notes are played, others are not
// brought back; controllers, program and pitch wheel are set where they
// differ.
class RecoveryJournalReceiver {
public:
    // Notes what a delivered event changed (call for every event passed on).
    void observe(const MIDIEvent& event);
    // Appends to `out` the events that bring this state in line with the
    // journal, and applies them to the state. Returns how many.
    std::size_t repair(const RecoveryJournal& journal, std::vector<MIDIEvent>& out);
    // Note-offs for every note still on (a peer that leaves), and forgets them.
    std::size_t releaseAll(std::vector<MIDIEvent>& out);
    std::size_t notesOn() const;

private:
    struct ChannelState {
        std::bitset<128> notesOn;
        std::array<std::int16_t, 128> controllers;
        std::int16_t program = -1;
        std::int32_t pitchWheel = -1;
        ChannelState() { controllers.fill(-1); }
    };
    std::array<ChannelState, 16> channels_{};
};

}  // namespace velorin
