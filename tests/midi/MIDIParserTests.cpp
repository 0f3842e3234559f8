// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "midi/MIDIEvent.hpp"
#include "midi/MIDIParser.hpp"

using namespace velorin;

namespace {

struct ParseResult {
    std::vector<MIDIEvent> events;
    std::vector<MIDIRawSystemExclusiveFrame> frames;
};

ParseResult parse(MIDIParserState& state, std::initializer_list<ByteArray> packets) {
    std::vector<MIDIRawPacket> raw;
    for (const auto& p : packets) raw.push_back(MIDIRawPacket{p});
    ParseResult r;
    parseRawPackets(raw, state, r.events, r.frames);
    return r;
}

ParseResult parse(std::initializer_list<ByteArray> packets) {
    MIDIParserState state;
    return parse(state, packets);
}

MIDIEvent event(MIDIEventType type, std::int64_t note, std::int64_t velocity, std::int64_t channel) {
    return MIDIEvent{type, note, velocity, channel, 0, {}};
}

MIDIEvent sysex(ByteArray bytes) {
    return *makeSystemExclusive(std::move(bytes));
}

}  // namespace

TEST(MIDIParser, NoteOnWithZeroVelocityBecomesNoteOff) {
    auto r = parse({{0x90, 0x3C, 0x00}});
    EXPECT_EQ(r.events, std::vector<MIDIEvent>{event(MIDIEventType::noteOff, 60, 0, 0)});
}

TEST(MIDIParser, RunningStatusWithinAPacket) {
    auto r = parse({{0x91, 0x3C, 0x40, 0x3E, 0x41}});
    EXPECT_EQ(r.events, (std::vector<MIDIEvent>{event(MIDIEventType::noteOn, 60, 64, 1),
                                                event(MIDIEventType::noteOn, 62, 65, 1)}));
}

TEST(MIDIParser, RunningStatusSurvivesAcrossPacketsButMessagesDoNotSpanThem) {
    MIDIParserState state;
    auto first = parse(state, {{0x90, 0x3C}, {0x40}});
    EXPECT_TRUE(first.events.empty());
    auto second = parse(state, {{0x3E, 0x41}});
    EXPECT_EQ(second.events, std::vector<MIDIEvent>{event(MIDIEventType::noteOn, 62, 65, 0)});
}

TEST(MIDIParser, ChannelMessageShapes) {
    auto r = parse({{0xE5, 0x00, 0x40},
                    {0xC2, 0x05},
                    {0xD2, 0x64},
                    {0xA3, 0x10, 0x20},
                    {0xBF, 0x07, 0x7F},
                    {0x84, 0x01, 0x02},
                    {0xE0, 0x7F, 0x7F}});
    EXPECT_EQ(r.events, (std::vector<MIDIEvent>{
                            event(MIDIEventType::pitchBend, 8192, 0, 5),
                            event(MIDIEventType::programChange, 5, 0, 2),
                            event(MIDIEventType::channelPressure, 0, 100, 2),
                            event(MIDIEventType::polyPressure, 16, 32, 3),
                            event(MIDIEventType::cc, 7, 127, 15),
                            event(MIDIEventType::noteOff, 1, 2, 4),
                            event(MIDIEventType::pitchBend, 16383, 0, 0),
                        }));
}

TEST(MIDIParser, RealTimeBytesAreRemovedEverywhere) {
    MIDIParserState state;
    auto r = parse(state, {{0x90, 0xF8, 0x3C, 0xFE, 0x40}});
    EXPECT_EQ(r.events, std::vector<MIDIEvent>{event(MIDIEventType::noteOn, 60, 64, 0)});
    // Two in a row between the data bytes.
    r = parse(state, {{0x90, 0x3C, 0xF8, 0xFE, 0x40}});
    EXPECT_EQ(r.events, std::vector<MIDIEvent>{event(MIDIEventType::noteOn, 60, 64, 0)});
    EXPECT_EQ(state.runningStatus, std::optional<std::uint8_t>(0x90));
    auto sx = parse({{0xF0, 0xF8, 0x01, 0xFF, 0xF7}});
    EXPECT_EQ(sx.events, std::vector<MIDIEvent>{sysex({0xF0, 0x01, 0xF7})});
    EXPECT_TRUE(parse({{0xF8, 0xFA, 0xFC}}).events.empty());
}

TEST(MIDIParser, RealTimeBytesDoNotCountAsDataBytes) {
    // 90 3C F8: only one data byte is really there, so the message is dropped.
    MIDIParserState state;
    auto r = parse(state, {{0x90, 0x3C, 0xF8}, {0x40}});
    EXPECT_TRUE(r.events.empty());
}

TEST(MIDIParser, SystemCommonClearsRunningStatus) {
    MIDIParserState state;
    EXPECT_TRUE(parse(state, {{0x90, 0x3C, 0x40}, {0xF2, 0x10, 0x20, 0x30}}).events.size() == 1);
    EXPECT_FALSE(state.runningStatus);
    EXPECT_TRUE(parse(state, {{0x3C, 0x40}}).events.empty());
    MIDIParserState other;
    EXPECT_TRUE(parse(other, {{0x90, 0x3C, 0x40, 0xF1, 0x05, 0x3C, 0x40}}).events.size() == 1);
    EXPECT_TRUE(other.isAtRest());
}

TEST(MIDIParser, StatusByteInPlaceOfDataRestartsTheMessage) {
    auto r = parse({{0x90, 0x3C, 0x90, 0x3E, 0x40}});
    EXPECT_EQ(r.events, std::vector<MIDIEvent>{event(MIDIEventType::noteOn, 62, 64, 0)});
    auto r2 = parse({{0x90, 0xB0, 0x07, 0x01}});
    EXPECT_EQ(r2.events, std::vector<MIDIEvent>{event(MIDIEventType::cc, 7, 1, 0)});
}

TEST(MIDIParser, StrayDataBytesWithoutRunningStatusAreSkipped) {
    MIDIParserState state;
    auto r = parse(state, {{0x3C, 0x40, 0x7F}});
    EXPECT_TRUE(r.events.empty());
    EXPECT_TRUE(state.isAtRest());
}

TEST(MIDIParser, EmptySysExIsOneCompleteFrameAndEvent) {
    MIDIParserState state;
    auto r = parse(state, {{0xF0, 0xF7}});
    EXPECT_EQ(r.frames, (std::vector<MIDIRawSystemExclusiveFrame>{{{0xF0, 0xF7}, true}}));
    EXPECT_EQ(r.events, std::vector<MIDIEvent>{sysex({0xF0, 0xF7})});
    EXPECT_TRUE(state.isAtRest());
}

TEST(MIDIParser, SysExSplitOverPacketsReportsEachStage) {
    MIDIParserState state;
    auto r = parse(state, {{0xF0, 0x00, 0x01}, {0x7E, 0x01}, {0x02, 0xF7}});
    EXPECT_EQ(r.frames, (std::vector<MIDIRawSystemExclusiveFrame>{
                            {{0xF0, 0x00, 0x01}, false},
                            {{0xF0, 0x00, 0x01, 0x7E, 0x01}, false},
                            {{0xF0, 0x00, 0x01, 0x7E, 0x01, 0x02, 0xF7}, true},
                        }));
    EXPECT_EQ(r.events, std::vector<MIDIEvent>{sysex({0xF0, 0x00, 0x01, 0x7E, 0x01, 0x02, 0xF7})});
    EXPECT_TRUE(state.isAtRest());
}

TEST(MIDIParser, LoneF0AtPacketEndStartsAccumulation) {
    MIDIParserState state;
    auto r = parse(state, {{0x90, 0x3C, 0x40, 0xF0}});
    EXPECT_EQ(r.frames, (std::vector<MIDIRawSystemExclusiveFrame>{{{0xF0}, false}}));
    EXPECT_FALSE(state.runningStatus);
    auto r2 = parse(state, {{0xF7, 0x3C, 0x40}});
    EXPECT_EQ(r2.events, std::vector<MIDIEvent>{sysex({0xF0, 0xF7})});
}

TEST(MIDIParser, StatusBytesInsideSysExAreContent) {
    auto r = parse({{0xF0, 0x00, 0x90, 0x3C, 0x40, 0xF7}});
    EXPECT_EQ(r.events, std::vector<MIDIEvent>{sysex({0xF0, 0x00, 0x90, 0x3C, 0x40, 0xF7})});
    MIDIParserState state;
    parse(state, {{0xF0, 0x01}});
    auto r2 = parse(state, {{0xF0, 0x90, 0x3C}, {0x40, 0xF7, 0x91, 0x3C, 0x40}});
    EXPECT_EQ(r2.events, (std::vector<MIDIEvent>{sysex({0xF0, 0x01, 0xF0, 0x90, 0x3C, 0x40, 0xF7}),
                                                 event(MIDIEventType::noteOn, 60, 64, 1)}));
}

TEST(MIDIParser, MessagesAroundSysExInOnePacket) {
    auto r = parse({{0x90, 0x3C, 0x40, 0xF0, 0x01, 0xF7, 0x3E, 0x40, 0x91, 0x3E, 0x40}});
    // The F0 cleared running status, so 3E 40 after the SysEx is skipped.
    EXPECT_EQ(r.events,
              (std::vector<MIDIEvent>{event(MIDIEventType::noteOn, 60, 64, 0), sysex({0xF0, 0x01, 0xF7}),
                                      event(MIDIEventType::noteOn, 62, 64, 1)}));
}

TEST(MIDIParserSysExCap, OverlongMessageIsDroppedAndStateReturnsToRest) {
    MIDIParserState state;
    std::vector<MIDIEvent> events;
    ByteArray start{0xF0};
    parsePacketBytes(start, state, events, nullptr);
    ByteArray chunk(64 * 1024, 0x11);
    std::size_t fed = 1;
    while (fed + chunk.size() <= kMaxSystemExclusiveBytes) {
        parsePacketBytes(chunk, state, events, nullptr);
        fed += chunk.size();
        ASSERT_EQ(state.systemExclusiveAccumulation.size(), fed);
    }
    // This chunk would go past the cap: the message is dropped, the rest is stray data.
    parsePacketBytes(chunk, state, events, nullptr);
    EXPECT_TRUE(state.systemExclusiveAccumulation.empty());
    EXPECT_EQ(state.systemExclusiveAccumulation.capacity(), 0u);
    EXPECT_TRUE(state.isAtRest());
    // The end of the dropped message is a stray F7; ordinary messages work again.
    ByteArray tail{0x11, 0x22, 0xF7, 0x90, 0x3C, 0x40};
    parsePacketBytes(tail, state, events, nullptr);
    EXPECT_EQ(events, std::vector<MIDIEvent>{event(MIDIEventType::noteOn, 60, 64, 0)});
}

TEST(MIDIParserSysExCap, MessageOfExactlyTheCapIsKept) {
    MIDIParserState state;
    std::vector<MIDIEvent> events;
    ByteArray message(kMaxSystemExclusiveBytes, 0x22);
    message.front() = 0xF0;
    message.back() = 0xF7;
    parsePacketBytes(std::span(message).first(100), state, events, nullptr);
    parsePacketBytes(std::span(message).subspan(100), state, events, nullptr);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].data, message);
}

TEST(MIDIParserSysExCap, ParsingResumesAtTheFirstByteThatDidNotFit) {
    // A small cap shows where parsing goes on: the fourth byte no longer fits, so it
    // (a status byte) and what follows are parsed by the ordinary rules.
    MIDIParserState state;
    std::vector<MIDIEvent> events;
    std::vector<MIDIRawSystemExclusiveFrame> frames;
    ByteArray packet{0xF0, 0x01, 0x02, 0x93, 0x3C, 0x40, 0xF7};
    parsePacketBytes(packet, state, events, &frames, 3);
    EXPECT_TRUE(frames.empty());
    EXPECT_EQ(events, std::vector<MIDIEvent>{event(MIDIEventType::noteOn, 60, 64, 3)});
    EXPECT_TRUE(state.isAtRest());
}

TEST(MIDIParserSysExCap, SingleHugePacketIsDropped) {
    MIDIParserState state;
    std::vector<MIDIEvent> events;
    std::vector<MIDIRawSystemExclusiveFrame> frames;
    ByteArray packet(kMaxSystemExclusiveBytes + 10, 0x33);
    packet.front() = 0xF0;
    packet.back() = 0xF7;
    parsePacketBytes(packet, state, events, &frames);
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(frames.empty());
    EXPECT_TRUE(state.isAtRest());
}

// The cap holds for a message that arrives whole in one packet too: exactly the
// cap is one event, one byte more is dropped without a frame.
TEST(MIDIParserSysExCap, OnePacketOfExactlyTheCapIsKeptAndOneByteMoreIsDropped) {
    for (const std::size_t size : {kMaxSystemExclusiveBytes, kMaxSystemExclusiveBytes + 1}) {
        SCOPED_TRACE(size);
        MIDIParserState state;
        std::vector<MIDIEvent> events;
        std::vector<MIDIRawSystemExclusiveFrame> frames;
        ByteArray packet(size, 0x44);
        packet.front() = 0xF0;
        packet.back() = 0xF7;
        parsePacketBytes(packet, state, events, frames);
        if (size == kMaxSystemExclusiveBytes) {
            ASSERT_EQ(events.size(), 1u);
            EXPECT_EQ(events[0].data, packet);
            ASSERT_EQ(frames.size(), 1u);
            EXPECT_TRUE(frames[0].isComplete);
        } else {
            EXPECT_TRUE(events.empty());
            EXPECT_TRUE(frames.empty());
        }
        EXPECT_TRUE(state.isAtRest());
    }
}

// A long message in small packets reports each partial frame as a view of the
// accumulation itself: logging it costs nothing like a copy of the message so far.
TEST(MIDIParserFrameSink, PartialFramesAreViewsOfTheAccumulation) {
    struct Sink final : MIDISystemExclusiveFrameSink {
        const MIDIParserState* state = nullptr;
        std::vector<std::pair<std::size_t, bool>> frames;
        bool allInPlace = true;
        void frame(std::span<const std::uint8_t> bytes, bool isComplete) override {
            frames.emplace_back(bytes.size(), isComplete);
            if (!isComplete && bytes.data() != state->systemExclusiveAccumulation.data()) allInPlace = false;
        }
    } sink;
    MIDIParserState state;
    sink.state = &state;
    std::vector<MIDIEvent> events;
    ByteArray packet(256, 0x22);
    packet[0] = 0xF0;
    for (int i = 0; i < 4; ++i) {
        if (i == 3) packet.back() = 0xF7;
        parsePacketBytes(packet, state, events, sink);
        packet[0] = 0x22;
    }
    EXPECT_TRUE(sink.allInPlace);
    EXPECT_EQ(sink.frames, (std::vector<std::pair<std::size_t, bool>>{
                               {256, false}, {512, false}, {768, false}, {1024, true}}));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].data.size(), 1024u);
}

TEST(MIDIParser, InputsKeepSeparateState) {
    MIDIParserState a, b;
    parse(a, {{0xF0, 0x01}});
    auto r = parse(b, {{0x90, 0x3C, 0x40}});
    EXPECT_EQ(r.events.size(), 1u);
    EXPECT_FALSE(a.isAtRest());
}

TEST(MIDIParser, FramesAreOptional) {
    MIDIParserState state;
    std::vector<MIDIEvent> events;
    ByteArray p{0xF0, 0x01, 0xF7};
    parsePacketBytes(p, state, events, nullptr);
    EXPECT_EQ(events, std::vector<MIDIEvent>{sysex({0xF0, 0x01, 0xF7})});
}

TEST(MIDIParser, LongSysExFindsItsEndAndDropsRealTimeAtEveryOffset) {
    // The end of a long message is searched several bytes at a time; place the
    // F7 and a real-time byte at every offset around those steps.
    for (std::size_t length = 2; length < 40; ++length) {
        for (std::size_t rt = 1; rt < length; ++rt) {
            ByteArray expected(length, 0x55);
            expected.front() = 0xF0;
            expected.back() = 0xF7;
            ByteArray packet = expected;
            packet.insert(packet.begin() + static_cast<std::ptrdiff_t>(rt), 0xFA);
            packet.insert(packet.end(), {0x90, 0x3C, 0x40});
            MIDIParserState state;
            std::vector<MIDIEvent> events;
            parsePacketBytes(packet, state, events, nullptr);
            ASSERT_EQ(events.size(), 2u) << length << " " << rt;
            EXPECT_EQ(events[0].data, expected);
            EXPECT_EQ(events[1], event(MIDIEventType::noteOn, 60, 64, 0));
        }
    }
}

TEST(MIDIParser, HighBytesOtherThanF7DoNotEndSysEx) {
    // F0…F6 inside a message are content, even where a word-wise scan looks.
    ByteArray packet{0xF0, 0x01, 0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0x80, 0xEF, 0x02, 0xF7};
    auto r = parse({packet});
    EXPECT_EQ(r.events, std::vector<MIDIEvent>{sysex(packet)});
}
