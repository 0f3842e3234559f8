// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <unordered_set>

#include "midi/MIDIEvent.hpp"
#include "midi/MIDIParser.hpp"

using namespace velorin;

TEST(MIDIEncoding, EveryTypeEncodesWithItsStatusAndMaskedData) {
    EXPECT_EQ(encodedBytes(MIDIEvent::noteOnEvent(60, 100, 2)), (ByteArray{0x92, 60, 100}));
    EXPECT_EQ(encodedBytes(MIDIEvent::noteOnEvent(60, 0, 0)), (ByteArray{0x90, 60, 0}));
    EXPECT_EQ(encodedBytes(MIDIEvent::noteOffEvent(61, 5, 15)), (ByteArray{0x8F, 61, 5}));
    EXPECT_EQ(encodedBytes(MIDIEvent{MIDIEventType::polyPressure, 1, 2, 3, 0, {}}), (ByteArray{0xA3, 1, 2}));
    EXPECT_EQ(encodedBytes(MIDIEvent{MIDIEventType::programChange, 130, 9, 1, 0, {}}), (ByteArray{0xC1, 2}));
    EXPECT_EQ(encodedBytes(MIDIEvent{MIDIEventType::channelPressure, 9, 100, 4, 0, {}}),
              (ByteArray{0xD4, 100}));
    EXPECT_EQ(encodedBytes(MIDIEvent{MIDIEventType::pitchBend, 8192, 0, 5, 0, {}}),
              (ByteArray{0xE5, 0x00, 0x40}));
    EXPECT_EQ(encodedBytes(MIDIEvent{MIDIEventType::pitchBend, 16383, 0, 0, 0, {}}),
              (ByteArray{0xE0, 0x7F, 0x7F}));
}

TEST(MIDIEncoding, OutOfRangeValuesAreMaskedNotClamped) {
    EXPECT_EQ(encodedBytes(MIDIEvent::ccEvent(7, 200, 16)), (ByteArray{0xB0, 0x07, 0x48}));
    EXPECT_EQ(encodedBytes(MIDIEvent::noteOnEvent(-1, -1, -1)), (ByteArray{0x9F, 0x7F, 0x7F}));
    // Channel 16 must not reach the status's type bits: this note-off would go out as a note-on.
    EXPECT_EQ(encodedBytes(MIDIEvent::noteOffEvent(60, 0, 16)), (ByteArray{0x80, 60, 0}));
}

TEST(MIDIEncoding, SysExIsItsDataUnchanged) {
    auto e = makeSystemExclusive({0xF0, 0x00, 0x01, 0x7E, 0xF7}, 2.5);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->timestamp, 2.5);
    EXPECT_EQ(encodedBytes(*e), (ByteArray{0xF0, 0x00, 0x01, 0x7E, 0xF7}));
}

TEST(MIDIEncoding, AppendKeepsWhatIsAlreadyThere) {
    ByteArray out{0x01};
    appendEncodedBytes(MIDIEvent::noteOnEvent(1, 2, 0), out);
    appendEncodedBytes(MIDIEvent::noteOffEvent(1, 0, 0), out);
    EXPECT_EQ(out, (ByteArray{0x01, 0x90, 1, 2, 0x80, 1, 0}));
}

TEST(MIDIEncoding, ParsingEncodedChannelEventsGivesThemBack) {
    std::vector<MIDIEvent> in{MIDIEvent::noteOnEvent(60, 1, 0),
                              MIDIEvent::noteOffEvent(60, 64, 15),
                              MIDIEvent::ccEvent(64, 127, 3),
                              MIDIEvent{MIDIEventType::pitchBend, 1234, 0, 7, 0, {}},
                              MIDIEvent{MIDIEventType::programChange, 99, 0, 9, 0, {}},
                              MIDIEvent{MIDIEventType::channelPressure, 0, 3, 9, 0, {}}};
    ByteArray bytes;
    for (const auto& e : in) appendEncodedBytes(e, bytes);
    MIDIParserState state;
    std::vector<MIDIEvent> out;
    std::vector<MIDIRawSystemExclusiveFrame> frames;
    parsePacketBytes(bytes, state, out, frames);
    EXPECT_EQ(out, in);
}

TEST(MakeSystemExclusive, RequiresF0AtStartAndF7AtEnd) {
    EXPECT_FALSE(makeSystemExclusive({0xF0}));
    EXPECT_FALSE(makeSystemExclusive({0xF0, 0x01}));  // unterminated
    EXPECT_FALSE(makeSystemExclusive({0x00, 0xF7}));
    EXPECT_FALSE(makeSystemExclusive({}));
    EXPECT_FALSE(makeSystemExclusive({0xF7}));
    auto e = makeSystemExclusive({0xF0, 0xF7});
    ASSERT_TRUE(e);
    EXPECT_EQ(e->type, MIDIEventType::systemExclusive);
    EXPECT_EQ(e->note, 0);
    EXPECT_EQ(e->channel, 0);
}

TEST(MIDIEventIdentity, TimestampTakesPartInEqualityAndHashing) {
    auto a = MIDIEvent::noteOnEvent(60, 100, 0);
    auto b = a;
    b.timestamp = 1;
    EXPECT_NE(a, b);
    std::unordered_set<MIDIEvent> set{a, b, a};
    EXPECT_EQ(set.size(), 2u);
    std::unordered_set<MIDINoteIdentity> notes{{60, 0}, {60, 1}, {60, 0}};
    EXPECT_EQ(notes.size(), 2u);
}

TEST(SysExLogText, PartialAndCompleteFrames) {
    EXPECT_EQ(systemExclusiveFrameLogText({{0xF0, 0x00, 0x01, 0x7E, 0x01, 0xF7}, true}),
              "SysEx 6 bytes F0 00 01 7E 01 F7");
    EXPECT_EQ(systemExclusiveFrameLogText({{0xF0, 0x0A}, false}), "SysEx partial 2 bytes F0 0A");
    EXPECT_EQ(hexByteString({}), "");
}
