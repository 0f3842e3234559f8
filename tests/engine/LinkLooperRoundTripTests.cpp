// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "EngineTestSupport.hpp"

namespace velorin {
namespace {

using testing::EngineHarness;

MIDIEvent on(std::int64_t n, std::int64_t v) {
    return MIDIEvent::noteOnEvent(n, v, 0);
}
MIDIEvent off(std::int64_t n) {
    return MIDIEvent::noteOffEvent(n, 0, 0);
}

ByteArray looperMsg(std::uint8_t tt, std::uint8_t pp, std::uint8_t vv) {
    return {0xF0, 0x00, 0x01, 0x7E, 0x01, 0x01, tt, pp, vv, 0xF7};
}

// What left "out-a", with the beat at which it left.
struct Played {
    MIDIEvent event;
    double beat;
};

struct LooperRoundTrip : ::testing::Test, EngineHarness {
    void SetUp() override {
        engine->setInputAssignment(true, "in-a", "link-looper", "inputs");
        engine->setInputAssignment(true, "in-b", "link-looper", "control-inputs");
        engine->setOutputAssignment(true, "out-a", "link-looper", "outputs");
        engine->setOutputAssignment(true, "out-c", "link-looper", "control-outputs");
        engine->start();
        queue.advance(std::chrono::milliseconds(3));  // beats fall between the 10 ms polls
        runTransportAt(90);
        transport.stamp = [this] { return session->beatNow(); };
        queue.advance(std::chrono::milliseconds(20));  // the scheduler has seen the transport run
    }
    std::vector<Played> takeLoopOutput() {
        std::vector<Played> played;
        for (std::size_t i = 0; i < transport.sent.size(); ++i) {
            if (transport.sent[i].key == "out-a")
                played.push_back({transport.sent[i].event, transport.stamps[i]});
        }
        transport.sent.clear();
        transport.stamps.clear();
        return played;
    }
    // Checks that `played` is `expected` (event, target beat), each sent on its beat: the precise
    // wake-up releases it within a fraction of a millisecond (0.0005 beats), not at the next 10 ms poll.
    static void expectPlayed(const std::vector<Played>& played,
                             const std::vector<std::pair<MIDIEvent, double>>& expected) {
        ASSERT_EQ(played.size(), expected.size());
        for (std::size_t i = 0; i < played.size(); ++i) {
            MIDIEvent want = expected[i].first;
            want.timestamp = expected[i].second;
            EXPECT_EQ(played[i].event, want) << "event " << i;
            EXPECT_GE(played[i].beat, expected[i].second - 1e-9) << "event " << i;
            EXPECT_LT(played[i].beat, expected[i].second + 0.0005) << "event " << i;
        }
    }
};

TEST_F(LooperRoundTrip, LoopsLeaveOnTheirBeatsEveryLoopLengthWithVolumeMuteAndSwitchOff) {
    advanceToBeat(92.0);
    play("in-a", {0x90, 60, 100});
    advanceToBeat(93.0);
    play("in-a", {0x80, 60, 0});
    advanceToBeat(94.0);
    play("in-a", {0x90, 64, 80});
    advanceToBeat(96.0);
    play("in-a", {0x80, 64, 0});
    advanceToBeat(100.0);
    EXPECT_TRUE(takeLoopOutput().empty());  // the looper records, it does not pass through

    play("in-b", looperMsg(0, 0, 0x7F));  // looper 1 on at beat 100: the last 8 beats loop
    EXPECT_EQ(engine->linkLooperStateStore()->looperStates()[0].capturedEventCount, 4);
    advanceToBeat(115.9);
    expectPlayed(takeLoopOutput(), {{on(60, 100), 100},
                                    {off(60), 101},
                                    {on(64, 80), 102},
                                    {off(64), 104},
                                    {on(60, 100), 108},
                                    {off(60), 109},
                                    {on(64, 80), 110},
                                    {off(64), 112}});

    play("in-b", looperMsg(0, 1, 48));  // volume 48: note-ons at half velocity
    advanceToBeat(123.9);
    expectPlayed(takeLoopOutput(), {{on(60, 50), 116}, {off(60), 117}, {on(64, 40), 118}, {off(64), 120}});

    advanceToBeat(124.5);  // note 60 sounds
    takeLoopOutput();
    play("in-b", looperMsg(0, 2, 0x7F));  // mute: the sounding note ends now
    const auto muted = takeLoopOutput();
    ASSERT_EQ(muted.size(), 1u);
    EXPECT_EQ(muted[0].event.type, MIDIEventType::noteOff);
    EXPECT_EQ(muted[0].event.note, 60);
    advanceToBeat(131.9);
    EXPECT_TRUE(takeLoopOutput().empty());
    play("in-b", looperMsg(0, 2, 0x00));  // unmute
    advanceToBeat(134.5);
    expectPlayed(takeLoopOutput(), {{on(60, 50), 132}, {off(60), 133}, {on(64, 40), 134}});

    // Switching off while note 64 sounds: cancel, its note-off, and the volume report.
    play("in-b", looperMsg(0, 0, 0x00));
    const auto offNow = takeLoopOutput();
    ASSERT_EQ(offNow.size(), 1u);
    EXPECT_EQ(offNow[0].event.type, MIDIEventType::noteOff);
    EXPECT_EQ(offNow[0].event.note, 64);
    EXPECT_EQ(engine->scheduler().pendingCount(), 0u);
    advanceToBeat(150);
    EXPECT_TRUE(takeLoopOutput().empty());
    EXPECT_EQ(engine->linkLooperStateStore()->looperStates()[0].volume, 96);
}

TEST_F(LooperRoundTrip, ControlOutputsReportSnapshotAndSwitchOff) {
    advanceToBeat(93.9);
    EXPECT_TRUE(transport.eventsTo("out-c").empty());
    advanceToBeat(95);  // two seconds after start: the snapshot
    const auto snapshot = transport.eventsTo("out-c");
    ASSERT_EQ(snapshot.size(), 13u);
    EXPECT_EQ(snapshot.back().data, looperMsg(0x7F, 0x03, 0x07));
    play("in-a", {0x90, 60, 100});
    engine->setLinkLooper(1, true);
    EXPECT_TRUE(engine->linkLooperStateStore()->activeLooperIndices().contains(1));
    transport.sent.clear();
    engine->setLinkLooper(1, false);
    EXPECT_EQ(transport.eventsTo("out-c"),
              (std::vector<MIDIEvent>{*makeSystemExclusive(looperMsg(1, 1, 0x60), session->beatNow())}));
}

TEST_F(LooperRoundTrip, WindowSwitchIsRefusedWhileTransportStops) {
    session->playing = false;
    engine->setLinkLooper(2, true);
    EXPECT_TRUE(engine->linkLooperStateStore()->activeLooperIndices().empty());
    engine->setLinkLooperMute(2, true);
    EXPECT_TRUE(engine->linkLooperSettings()->isLooperMuted(2));
    EXPECT_EQ(settings.boolListValue("linkLooperMutedLoopers"),
              (std::vector<bool>{false, false, true, false}));
}

}  // namespace
}  // namespace velorin
