// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "MorphTestSupport.hpp"
#include "core/MemorySettingsStore.hpp"
#include "morphs/LinkLooperMorph.hpp"

namespace velorin {
namespace {

using testing::contextWith;
using testing::RecordingMorphLog;
using testing::sysexEvent;

MIDIEvent looperMsg(std::uint8_t tt, std::uint8_t pp, std::uint8_t vv) {
    return sysexEvent({0xF0, 0x00, 0x01, 0x7E, 0x01, 0x01, tt, pp, vv, 0xF7});
}

struct LinkLooperFixture : ::testing::Test {
    MemorySettingsStore store;
    std::shared_ptr<LinkLooperSettings> settings = std::make_shared<LinkLooperSettings>(&store);
    std::shared_ptr<LinkLooperStateStore> state = std::make_shared<LinkLooperStateStore>();
    std::unique_ptr<LinkLooperMorph> morph = std::make_unique<LinkLooperMorph>(state, settings);
    RecordingMorphLog log;

    MorphActions input(const MIDIEvent& e, double beat) {
        MorphActions out;
        morph->process(e, contextWith(log, beat, true, kInputsGroup), out);
        return out;
    }
    MorphActions control(const MIDIEvent& e, double beat, bool running = true) {
        MorphActions out;
        morph->process(e, contextWith(log, beat, running, kControlInputsGroup), out);
        return out;
    }
    MorphActions setLooper(int i, bool on, double beat, bool running = true) {
        MorphActions out;
        morph->applyLooperControl(i, on ? 1 : 0, 2, contextWith(log, beat, running), out);
        return out;
    }
    // Plays a scheduled loop event through the two engine hooks, as the engine does.
    std::optional<MIDIEvent> fire(const MorphAction& a) {
        auto e = morph->prepareScheduledEvent(a.event, *a.cancellationKey);
        if (e) morph->didSendEvent(*e, *a.cancellationKey);
        return e;
    }
};

TEST_F(LinkLooperFixture, RefusesToStartWhileTransportIsStopped) {
    EXPECT_TRUE(control(looperMsg(0, 0, 0x7F), 100, false).empty());
    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{"Looper 1 cannot turn ON until Link transport is running"}));
    EXPECT_EQ(log.lines[0].title, "Link Looper");
    EXPECT_FALSE(morph->playbackState().isActive[0]);
    EXPECT_TRUE(state->activeLooperIndices().empty());
}

TEST_F(LinkLooperFixture, SwitchingOnSchedulesQuantisedRepeatingLoopEvents) {
    EXPECT_TRUE(input(MIDIEvent::noteOnEvent(60, 100, 0), 92.13).empty());
    input(MIDIEvent::noteOffEvent(60, 0, 0), 92.60);
    const auto out = control(looperMsg(0, 0, 0x7F), 100);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_DOUBLE_EQ(*out[0].beat, 100.25);
    EXPECT_NEAR(*out[1].beat, 100.72, 1e-9);
    EXPECT_EQ(out[0].event.timestamp, *out[0].beat);
    for (const auto& a : out) {
        EXPECT_EQ(a.cancellationKey, "link-looper-1");
        EXPECT_EQ(a.repeatIntervalBeats, 8.0);
        EXPECT_EQ(a.outputGroupKey, "outputs");
    }
    EXPECT_EQ(log.texts().back(), "Looper 1 ON (2 events)");
    EXPECT_EQ(state->looperStates()[0], (LooperState{0, 96, true, false, 2}));
    // Again on: nothing, no log.
    const auto lines = log.lines.size();
    EXPECT_TRUE(setLooper(0, true, 101).empty());
    EXPECT_EQ(log.lines.size(), lines);
}

TEST_F(LinkLooperFixture, InputIsRecordedNotPassedAndControlsAreNotCaptured) {
    EXPECT_TRUE(input(looperMsg(0, 0, 0x7F), 95).empty());
    EXPECT_FALSE(morph->playbackState().isActive[0]);
    EXPECT_EQ(morph->captureBuffer().size(), 0u);
    EXPECT_TRUE(control(MIDIEvent::ccEvent(1, 1, 0), 95).empty());
    EXPECT_EQ(morph->captureBuffer().size(), 0u);
    MorphActions out;
    morph->process(MIDIEvent::ccEvent(1, 1, 0), contextWith(log, 95, true), out);  // no group
    EXPECT_EQ(morph->captureBuffer().size(), 0u);
    // A wrong-protocol message does nothing on control inputs.
    EXPECT_TRUE(
        control(sysexEvent({0xF0, 0x00, 0x01, 0x7E, 0x01, 0x02, 0x00, 0x00, 0x7F, 0xF7}), 95).empty());
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(LinkLooperFixture, SwitchingOffCancelsEndsSoundingNotesAndReportsVolume) {
    input(MIDIEvent::noteOnEvent(64, 100, 1), 92);
    input(MIDIEvent::noteOnEvent(60, 100, 1), 92.5);
    input(MIDIEvent::noteOnEvent(70, 100, 0), 93);
    const auto on = setLooper(2, true, 100);
    ASSERT_EQ(on.size(), 3u);
    for (const auto& a : on) fire(a);
    control(looperMsg(2, 1, 40), 101);  // volume 40
    EXPECT_EQ(morph->playbackState().volumesByIndex[2], 40);
    const auto off = setLooper(2, false, 102);
    ASSERT_EQ(off.size(), 5u);
    EXPECT_EQ(off[0].cancelsScheduledActionsWithKey, "link-looper-3");
    EXPECT_FALSE(off[0].sendsEvent);
    EXPECT_FALSE(off[0].beat);
    EXPECT_EQ(off[1].event, (MIDIEvent{MIDIEventType::noteOff, 70, 0, 0, 102, {}}));
    EXPECT_EQ(off[2].event.note, 60);
    EXPECT_EQ(off[2].event.channel, 1);
    EXPECT_EQ(off[3].event.note, 64);
    EXPECT_EQ(off[4].outputGroupKey, "control-outputs");
    EXPECT_EQ(off[4].event.data, (ByteArray{0xF0, 0x00, 0x01, 0x7E, 0x01, 0x01, 0x02, 0x01, 0x60, 0xF7}));
    EXPECT_EQ(off[4].event.timestamp, 102);
    EXPECT_EQ(morph->playbackState().volumesByIndex[2], 96);
    EXPECT_EQ(state->looperStates()[2], (LooperState{2, 96, false, false, 3}));
    EXPECT_EQ(log.texts().back(), "Looper 3 OFF");
    EXPECT_TRUE(setLooper(2, false, 103).empty());
}

TEST_F(LinkLooperFixture, VolumeScalesNoteOnsAndZeroVolumeDropsThem) {
    EXPECT_EQ(LinkLooperMorph::scaledVelocity(100, 48), 50);
    EXPECT_EQ(LinkLooperMorph::scaledVelocity(100, 127), 127);
    EXPECT_EQ(LinkLooperMorph::scaledVelocity(1, 10), 1);
    EXPECT_EQ(LinkLooperMorph::scaledVelocity(0, 10), 0);

    const std::string key = LinkLooperMorph::cancellationKey(0);
    control(looperMsg(0, 1, 48), 0);
    EXPECT_EQ(morph->prepareScheduledEvent(MIDIEvent::noteOnEvent(60, 100, 0), key)->velocity, 50);
    morph->didSendEvent(MIDIEvent::noteOnEvent(60, 50, 0), key);
    control(looperMsg(0, 1, 0), 0);
    EXPECT_FALSE(morph->prepareScheduledEvent(MIDIEvent::noteOnEvent(62, 100, 0), key));
    EXPECT_TRUE(morph->prepareScheduledEvent(MIDIEvent::noteOffEvent(60, 0, 0), key));
    EXPECT_FALSE(morph->prepareScheduledEvent(MIDIEvent::noteOffEvent(62, 0, 0), key));
    // Other types and foreign keys pass unchanged.
    EXPECT_EQ(morph->prepareScheduledEvent(MIDIEvent::ccEvent(1, 5, 0), key), MIDIEvent::ccEvent(1, 5, 0));
    EXPECT_EQ(morph->prepareScheduledEvent(MIDIEvent::noteOnEvent(1, 5, 0), "other"),
              MIDIEvent::noteOnEvent(1, 5, 0));
}

TEST_F(LinkLooperFixture, MutingEndsSoundingNotesAndDropsLaterOrphanNoteOffs) {
    const std::string key = LinkLooperMorph::cancellationKey(1);
    morph->didSendEvent(MIDIEvent::noteOnEvent(60, 100, 0), key);
    morph->didSendEvent(MIDIEvent::noteOnEvent(67, 100, 0), key);
    const auto out = control(looperMsg(1, 2, 0x7F), 10);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].event.note, 60);
    EXPECT_EQ(out[1].event.note, 67);
    EXPECT_EQ(log.texts().back(), "Looper 2 MUTED");
    EXPECT_EQ(store.boolListValue(LinkLooperSettings::kMutedLoopersKey),
              (std::vector<bool>{false, true, false, false}));
    EXPECT_TRUE(state->mutedLooperIndices().contains(1));
    EXPECT_TRUE(control(looperMsg(1, 2, 0x7F), 10).empty());
    EXPECT_FALSE(morph->prepareScheduledEvent(MIDIEvent::noteOnEvent(72, 100, 0), key));  // muted: dropped
    EXPECT_TRUE(control(looperMsg(1, 2, 0x00), 11).empty());
    EXPECT_EQ(log.texts().back(), "Looper 2 UNMUTED");
    EXPECT_FALSE(morph->prepareScheduledEvent(MIDIEvent::noteOffEvent(72, 0, 0), key));
}

TEST_F(LinkLooperFixture, LoopLengthChangeAppliesToNextSwitchOn) {
    for (int b = 80; b < 100; ++b) input(MIDIEvent::ccEvent(1, b, 0), b);
    auto first = setLooper(0, true, 100);
    EXPECT_EQ(first.size(), 8u);
    EXPECT_EQ(*first[0].repeatIntervalBeats, 8.0);
    control(looperMsg(0x7F, 0x03, 0x03), 100);
    EXPECT_EQ(settings->loopLengthBeats(), 4);
    EXPECT_EQ(store.integerValue(LinkLooperSettings::kLoopLengthKey), 4);
    setLooper(0, false, 100);
    auto second = setLooper(0, true, 100);
    EXPECT_EQ(second.size(), 4u);
    EXPECT_EQ(*second[0].repeatIntervalBeats, 4.0);
}

TEST_F(LinkLooperFixture, StartupSnapshotOfFreshStart) {
    MorphActions out;
    morph->startupSnapshot(contextWith(log, 5.5), out);
    ASSERT_EQ(out.size(), 13u);
    std::vector<std::array<std::uint8_t, 3>> fields;
    for (const auto& a : out) {
        EXPECT_EQ(a.outputGroupKey, "control-outputs");
        EXPECT_EQ(a.event.timestamp, 5.5);
        fields.push_back({a.event.data[6], a.event.data[7], a.event.data[8]});
    }
    std::vector<std::array<std::uint8_t, 3>> expected;
    for (std::uint8_t i = 0; i < 4; ++i) {
        expected.push_back({i, 0, 0});
        expected.push_back({i, 1, 0x60});
        expected.push_back({i, 2, 0});
    }
    expected.push_back({0x7F, 3, 7});
    EXPECT_EQ(fields, expected);
}

TEST_F(LinkLooperFixture, ResetKeepsPersistedMutesAndCancelsEveryLooper) {
    settings->setLooperMuted(true, 3);
    input(MIDIEvent::noteOnEvent(60, 100, 0), 95);
    setLooper(0, true, 100);
    control(looperMsg(1, 1, 20), 100);
    MorphActions out;
    morph->reset(out);
    ASSERT_EQ(out.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(out[static_cast<std::size_t>(i)].cancelsScheduledActionsWithKey,
                  LinkLooperMorph::cancellationKey(i));
        EXPECT_FALSE(out[static_cast<std::size_t>(i)].sendsEvent);
    }
    EXPECT_EQ(morph->captureBuffer().size(), 0u);
    EXPECT_FALSE(morph->playbackState().isActive[0]);
    EXPECT_EQ(morph->playbackState().volumesByIndex[1], 96);
    EXPECT_TRUE(morph->playbackState().isMuted[3]);
    EXPECT_EQ(state->mutedLooperIndices(), (std::set<int>{3}));
    EXPECT_TRUE(state->activeLooperIndices().empty());
}

TEST(LinkLooperSettings, IgnoresOutOfRangeStoredValues) {
    MemorySettingsStore store;
    store.set(LinkLooperSettings::kLoopLengthKey, std::int64_t{0});
    store.set(LinkLooperSettings::kMutedLoopersKey, std::vector<bool>{true});
    LinkLooperSettings a(&store);
    EXPECT_EQ(a.loopLengthBeats(), 8);
    EXPECT_FALSE(a.isLooperMuted(0));
    store.set(LinkLooperSettings::kLoopLengthKey, std::int64_t{65});
    EXPECT_EQ(LinkLooperSettings(&store).loopLengthBeats(), 8);
    store.set(LinkLooperSettings::kLoopLengthKey, std::int64_t{64});
    store.set(LinkLooperSettings::kMutedLoopersKey, std::vector<bool>{false, false, true, false});
    LinkLooperSettings b(&store);
    EXPECT_EQ(b.loopLengthBeats(), 64);
    EXPECT_TRUE(b.isLooperMuted(2));
    b.setLoopLengthBeats(0);
    EXPECT_EQ(b.loopLengthBeats(), 1);
    b.setLooperMuted(true, 7);  // ignored
    EXPECT_FALSE(b.isLooperMuted(7));
}

TEST(LinkLooperSettings, WritesAndNotifiesOnlyChanges) {
    MemorySettingsStore store;
    LinkLooperSettings settings(&store);
    int notified = 0;
    auto sub = settings.observe([&] { ++notified; });
    settings.setLoopLengthBeats(8);
    settings.setLoopLengthBeats(100);
    settings.setLoopLengthBeats(64);  // 100 was clamped to 64 already
    settings.setLooperMuted(false, 1);
    settings.setLooperMuted(true, 1);
    settings.setLooperMuted(true, 1);
    EXPECT_EQ(store.writeCount(), 2);
    EXPECT_EQ(notified, 2);
    EXPECT_EQ(store.integerValue(LinkLooperSettings::kLoopLengthKey), 64);
    EXPECT_EQ(store.boolListValue(LinkLooperSettings::kMutedLoopersKey),
              (std::vector<bool>{false, true, false, false}));
}

TEST(LinkLooperMorph, LooperKeys) {
    EXPECT_EQ(LinkLooperMorph::looperIndex("link-looper-1"), 0);
    EXPECT_EQ(LinkLooperMorph::looperIndex("link-looper-4"), 3);
    EXPECT_FALSE(LinkLooperMorph::looperIndex("link-looper-5"));
    EXPECT_FALSE(LinkLooperMorph::looperIndex("link-looper-0"));
    EXPECT_FALSE(LinkLooperMorph::looperIndex(""));
}

}  // namespace
}  // namespace velorin
