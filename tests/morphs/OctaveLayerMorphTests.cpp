// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "MorphTestSupport.hpp"
#include "core/MemorySettingsStore.hpp"
#include "morphs/OctaveLayerMorph.hpp"

namespace velorin {
namespace {

using testing::contextWith;
using testing::RecordingMorphLog;

MIDIEvent on(std::int64_t n, std::int64_t v = 100, std::int64_t ch = 0) {
    return MIDIEvent::noteOnEvent(n, v, ch);
}
MIDIEvent off(std::int64_t n, std::int64_t ch = 0) {
    return MIDIEvent::noteOffEvent(n, 0, ch);
}

std::vector<std::int64_t> notesOf(const MorphActions& actions) {
    std::vector<std::int64_t> out;
    for (const auto& a : actions) out.push_back(a.event.note);
    return out;
}

struct OctaveLayerFixture : ::testing::Test {
    MemorySettingsStore store;
    std::shared_ptr<OctaveLayerSettings> settings = std::make_shared<OctaveLayerSettings>(&store);
    OctaveLayerMorph morph{settings};
    RecordingMorphLog log;
    MorphContext context = contextWith(log);

    MorphActions run(const MIDIEvent& e) {
        MorphActions out;
        morph.process(e, context, out);
        return out;
    }
    void enableAll() {
        for (auto k : kAllOctaveLayerKinds) settings->setEnabled(true, k);
    }
};

TEST_F(OctaveLayerFixture, DefaultAddsOneOctaveAboveAsImmediateOutputs) {
    const auto out = run(on(60));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], MorphAction::send(on(60)));
    EXPECT_EQ(out[1], MorphAction::send(on(72)));
}

TEST_F(OctaveLayerFixture, CopiesOutsideTheNoteRangeAreSkippedInAscendingOrder) {
    enableAll();
    EXPECT_EQ(notesOf(run(on(20))), (std::vector<std::int64_t>{20, 8, 32, 44}));
    EXPECT_EQ(notesOf(run(on(110))), (std::vector<std::int64_t>{110, 86, 98, 122}));
    // 127 is the last note kept; 128 is out.
    EXPECT_EQ(notesOf(run(on(103))), (std::vector<std::int64_t>{103, 79, 91, 115, 127}));
    EXPECT_EQ(notesOf(run(on(104))), (std::vector<std::int64_t>{104, 80, 92, 116}));
    // 0 is the first note kept.
    EXPECT_EQ(notesOf(run(on(24))), (std::vector<std::int64_t>{24, 0, 12, 36, 48}));
}

TEST_F(OctaveLayerFixture, NoteOffEndsExactlyTheCopiesItsNoteStarted) {
    run(on(60));
    settings->setEnabled(false, OctaveLayerKind::plusOne);
    settings->setEnabled(true, OctaveLayerKind::plusTwo);
    const auto out = run(off(60));
    EXPECT_EQ(notesOf(out), (std::vector<std::int64_t>{60, 72}));
    EXPECT_EQ(out[1].event.type, MIDIEventType::noteOff);
    // Forgotten afterwards: a second note-off falls back to the layers enabled now.
    EXPECT_EQ(notesOf(run(off(60))), (std::vector<std::int64_t>{60, 84}));
}

// Playing a note again before its note-off, with the layers changed in
// between: the note-off ends the copies of both note-ons, so none is left sounding.
TEST_F(OctaveLayerFixture, RetriggeredNoteOffEndsTheCopiesOfEveryEarlierNoteOn) {
    run(on(60));
    settings->setEnabled(false, OctaveLayerKind::plusOne);
    settings->setEnabled(true, OctaveLayerKind::plusTwo);
    settings->setEnabled(true, OctaveLayerKind::minusOne);
    EXPECT_EQ(notesOf(run(on(60))), (std::vector<std::int64_t>{60, 48, 84}));
    settings->setEnabled(false, OctaveLayerKind::minusOne);
    settings->setEnabled(false, OctaveLayerKind::plusTwo);
    EXPECT_EQ(notesOf(run(off(60))), (std::vector<std::int64_t>{60, 48, 72, 84}));
    EXPECT_EQ(morph.heldSourceCount(), 0u);
}

TEST_F(OctaveLayerFixture, LayerSwitchedOnWhileHeldNeitherStartsNorEnds) {
    settings->setEnabled(false, OctaveLayerKind::plusOne);
    EXPECT_EQ(notesOf(run(on(60))), (std::vector<std::int64_t>{60}));
    settings->setEnabled(true, OctaveLayerKind::minusOne);
    EXPECT_EQ(notesOf(run(off(60))), (std::vector<std::int64_t>{60}));
}

TEST_F(OctaveLayerFixture, UnmatchedNoteOffUsesLayersEnabledNow) {
    settings->setEnabled(true, OctaveLayerKind::minusOne);
    EXPECT_EQ(notesOf(run(off(60))), (std::vector<std::int64_t>{60, 48, 72}));
}

TEST_F(OctaveLayerFixture, ChannelsAreSeparateSources) {
    run(on(60, 100, 0));
    settings->setEnabled(true, OctaveLayerKind::plusTwo);
    run(on(60, 100, 1));
    settings->setEnabled(false, OctaveLayerKind::plusOne);
    settings->setEnabled(false, OctaveLayerKind::plusTwo);
    const auto off0 = run(off(60, 0));
    const auto off1 = run(off(60, 1));
    EXPECT_EQ(notesOf(off0), (std::vector<std::int64_t>{60, 72}));
    EXPECT_EQ(notesOf(off1), (std::vector<std::int64_t>{60, 72, 84}));
    EXPECT_EQ(off1[2].event.channel, 1);
    EXPECT_EQ(morph.heldSourceCount(), 0u);
}

// Note 0 of channel 1 is not note 127 of channel 0: ending one leaves the
// other's copies to its own note-off.
TEST_F(OctaveLayerFixture, NoteZeroIsNotNote127OfTheChannelBefore) {
    run(on(0, 100, 1));
    settings->setEnabled(false, OctaveLayerKind::plusOne);
    run(off(127, 0));
    EXPECT_EQ(notesOf(run(off(0, 1))), (std::vector<std::int64_t>{0, 12}));
}

// Identities outside 0-127 / 0-15 (only other morphs build them) are remembered up
// to a cap of 2048 sources: the source past the cap is not remembered, so its
// note-off falls back to the layers enabled now; a freed place is taken again.
TEST_F(OctaveLayerFixture, RememberedOutOfRangeSourcesStopAtTheirCap) {
    constexpr std::int64_t kCap = 2048;
    for (std::int64_t i = 0; i < kCap; ++i) run(on(60, 100, 16 + i));
    EXPECT_EQ(morph.heldSourceCount(), static_cast<std::size_t>(kCap));
    run(on(60, 100, 16 + kCap));
    EXPECT_EQ(morph.heldSourceCount(), static_cast<std::size_t>(kCap));
    // Played again at the cap, a remembered source still updates its entry.
    settings->setEnabled(true, OctaveLayerKind::plusTwo);
    run(on(60, 100, 16));
    EXPECT_EQ(morph.heldSourceCount(), static_cast<std::size_t>(kCap));
    settings->setEnabled(false, OctaveLayerKind::plusOne);
    settings->setEnabled(false, OctaveLayerKind::plusTwo);
    settings->setEnabled(true, OctaveLayerKind::minusOne);
    EXPECT_EQ(notesOf(run(off(60, 16))), (std::vector<std::int64_t>{60, 72, 84}));
    EXPECT_EQ(notesOf(run(off(60, 17))), (std::vector<std::int64_t>{60, 72}));
    EXPECT_EQ(notesOf(run(off(60, 16 + kCap))), (std::vector<std::int64_t>{60, 48}));
    EXPECT_EQ(morph.heldSourceCount(), static_cast<std::size_t>(kCap - 2));
    run(on(60, 100, 16 + kCap));
    EXPECT_EQ(morph.heldSourceCount(), static_cast<std::size_t>(kCap - 1));
    settings->setEnabled(false, OctaveLayerKind::minusOne);
    EXPECT_EQ(notesOf(run(off(60, 16 + kCap))), (std::vector<std::int64_t>{60, 48}));
}

TEST_F(OctaveLayerFixture, VelocityZeroNoteOnEndsCopiesWithSameShape) {
    run(on(60));
    const auto out = run(on(60, 0));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].event, on(72, 0));
}

TEST_F(OctaveLayerFixture, NonNoteEventsAreDropped) {
    EXPECT_TRUE(run(MIDIEvent::ccEvent(64, 127, 0)).empty());
    EXPECT_TRUE(run(testing::sysexEvent({0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7})).empty());
    // A looper message is not obeyed and not passed on.
    EXPECT_TRUE(
        run(testing::sysexEvent({0xF0, 0x00, 0x01, 0x7E, 0x01, 0x01, 0x00, 0x00, 0x7F, 0xF7})).empty());
    EXPECT_EQ(settings->storedEnabledByIndex(), OctaveLayerSettings::kDefaultEnabled);
}

TEST_F(OctaveLayerFixture, SysExSwitchesLayerPersistsAndLogs) {
    int notified = 0;
    auto sub = settings->observe([&] { ++notified; });
    const auto msg = testing::sysexEvent({0xF0, 0x00, 0x01, 0x7E, 0x01, 0x02, 0x03, 0x00, 0x7F, 0xF7});
    EXPECT_TRUE(run(msg).empty());
    EXPECT_TRUE(settings->isEnabled(OctaveLayerKind::plusTwo));
    EXPECT_EQ(store.boolListValue(OctaveLayerSettings::kEnabledLayersKey),
              (std::vector<bool>{false, false, true, true}));
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0], (RecordingMorphLog::Line{MessageType::morph, "Octave Layer", "+2 OCT on"}));
    const int writes = store.writeCount();
    run(msg);
    EXPECT_EQ(notified, 1);
    EXPECT_EQ(store.writeCount(), writes);  // unchanged: not written again
}

TEST(OctaveLayerSettings, MalformedStoredListsFallBackToDefault) {
    MemorySettingsStore store;
    store.set(OctaveLayerSettings::kEnabledLayersKey, std::vector<bool>{true, true, true});
    EXPECT_EQ(OctaveLayerSettings(&store).storedEnabledByIndex(), OctaveLayerSettings::kDefaultEnabled);
    store.set(OctaveLayerSettings::kEnabledLayersKey, std::int64_t{3});
    EXPECT_EQ(OctaveLayerSettings(&store).storedEnabledByIndex(), OctaveLayerSettings::kDefaultEnabled);
    store.set(OctaveLayerSettings::kEnabledLayersKey, std::vector<bool>{true, false, false, true});
    EXPECT_EQ(OctaveLayerSettings(&store).storedEnabledByIndex(),
              (std::array<bool, 4>{true, false, false, true}));
    OctaveLayerSettings unpersisted(nullptr);
    unpersisted.toggle(OctaveLayerKind::minusTwo);
    EXPECT_TRUE(unpersisted.isEnabled(OctaveLayerKind::minusTwo));
}

TEST_F(OctaveLayerFixture, ResetForgetsHeldCopiesAndReturnsNothing) {
    run(on(60));
    MorphActions out;
    morph.reset(out);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(morph.heldSourceCount(), 0u);
    settings->setEnabled(false, OctaveLayerKind::plusOne);
    EXPECT_EQ(notesOf(run(off(60))), (std::vector<std::int64_t>{60}));
}

TEST_F(OctaveLayerFixture, StartupSummaryLine) {
    morph.logStartupSummary(context);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0],
              (RecordingMorphLog::Line{MessageType::morph, "Octave Layer", "Controlled by Velorin SysEx"}));
}

}  // namespace
}  // namespace velorin
