// SPDX-License-Identifier: GPL-3.0-or-later
// Reads arbitrary bytes as a recovery journal and repairs a receiver from
// it: every repair event is a valid channel event, repairing twice changes
// little more, and a journal that was read writes back to the same value.
//
// Input: byte 0 chooses which notes the receiver holds before the repair;
// the rest is the journal.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "netmidi/RecoveryJournal.hpp"

using namespace velorin;

namespace {

void checkAt(bool condition, int line) {
    if (condition) return;
    std::fprintf(stderr, "check failed at line %d\n", line);
    std::abort();
}
#define check(condition) checkAt((condition), __LINE__)

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    RecoveryJournal journal;
    if (parseRecoveryJournal(std::span(data + 1, size - 1), journal) != RecoveryJournalError::none) return 0;
    check(journal.channels.size() <= 16);

    RecoveryJournalReceiver receiver;
    for (std::int64_t note = data[0] % 8; note < 128; note += 8) {
        receiver.observe(MIDIEvent::noteOnEvent(note, 100, note % 16));
    }
    std::vector<MIDIEvent> repairs;
    receiver.repair(journal, repairs);
    for (const MIDIEvent& e : repairs) {
        check(e.type != MIDIEventType::systemExclusive && e.channel >= 0 && e.channel <= 15);
        check(e.note >= 0 && e.note <= (e.type == MIDIEventType::pitchBend ? 16383 : 127));
        check(e.velocity >= 0 && e.velocity <= 127);
    }
    // Repairing again changes nothing, but for notes the journal says went off
    // and on again: those are played again, off then on.
    std::size_t retriggered = 0;
    for (const ChannelJournal& c : journal.channels) {
        for (const JournalNoteLog& log : c.notes)
            retriggered += (log.playable && c.offNotes.test(log.note)) ? 2 : 0;
    }
    repairs.clear();
    check(receiver.repair(journal, repairs) <= retriggered);

    // Channel journals with no chapter this side keeps write back empty; the
    // rest must read back as read.
    ByteArray bytes;
    encodeRecoveryJournal(journal, bytes);
    RecoveryJournal again;
    check(parseRecoveryJournal(bytes, again) == RecoveryJournalError::none);
    check(again.checkpoint == journal.checkpoint && again.channels.size() == journal.channels.size());
    for (std::size_t i = 0; i < journal.channels.size(); ++i) {
        const ChannelJournal& a = journal.channels[i];
        const ChannelJournal& b = again.channels[i];
        check(a.channel == b.channel && a.pitchWheel == b.pitchWheel && a.offNotes == b.offNotes);
        check(a.controllers == b.controllers && a.notes.size() == b.notes.size());
    }
    return 0;
}
