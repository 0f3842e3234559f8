// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <vector>

#include "netmidi/RTPMIDIPayload.hpp"
#include "netmidi/RecoveryJournal.hpp"
#include "netmidi/SessionPacket.hpp"

using namespace velorin;

namespace {

MIDIEvent sysex(std::size_t bodyBytes) {
    MIDIEvent e;
    e.type = MIDIEventType::systemExclusive;
    e.data.push_back(0xF0);
    for (std::size_t i = 0; i < bodyBytes; ++i) e.data.push_back(static_cast<std::uint8_t>(i % 128));
    e.data.push_back(0xF7);
    return e;
}

MIDIEvent program(std::int64_t number, std::int64_t channel) {
    MIDIEvent e;
    e.type = MIDIEventType::programChange;
    e.note = number;
    e.channel = channel;
    return e;
}

MIDIEvent bend(std::int64_t value, std::int64_t channel) {
    MIDIEvent e;
    e.type = MIDIEventType::pitchBend;
    e.note = value;
    e.channel = channel;
    return e;
}

// Decodes the command section of one datagram.
std::vector<MIDIEvent> decode(const ByteArray& datagram, RTPMIDIReceiveState& state,
                              RTPMIDIError expected = RTPMIDIError::none) {
    RTPMIDIPacketView view;
    EXPECT_EQ(parseRTPMIDIPacket(datagram, view), RTPMIDIError::none);
    std::vector<RTPMIDITimedEvent> timed;
    EXPECT_EQ(decodeCommandSection(view, state, timed), expected);
    std::vector<MIDIEvent> events;
    for (auto& t : timed) events.push_back(t.event);
    return events;
}

ByteArray packetWithCommands(const ByteArray& commands, std::uint8_t flags = 0) {
    ByteArray out{0x80, 0x61, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 9};
    if (commands.size() > 15) {
        out.push_back(static_cast<std::uint8_t>(0x80 | flags | (commands.size() >> 8)));
        out.push_back(static_cast<std::uint8_t>(commands.size()));
    } else {
        out.push_back(static_cast<std::uint8_t>(flags | commands.size()));
    }
    out.insert(out.end(), commands.begin(), commands.end());
    return out;
}

}  // namespace

TEST(SessionPacket, EveryCommandRoundTrips) {
    const std::vector<SessionPacket> packets = {
        SessionInvitationPacket{SessionCommand::invitation, 2, 0xCAFEF00D, 0x12345678, "Stage Laptop"},
        SessionInvitationPacket{SessionCommand::accepted, 2, 7, 8, "iPad"},
        SessionInvitationPacket{SessionCommand::refused, 2, 7, 8, ""},
        SessionInvitationPacket{SessionCommand::bye, 2, 7, 8, ""},
        SessionClockSyncPacket{0x01020304, 2, {0x1122334455667788ull, 2, 3}},
        SessionFeedbackPacket{0xAABBCCDD, 0xBEEF},
    };
    for (const auto& packet : packets) {
        const auto bytes = encodedSessionPacket(packet);
        ASSERT_TRUE(isSessionPacket(bytes));
        const auto parsed = parseSessionPacket(bytes);
        ASSERT_TRUE(parsed.packet);
        EXPECT_EQ(*parsed.packet, packet);
    }
    // Layouts peers rely on: CK is 36 bytes, RS carries the sequence number in the high half.
    EXPECT_EQ(encodedSessionPacket(SessionClockSyncPacket{}).size(), 36u);
    EXPECT_EQ(encodedSessionPacket(SessionFeedbackPacket{1, 0x0102}),
              (ByteArray{0xFF, 0xFF, 'R', 'S', 0, 0, 0, 1, 0x01, 0x02, 0, 0}));
}

TEST(SessionPacket, HostileInputIsRejectedOrBounded) {
    auto bytes = encodedSessionPacket(SessionInvitationPacket{SessionCommand::invitation, 2, 1, 2, ""});
    bytes.pop_back();  // no terminating NUL, and a name far too long, with control characters
    bytes.insert(bytes.end(), 1000, 'x');
    bytes[20] = '\n';
    const auto named = parseSessionPacket(bytes);
    ASSERT_TRUE(named.packet);
    const auto& name = std::get<SessionInvitationPacket>(*named.packet).name;
    EXPECT_EQ(name.size(), kMaxSessionNameBytes);
    EXPECT_EQ(name[4], ' ');

    for (std::size_t cut = 0; cut < 36; ++cut) {
        auto ck = encodedSessionPacket(SessionClockSyncPacket{});
        ck.resize(cut);
        EXPECT_FALSE(parseSessionPacket(ck).packet) << cut;
    }
    auto badCount = encodedSessionPacket(SessionClockSyncPacket{});
    badCount[8] = 3;
    EXPECT_EQ(parseSessionPacket(badCount).error, SessionPacketError::badField);
    EXPECT_EQ(parseSessionPacket(ByteArray{0xFF, 0xFF, 'Z', 'Z', 0, 0}).error,
              SessionPacketError::unknownCommand);
    EXPECT_EQ(parseSessionPacket(ByteArray{0x80, 0x61}).error, SessionPacketError::notSessionPacket);
}

TEST(RTPMIDIPayload, CommandsRoundTripWithRunningStatusAndHeader) {
    RTPMIDICommandWriter writer;
    const std::vector<MIDIEvent> events = {MIDIEvent::noteOnEvent(60, 100, 0),
                                           MIDIEvent::noteOnEvent(64, 90, 0),
                                           MIDIEvent::noteOffEvent(60, 0, 0),
                                           MIDIEvent::ccEvent(7, 127, 15),
                                           program(5, 3),
                                           bend(0x2001, 2)};
    for (const auto& e : events) ASSERT_TRUE(writer.appendChannelEvent(0, e));
    // Running status: the second note-on has no status byte of its own.
    EXPECT_EQ((ByteArray{writer.bytes().begin(), writer.bytes().begin() + 6}),
              (ByteArray{0x90, 60, 100, 0, 64, 90}));

    const RTPMIDIHeader header{true, kRTPMIDIPayloadType, 0xFFFE, 123456, 0xDEADBEEF};
    ByteArray datagram;
    encodeRTPMIDIPacket(header, writer.bytes(), std::nullopt, datagram);
    RTPMIDIPacketView view;
    ASSERT_EQ(parseRTPMIDIPacket(datagram, view), RTPMIDIError::none);
    EXPECT_EQ(view.header, header);
    EXPECT_FALSE(view.journal);
    RTPMIDIReceiveState state;
    EXPECT_EQ(decode(datagram, state), events);
}

TEST(RTPMIDIPayload, DeltaTimesRealTimeAndSystemCommonAreRead) {
    // Z set: a delta before the first command too. 0x81 0x00 is a two-byte delta (128).
    const ByteArray commands{0x05, 0x90, 60,   100,  0x81, 0x00, 0xF8, 0x00, 62,
                             101,  0x00, 0xF2, 0x10, 0x20, 0x00, 0x80, 60,   0};
    RTPMIDIPacketView view;
    const auto datagram = packetWithCommands(commands, 0x20);
    ASSERT_EQ(parseRTPMIDIPacket(datagram, view), RTPMIDIError::none);
    RTPMIDIReceiveState state;
    std::vector<RTPMIDITimedEvent> out;
    ASSERT_EQ(decodeCommandSection(view, state, out), RTPMIDIError::none);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].offset, 5u);
    EXPECT_EQ(out[1], (RTPMIDITimedEvent{133, MIDIEvent::noteOnEvent(62, 101, 0)}));
    EXPECT_EQ(out[2].event, MIDIEvent::noteOffEvent(60, 0, 0));
    ByteArray delta;
    EXPECT_EQ(appendDeltaTime(0x0FFFFFFF, delta), 4u);
    EXPECT_EQ(delta, (ByteArray{0xFF, 0xFF, 0xFF, 0x7F}));
}

TEST(RTPMIDIPayload, LongSysExIsSegmentedAndReassembled) {
    const MIDIEvent message = sysex(3000);
    RTPMIDIReceiveState state;
    std::vector<MIDIEvent> received;
    std::size_t offset = 0;
    int packets = 0;
    while (offset < message.data.size()) {
        RTPMIDICommandWriter writer(1000);
        offset = writer.appendSystemExclusive(0, message.data, offset);
        ByteArray datagram;
        encodeRTPMIDIPacket({}, writer.bytes(), std::nullopt, datagram);
        for (auto& e : decode(datagram, state)) received.push_back(e);
        ++packets;
    }
    EXPECT_EQ(packets, 4);
    EXPECT_EQ(received, std::vector<MIDIEvent>{message});

    // A continuation whose start was never seen, and a cancelled message, deliver nothing;
    // a message beyond the bound is dropped whole and said so.
    RTPMIDIReceiveState fresh;
    EXPECT_TRUE(decode(packetWithCommands({0xF7, 1, 2, 0xF7}), fresh).empty());
    EXPECT_TRUE(decode(packetWithCommands({0xF0, 1, 2, 0xF0}), fresh).empty());
    EXPECT_TRUE(decode(packetWithCommands({0xF7, 3, 0xF4}), fresh).empty());
    EXPECT_TRUE(fresh.systemExclusive.empty());
    fresh.maxSystemExclusiveBytes = 4;
    decode(packetWithCommands({0xF0, 1, 2, 3, 4, 5, 0xF7, 0x00, 0x90, 1, 1}), fresh,
           RTPMIDIError::systemExclusiveTooLong);
}

TEST(RTPMIDIPayload, MalformedPacketsAreRefusedWithoutReadingPastThem) {
    RTPMIDIPacketView view;
    EXPECT_EQ(parseRTPMIDIPacket(ByteArray{0x80, 0x61, 0, 1}, view), RTPMIDIError::truncated);
    EXPECT_EQ(parseRTPMIDIPacket(ByteArray(13, 0x40), view), RTPMIDIError::notRTPVersion2);
    auto tooLong = packetWithCommands({0x90, 60, 100});
    tooLong[12] = 0x05;  // states five command bytes, has three
    EXPECT_EQ(parseRTPMIDIPacket(tooLong, view), RTPMIDIError::truncated);
    RTPMIDIReceiveState state;
    // A data byte with no status, a cut command, a delta at the end, an undefined status.
    for (const ByteArray& commands : {ByteArray{0x3C, 0x40}, ByteArray{0x90, 0x3C},
                                      ByteArray{0x90, 60, 1, 0x00}, ByteArray{0xF5, 0x00}}) {
        decode(packetWithCommands(commands), state, RTPMIDIError::badCommand);
    }
}

TEST(RecoveryJournal, EncodedJournalParsesBack) {
    RecoveryJournal journal;
    journal.checkpoint = 0x1234;
    ChannelJournal c;
    c.channel = 9;
    c.program = JournalProgram{12, 1, 2};
    c.controllers = {{7, 100}, {64, 127}};
    c.pitchWheel = 0x3FFF;
    c.notes = {{36, 100, true}, {38, 90, false}};
    c.offNotes.set(40);
    c.offNotes.set(127);
    journal.channels.push_back(c);
    ChannelJournal bendOnly;
    bendOnly.pitchWheel = 8192;
    journal.channels.push_back(bendOnly);
    // 127 and 128 note logs without off bits have encodings of their own.
    for (int channel = 1; channel <= 2; ++channel) {
        ChannelJournal full;
        full.channel = static_cast<std::uint8_t>(channel);
        for (int n = 0; n < 126 + channel; ++n)
            full.notes.push_back({static_cast<std::uint8_t>(n), 1, false});
        journal.channels.push_back(full);
    }
    ByteArray bytes;
    encodeRecoveryJournal(journal, bytes);
    RecoveryJournal parsed;
    ASSERT_EQ(parseRecoveryJournal(bytes, parsed), RecoveryJournalError::none);
    EXPECT_EQ(parsed, journal);
    // Every truncation is refused, never read past.
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
        EXPECT_NE(parseRecoveryJournal(std::span(bytes).first(cut), parsed), RecoveryJournalError::none)
            << cut;
    }
}

TEST(RecoveryJournal, LostNoteOffIsRepairedAndStaleNotesStaySilent) {
    using namespace std::chrono_literals;
    const auto t0 = std::chrono::steady_clock::time_point(100s);
    RecoveryJournalSender sender(10);
    RecoveryJournalReceiver receiver;
    // Packet 10 arrives: two notes on.
    for (int note : {60, 64}) {
        sender.record(MIDIEvent::noteOnEvent(note, 100, 0), 10, t0);
        receiver.observe(MIDIEvent::noteOnEvent(note, 100, 0));
    }
    sender.acknowledge(10);
    EXPECT_TRUE(sender.empty());
    // Packet 11 is lost: 60 off, 67 on, controller and bend.
    sender.record(MIDIEvent::noteOffEvent(60, 0, 0), 11, t0);
    sender.record(MIDIEvent::noteOnEvent(67, 80, 0), 11, t0);
    sender.record(MIDIEvent::ccEvent(1, 50, 0), 11, t0);
    sender.record(bend(9000, 0), 11, t0);
    // Packet 12's journal, written soon after, plays 67 late; written much later, it does not.
    for (std::chrono::milliseconds age : {10ms, 2000ms}) {
        ByteArray bytes;
        ASSERT_TRUE(sender.encode(t0 + age, 1000, bytes));
        RecoveryJournal journal;
        ASSERT_EQ(parseRecoveryJournal(bytes, journal), RecoveryJournalError::none);
        EXPECT_EQ(journal.checkpoint, 10);
        RecoveryJournalReceiver copy = receiver;
        std::vector<MIDIEvent> repairs;
        copy.repair(journal, repairs);
        std::vector<MIDIEvent> expected = {MIDIEvent::ccEvent(1, 50, 0), bend(9000, 0),
                                           MIDIEvent::noteOffEvent(60, 0, 0)};
        if (age < RecoveryJournalSender::kPlayableNoteAge)
            expected.push_back(MIDIEvent::noteOnEvent(67, 80, 0));
        EXPECT_EQ(repairs, expected);
        // Repairing twice changes nothing more.
        repairs.clear();
        EXPECT_EQ(copy.repair(journal, repairs), 0u);
    }
    // A note played again after its off is journaled as on only, so a receiver
    // that had both never silences it.
    sender.record(MIDIEvent::noteOnEvent(60, 90, 0), 12, t0);
    RecoveryJournal again = sender.snapshot(t0 + 2s);
    ASSERT_EQ(again.channels.size(), 1u);
    EXPECT_FALSE(again.channels[0].offNotes.test(60));
    std::vector<MIDIEvent> released;
    EXPECT_EQ(receiver.releaseAll(released), 2u);
    EXPECT_EQ(receiver.notesOn(), 0u);
}

TEST(RecoveryJournal, BoundedJournalKeepsNoteOffsFirst) {
    const auto t0 = std::chrono::steady_clock::time_point(std::chrono::seconds(100));
    RecoveryJournalSender sender(1);
    for (std::int64_t ch = 0; ch < 16; ++ch) {
        for (std::int64_t n = 0; n < 128; ++n) {
            if (n < 120) sender.record(MIDIEvent::ccEvent(n, 1, ch), 1, t0);
            sender.record(MIDIEvent::noteOnEvent(n, 1, ch), 1, t0);
            if (n % 2) sender.record(MIDIEvent::noteOffEvent(n, 0, ch), 2, t0);
        }
    }
    ByteArray bytes;
    ASSERT_TRUE(sender.encode(t0, 640, bytes));
    EXPECT_LE(bytes.size(), 640u);
    RecoveryJournal journal;
    ASSERT_EQ(parseRecoveryJournal(bytes, journal), RecoveryJournalError::none);
    ASSERT_EQ(journal.channels.size(), 16u);
    for (const auto& c : journal.channels) EXPECT_EQ(c.offNotes.count(), 64u);
    // Once the receiver has everything, the journal is empty.
    sender.acknowledge(2);
    EXPECT_TRUE(sender.empty());
    EXPECT_FALSE(sender.encode(t0, 640, bytes));
}
