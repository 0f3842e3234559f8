// SPDX-License-Identifier: GPL-3.0-or-later
#include "netmidi/RecoveryJournal.hpp"

#include <algorithm>

namespace velorin {

namespace {

// Table of contents bits of a channel journal, in chapter order.
constexpr std::uint8_t kChapterP = 0x80;
constexpr std::uint8_t kChapterC = 0x40;
constexpr std::uint8_t kChapterM = 0x20;
constexpr std::uint8_t kChapterW = 0x10;
constexpr std::uint8_t kChapterN = 0x08;

// Controllers from 120 on are channel mode messages: replaying them would
// silence or reset the channel, so they are never journaled as values.
constexpr std::uint8_t kFirstChannelModeController = 120;
constexpr std::uint8_t kAllSoundOff = 120;
constexpr std::uint8_t kAllNotesOff = 123;
constexpr std::uint8_t kBankMSB = 0;
constexpr std::uint8_t kBankLSB = 32;

std::uint8_t low7(std::int64_t v) {
    return static_cast<std::uint8_t>(v & 0x7F);
}

// Channel mode messages that end every note of the channel.
bool endsAllNotes(std::uint8_t controller) {
    return controller == kAllSoundOff || controller >= kAllNotesOff;
}

MIDIEvent programEvent(std::uint8_t program, std::int64_t channel) {
    MIDIEvent e;
    e.type = MIDIEventType::programChange;
    e.note = program;
    e.channel = channel;
    return e;
}

MIDIEvent pitchEvent(std::uint16_t value, std::int64_t channel) {
    MIDIEvent e;
    e.type = MIDIEventType::pitchBend;
    e.note = value;
    e.channel = channel;
    return e;
}

}  // namespace

const char* recoveryJournalErrorText(RecoveryJournalError error) {
    switch (error) {
        case RecoveryJournalError::none:
            return "no error";
        case RecoveryJournalError::truncated:
            return "truncated recovery journal";
        case RecoveryJournalError::badLength:
            return "recovery journal length out of range";
        case RecoveryJournalError::badChapter:
            return "invalid recovery journal chapter";
    }
    return "invalid recovery journal";
}

// ---- Reading and writing ---------------------------------------------------

namespace {

RecoveryJournalError parseChannel(std::span<const std::uint8_t> b, ChannelJournal& channel) {
    // b: the whole channel journal, header included.
    const std::uint8_t toc = b[2];
    std::size_t pos = 3;
    auto need = [&](std::size_t bytes) { return b.size() - pos >= bytes; };
    if (toc & kChapterP) {
        if (!need(3)) return RecoveryJournalError::badChapter;
        JournalProgram program;
        program.program = b[pos] & 0x7F;
        if (b[pos + 1] & 0x80) {
            program.bankMSB = b[pos + 1] & 0x7F;
            program.bankLSB = b[pos + 2] & 0x7F;
        }
        channel.program = program;
        pos += 3;
    }
    if (toc & kChapterC) {
        if (!need(1)) return RecoveryJournalError::badChapter;
        const std::size_t logs = (b[pos] & 0x7F) + 1u;
        ++pos;
        if (!need(2 * logs)) return RecoveryJournalError::badChapter;
        for (std::size_t i = 0; i < logs; ++i, pos += 2) {
            // A set A bit is the toggle or count form of a pedal log, which this side does not replay.
            if (b[pos + 1] & 0x80) continue;
            channel.controllers.push_back(
                {static_cast<std::uint8_t>(b[pos] & 0x7F), static_cast<std::uint8_t>(b[pos + 1] & 0x7F)});
        }
    }
    if (toc & kChapterM) {
        if (!need(2)) return RecoveryJournalError::badChapter;
        const std::size_t length = (std::size_t{b[pos]} & 0x03) << 8 | b[pos + 1];
        if (length < 2 || !need(length)) return RecoveryJournalError::badChapter;
        pos += length;
    }
    if (toc & kChapterW) {
        if (!need(2)) return RecoveryJournalError::badChapter;
        channel.pitchWheel = static_cast<std::uint16_t>((b[pos] & 0x7F) | ((b[pos + 1] & 0x7F) << 7));
        pos += 2;
    }
    if (toc & kChapterN) {
        if (!need(2)) return RecoveryJournalError::badChapter;
        std::size_t logs = b[pos] & 0x7F;
        const unsigned lowOctet = b[pos + 1] >> 4;
        const unsigned highOctet = b[pos + 1] & 0x0F;
        pos += 2;
        std::size_t offOctets = lowOctet <= highOctet ? highOctet - lowOctet + 1 : 0;
        if (logs == 127 && lowOctet == 15 && highOctet == 0) logs = 128;
        if (!need(2 * logs + offOctets)) return RecoveryJournalError::badChapter;
        for (std::size_t i = 0; i < logs; ++i, pos += 2) {
            const std::uint8_t velocity = b[pos + 1] & 0x7F;
            if (velocity == 0) continue;  // not a valid log; ignored as the format asks
            channel.notes.push_back(
                {static_cast<std::uint8_t>(b[pos] & 0x7F), velocity, (b[pos + 1] & 0x80) != 0});
        }
        for (std::size_t octet = 0; octet < offOctets; ++octet, ++pos) {
            for (unsigned bit = 0; bit < 8; ++bit) {
                if (b[pos] & (0x80u >> bit)) channel.offNotes.set((lowOctet + octet) * 8 + bit);
            }
        }
    }
    // Chapters E, T and A follow; the channel length skips them.
    return RecoveryJournalError::none;
}

}  // namespace

RecoveryJournalError parseRecoveryJournal(std::span<const std::uint8_t> b, RecoveryJournal& out) {
    out.channels.clear();
    if (b.size() < 3) return RecoveryJournalError::truncated;
    const bool hasSystem = (b[0] & 0x40) != 0;
    const bool hasChannels = (b[0] & 0x20) != 0;
    const std::size_t channels = (b[0] & 0x0F) + 1u;
    out.checkpoint = static_cast<std::uint16_t>((b[1] << 8) | b[2]);
    std::size_t pos = 3;
    if (hasSystem) {
        if (b.size() - pos < 2) return RecoveryJournalError::truncated;
        const std::size_t length = (std::size_t{b[pos]} & 0x03) << 8 | b[pos + 1];
        if (length < 2 || b.size() - pos < length) return RecoveryJournalError::badLength;
        pos += length;
    }
    if (!hasChannels) return RecoveryJournalError::none;
    for (std::size_t i = 0; i < channels; ++i) {
        if (b.size() - pos < 3) return RecoveryJournalError::truncated;
        const std::size_t length = (std::size_t{b[pos]} & 0x03) << 8 | b[pos + 1];
        if (length < 3 || b.size() - pos < length) return RecoveryJournalError::badLength;
        ChannelJournal channel;
        channel.channel = (b[pos] >> 3) & 0x0F;
        // Each channel appears once; a second journal for it would contradict the first.
        for (const ChannelJournal& seen : out.channels) {
            if (seen.channel == channel.channel) return RecoveryJournalError::badChapter;
        }
        if (auto error = parseChannel(b.subspan(pos, length), channel); error != RecoveryJournalError::none) {
            return error;
        }
        out.channels.push_back(std::move(channel));
        pos += length;
    }
    return RecoveryJournalError::none;
}

namespace {

void writeChannel(const ChannelJournal& c, ByteArray& out) {
    const std::size_t start = out.size();
    out.insert(out.end(), 3, 0);
    std::uint8_t toc = 0;
    if (c.program) {
        toc |= kChapterP;
        out.push_back(c.program->program & 0x7F);
        const bool bank = c.program->bankMSB || c.program->bankLSB;
        out.push_back(static_cast<std::uint8_t>((bank ? 0x80 : 0) | (c.program->bankMSB.value_or(0) & 0x7F)));
        out.push_back(c.program->bankLSB.value_or(0) & 0x7F);
    }
    if (!c.controllers.empty()) {
        toc |= kChapterC;
        const std::size_t logs = std::min<std::size_t>(c.controllers.size(), 128);
        out.push_back(static_cast<std::uint8_t>(logs - 1));
        for (std::size_t i = 0; i < logs; ++i) {
            out.push_back(c.controllers[i].number & 0x7F);
            out.push_back(c.controllers[i].value & 0x7F);
        }
    }
    if (c.pitchWheel) {
        toc |= kChapterW;
        out.push_back(low7(*c.pitchWheel));
        out.push_back(low7(*c.pitchWheel >> 7));
    }
    if (!c.notes.empty() || c.offNotes.any()) {
        toc |= kChapterN;
        // Off bits are written for the octets from the lowest to the highest with a note set.
        unsigned low = 15, high = 0;
        for (unsigned octet = 0; octet < 16; ++octet) {
            for (unsigned bit = 0; bit < 8; ++bit) {
                if (c.offNotes.test(octet * 8 + bit)) {
                    low = std::min(low, octet);
                    high = std::max(high, octet);
                }
            }
        }
        std::size_t logs = std::min<std::size_t>(c.notes.size(), 127);
        // Without off bits, LOW 15 and HIGH 0 turn a count of 127 into 128; LOW 15
        // and HIGH 1 say "no off bits" and keep 127 as it is.
        if (low > high && c.notes.size() >= 128) logs = 128;
        if (low > high && logs == 127) high = 1;
        out.push_back(static_cast<std::uint8_t>(std::min<std::size_t>(logs, 127)));
        out.push_back(static_cast<std::uint8_t>((low << 4) | high));
        for (std::size_t i = 0; i < logs; ++i) {
            out.push_back(c.notes[i].note & 0x7F);
            out.push_back(
                static_cast<std::uint8_t>((c.notes[i].playable ? 0x80 : 0) | (c.notes[i].velocity & 0x7F)));
        }
        for (unsigned octet = low; octet <= high && low <= high; ++octet) {
            std::uint8_t bits = 0;
            for (unsigned bit = 0; bit < 8; ++bit) {
                if (c.offNotes.test(octet * 8 + bit)) bits = static_cast<std::uint8_t>(bits | (0x80u >> bit));
            }
            out.push_back(bits);
        }
    }
    const std::size_t length = out.size() - start;
    out[start] = static_cast<std::uint8_t>((std::size_t{c.channel & 0x0Fu} << 3) | ((length >> 8) & 0x03));
    out[start + 1] = static_cast<std::uint8_t>(length);
    out[start + 2] = toc;
}

void writeJournalHeader(std::size_t channels, std::uint16_t checkpoint, ByteArray& out) {
    out.push_back(
        static_cast<std::uint8_t>((channels > 0 ? 0x20 : 0) | ((channels > 0 ? channels - 1 : 0) & 0x0F)));
    out.push_back(static_cast<std::uint8_t>(checkpoint >> 8));
    out.push_back(static_cast<std::uint8_t>(checkpoint));
}

}  // namespace

void encodeRecoveryJournal(const RecoveryJournal& journal, ByteArray& out) {
    const std::size_t channels = std::min<std::size_t>(journal.channels.size(), 16);
    writeJournalHeader(channels, journal.checkpoint, out);
    for (std::size_t i = 0; i < channels; ++i) writeChannel(journal.channels[i], out);
}

// ---- The sender ------------------------------------------------------------

RecoveryJournalSender::RecoveryJournalSender(std::uint16_t firstSequenceNumber)
    : checkpoint_(static_cast<std::uint16_t>(firstSequenceNumber - 1)),
      latest_(static_cast<std::uint16_t>(firstSequenceNumber - 1)) {}

bool RecoveryJournalSender::isAfterCheckpoint(std::uint16_t sequenceNumber) const {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(sequenceNumber - checkpoint_)) > 0;
}

void RecoveryJournalSender::record(const MIDIEvent& event, std::uint16_t sequenceNumber, TimePoint now) {
    if (event.type == MIDIEventType::systemExclusive || event.channel < 0 || event.channel > 15) return;
    latest_ = sequenceNumber;
    // Without feedback the history would reach back half the sequence space and
    // read as new again; well before that the oldest part is given up.
    if (static_cast<std::uint16_t>(latest_ - checkpoint_) > 0x4000) {
        checkpoint_ = static_cast<std::uint16_t>(latest_ - 0x2000);
        sweep();
    }
    const auto ch = static_cast<std::size_t>(event.channel);
    ChannelState& c = channels_[ch];
    pendingChannels_ = static_cast<std::uint16_t>(pendingChannels_ | (1u << ch));
    const std::uint8_t number = low7(event.note);
    switch (event.type) {
        case MIDIEventType::noteOn:
            if (event.velocity > 0) {
                NoteState& n = c.notes[number];
                // A note on again is not journaled as off: an off bit always means
                // "off now", so a receiver never silences a note the sender holds.
                // (A receiver that lost the off and the new on keeps the old note.)
                n.on = true;
                n.offRecorded = false;
                n.onRecorded = true;
                n.onSequence = sequenceNumber;
                n.velocity = low7(event.velocity) == 0 ? 1 : low7(event.velocity);
                n.onTime = now;
                break;
            }
            [[fallthrough]];
        case MIDIEventType::noteOff: {
            NoteState& n = c.notes[number];
            if (!n.on && !n.onRecorded) break;  // already off as far as anyone knows
            n.on = false;
            n.offRecorded = true;
            n.offSequence = sequenceNumber;
            break;
        }
        case MIDIEventType::cc:
            if (number >= kFirstChannelModeController) {
                if (endsAllNotes(number)) {
                    for (NoteState& n : c.notes) {
                        if (!n.on) continue;
                        n.on = false;
                        n.offRecorded = true;
                        n.offSequence = sequenceNumber;
                    }
                }
                break;
            }
            c.controllers[number] = low7(event.velocity);
            c.controllerSequence[number] = sequenceNumber;
            c.controllerRecorded.set(number);
            if (number == kBankMSB) c.bankMSB = low7(event.velocity);
            if (number == kBankLSB) c.bankLSB = low7(event.velocity);
            break;
        case MIDIEventType::programChange: {
            c.program = number;
            c.programSequence = sequenceNumber;
            c.programRecorded = true;
            JournalProgram p;
            p.program = number;
            if (c.bankMSB >= 0) p.bankMSB = static_cast<std::uint8_t>(c.bankMSB);
            if (c.bankLSB >= 0) p.bankLSB = static_cast<std::uint8_t>(c.bankLSB);
            c.programBank = p;
            break;
        }
        case MIDIEventType::pitchBend:
            c.pitchWheel = static_cast<std::uint16_t>(event.note & 0x3FFF);
            c.pitchSequence = sequenceNumber;
            c.pitchRecorded = true;
            break;
        default:
            break;
    }
}

void RecoveryJournalSender::acknowledge(std::uint16_t sequenceNumber) {
    // Feedback older than the checkpoint changes nothing. (Packets without
    // events, such as journal-only ones, are not recorded here, so feedback
    // may name a packet newer than the last event.)
    if (!isAfterCheckpoint(sequenceNumber)) return;
    checkpoint_ = sequenceNumber;
    sweep();
}

void RecoveryJournalSender::sweep() {
    pendingChannels_ = 0;
    for (std::size_t ch = 0; ch < 16; ++ch) {
        ChannelState& c = channels_[ch];
        bool pending = false;
        for (NoteState& n : c.notes) {
            if (n.onRecorded && !isAfterCheckpoint(n.onSequence)) n.onRecorded = false;
            if (n.offRecorded && !isAfterCheckpoint(n.offSequence)) n.offRecorded = false;
            pending = pending || n.onRecorded || n.offRecorded;
        }
        for (std::size_t i = 0; i < 128; ++i) {
            if (c.controllerRecorded.test(i) && !isAfterCheckpoint(c.controllerSequence[i])) {
                c.controllerRecorded.reset(i);
            }
        }
        if (c.programRecorded && !isAfterCheckpoint(c.programSequence)) c.programRecorded = false;
        if (c.pitchRecorded && !isAfterCheckpoint(c.pitchSequence)) c.pitchRecorded = false;
        pending = pending || c.controllerRecorded.any() || c.programRecorded || c.pitchRecorded;
        if (pending) pendingChannels_ = static_cast<std::uint16_t>(pendingChannels_ | (1u << ch));
    }
}

bool RecoveryJournalSender::empty() const {
    return pendingChannels_ == 0;
}

void RecoveryJournalSender::encodeChannel(std::size_t ch, Detail detail, TimePoint now,
                                          ByteArray& out) const {
    const ChannelState& c = channels_[ch];
    const std::size_t start = out.size();
    out.insert(out.end(), 3, 0);
    std::uint8_t toc = 0;
    if (c.programRecorded && c.programBank) {
        toc |= kChapterP;
        const JournalProgram& p = *c.programBank;
        out.push_back(p.program);
        const bool bank = p.bankMSB || p.bankLSB;
        out.push_back(static_cast<std::uint8_t>((bank ? 0x80 : 0) | p.bankMSB.value_or(0)));
        out.push_back(p.bankLSB.value_or(0));
    }
    if (detail < Detail::noControllers && c.controllerRecorded.any()) {
        toc |= kChapterC;
        const std::size_t countAt = out.size();
        out.push_back(0);
        std::size_t logs = 0;
        for (std::size_t i = 0; i < 128; ++i) {
            if (!c.controllerRecorded.test(i)) continue;
            out.push_back(static_cast<std::uint8_t>(i));
            out.push_back(c.controllers[i]);
            ++logs;
        }
        out[countAt] = static_cast<std::uint8_t>(logs - 1);
    }
    if (c.pitchRecorded) {
        toc |= kChapterW;
        out.push_back(low7(c.pitchWheel));
        out.push_back(low7(c.pitchWheel >> 7));
    }
    unsigned low = 15, high = 0;
    std::size_t logs = 0;
    for (unsigned i = 0; i < 128; ++i) {
        const NoteState& n = c.notes[i];
        if (n.offRecorded) {
            low = std::min(low, i / 8);
            high = std::max(high, i / 8);
        }
    }
    const std::size_t headerAt = out.size();
    out.push_back(0);
    out.push_back(0);
    for (unsigned i = 0; i < 128 && logs < 127; ++i) {
        const NoteState& n = c.notes[i];
        if (!n.on || !n.onRecorded) continue;
        const bool playable = now - n.onTime < kPlayableNoteAge;
        if (!playable && detail >= Detail::noStaleNotes) continue;
        if (detail == Detail::essentials) continue;
        out.push_back(static_cast<std::uint8_t>(i));
        out.push_back(static_cast<std::uint8_t>((playable ? 0x80 : 0) | n.velocity));
        ++logs;
    }
    for (unsigned octet = low; low <= high && octet <= high; ++octet) {
        std::uint8_t bits = 0;
        for (unsigned bit = 0; bit < 8; ++bit) {
            if (c.notes[octet * 8 + bit].offRecorded) bits = static_cast<std::uint8_t>(bits | (0x80u >> bit));
        }
        out.push_back(bits);
    }
    if (logs == 0 && low > high) {
        out.resize(headerAt);  // no chapter N
    } else {
        toc |= kChapterN;
        if (low > high && logs == 127) high = 1;  // see writeChannel
        out[headerAt] = static_cast<std::uint8_t>(logs);
        out[headerAt + 1] = static_cast<std::uint8_t>((low << 4) | high);
    }
    if (toc == 0) {
        out.resize(start);
        return;
    }
    const std::size_t length = out.size() - start;
    out[start] = static_cast<std::uint8_t>((ch << 3) | ((length >> 8) & 0x03));
    out[start + 1] = static_cast<std::uint8_t>(length);
    out[start + 2] = toc;
}

bool RecoveryJournalSender::encode(TimePoint now, std::size_t maxBytes, ByteArray& out) const {
    if (pendingChannels_ == 0) return false;
    const std::size_t start = out.size();
    for (Detail detail :
         {Detail::everything, Detail::noStaleNotes, Detail::noControllers, Detail::essentials}) {
        out.resize(start);
        out.insert(out.end(), 3, 0);
        std::size_t channels = 0;
        for (std::size_t ch = 0; ch < 16; ++ch) {
            if (!(pendingChannels_ & (1u << ch))) continue;
            const std::size_t before = out.size();
            encodeChannel(ch, detail, now, out);
            if (out.size() != before) ++channels;
        }
        if (channels == 0) {
            out.resize(start);
            return false;
        }
        if (out.size() - start <= maxBytes || detail == Detail::essentials) {
            out[start] = static_cast<std::uint8_t>(0x20 | (channels - 1));
            out[start + 1] = static_cast<std::uint8_t>(checkpoint_ >> 8);
            out[start + 2] = static_cast<std::uint8_t>(checkpoint_);
            return true;
        }
    }
    return false;
}

RecoveryJournal RecoveryJournalSender::snapshot(TimePoint now) const {
    ByteArray bytes;
    RecoveryJournal journal;
    journal.checkpoint = checkpoint_;
    if (encode(now, SIZE_MAX, bytes)) parseRecoveryJournal(bytes, journal);
    return journal;
}

// ---- The receiver ----------------------------------------------------------

void RecoveryJournalReceiver::observe(const MIDIEvent& event) {
    if (event.channel < 0 || event.channel > 15) return;
    ChannelState& c = channels_[static_cast<std::size_t>(event.channel)];
    const std::uint8_t number = low7(event.note);
    switch (event.type) {
        case MIDIEventType::noteOn:
            c.notesOn.set(number, event.velocity > 0);
            break;
        case MIDIEventType::noteOff:
            c.notesOn.reset(number);
            break;
        case MIDIEventType::cc:
            if (number < kFirstChannelModeController) {
                c.controllers[number] = low7(event.velocity);
            } else if (endsAllNotes(number)) {
                c.notesOn.reset();
            }
            break;
        case MIDIEventType::programChange:
            c.program = number;
            break;
        case MIDIEventType::pitchBend:
            c.pitchWheel = static_cast<std::int32_t>(event.note & 0x3FFF);
            break;
        default:
            break;
    }
}

std::size_t RecoveryJournalReceiver::repair(const RecoveryJournal& journal, std::vector<MIDIEvent>& out) {
    const std::size_t before = out.size();
    auto emit = [&](MIDIEvent e) {
        observe(e);
        out.push_back(std::move(e));
    };
    for (const ChannelJournal& cj : journal.channels) {
        const std::int64_t ch = cj.channel & 0x0F;
        ChannelState& c = channels_[static_cast<std::size_t>(ch)];
        if (cj.program && c.program != cj.program->program) {
            if (cj.program->bankMSB && c.controllers[kBankMSB] != *cj.program->bankMSB) {
                emit(MIDIEvent::ccEvent(kBankMSB, *cj.program->bankMSB, ch));
            }
            if (cj.program->bankLSB && c.controllers[kBankLSB] != *cj.program->bankLSB) {
                emit(MIDIEvent::ccEvent(kBankLSB, *cj.program->bankLSB, ch));
            }
            emit(programEvent(cj.program->program, ch));
        }
        for (std::size_t i = 0; i < cj.controllers.size(); ++i) {
            const JournalController& log = cj.controllers[i];
            if (log.number >= kFirstChannelModeController) continue;
            // Of several logs of one controller the last one holds.
            const auto later = std::find_if(
                cj.controllers.begin() + static_cast<std::ptrdiff_t>(i) + 1, cj.controllers.end(),
                [&](const JournalController& c2) { return c2.number == log.number; });
            if (later != cj.controllers.end()) continue;
            if (c.controllers[log.number] != log.value) emit(MIDIEvent::ccEvent(log.number, log.value, ch));
        }
        if (cj.pitchWheel && c.pitchWheel != *cj.pitchWheel) emit(pitchEvent(*cj.pitchWheel, ch));
        for (std::size_t note = 0; note < 128; ++note) {
            if (cj.offNotes.test(note) && c.notesOn.test(note)) {
                emit(MIDIEvent::noteOffEvent(static_cast<std::int64_t>(note), 0, ch));
            }
        }
        for (const JournalNoteLog& log : cj.notes) {
            // A note the sender holds: played late only while that is still
            // musical; a stale one stays silent rather than start long after.
            if (log.playable && !c.notesOn.test(log.note & 0x7F)) {
                emit(MIDIEvent::noteOnEvent(log.note & 0x7F, log.velocity, ch));
            }
        }
    }
    return out.size() - before;
}

std::size_t RecoveryJournalReceiver::releaseAll(std::vector<MIDIEvent>& out) {
    const std::size_t before = out.size();
    for (std::size_t ch = 0; ch < 16; ++ch) {
        auto& on = channels_[ch].notesOn;
        for (std::size_t note = 0; note < 128; ++note) {
            if (on.test(note)) {
                out.push_back(MIDIEvent::noteOffEvent(static_cast<std::int64_t>(note), 0,
                                                      static_cast<std::int64_t>(ch)));
            }
        }
        on.reset();
    }
    return out.size() - before;
}

std::size_t RecoveryJournalReceiver::notesOn() const {
    std::size_t count = 0;
    for (const auto& c : channels_) count += c.notesOn.count();
    return count;
}

}  // namespace velorin
