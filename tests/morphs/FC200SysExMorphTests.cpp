// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>

#include "MorphTestSupport.hpp"
#include "core/MemorySettingsStore.hpp"
#include "morphs/FC200SysExMorph.hpp"

namespace velorin {
namespace {

using testing::contextWith;
using testing::RecordingMorphLog;
using testing::sysexEvent;

MIDIEvent pedal(std::uint8_t controlID, std::uint8_t value, std::uint8_t device = 0x10) {
    return sysexEvent({0xF0, 0x41, device, 0x72, 0x12, 0x00, controlID, value,
                       FC200SysExMorph::checksum(0, controlID, value), 0xF7},
                      3.5);
}

struct FC200Fixture : ::testing::Test {
    MemorySettingsStore store;
    std::shared_ptr<FC200Settings> settings = std::make_shared<FC200Settings>(&store);
    FC200SysExMorph morph{settings};
    RecordingMorphLog log;

    std::vector<std::pair<std::int64_t, std::int64_t>> run(const MIDIEvent& e) {
        MorphActions out;
        morph.process(e, contextWith(log), out);
        std::vector<std::pair<std::int64_t, std::int64_t>> ccs;
        for (const auto& a : out) {
            EXPECT_EQ(a.event.type, MIDIEventType::cc);
            EXPECT_EQ(a.event.channel, 14);
            EXPECT_EQ(a.outputGroupKey, "outputs");
            EXPECT_FALSE(a.beat);
            ccs.emplace_back(a.event.note, a.event.velocity);
        }
        return ccs;
    }
    using CCs = std::vector<std::pair<std::int64_t, std::int64_t>>;
};

TEST_F(FC200Fixture, PedalOnePressGivesCC64OnChannel15WithTimestamp) {
    const auto msg = sysexEvent({0xF0, 0x41, 0x10, 0x72, 0x12, 0x00, 0x00, 0x7F, 0x01, 0xF7}, 7.0);
    MorphActions out;
    morph.process(msg, contextWith(log), out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].event.note, 64);
    EXPECT_EQ(out[0].event.velocity, 127);
    EXPECT_EQ(out[0].event.channel, 14);
    EXPECT_EQ(out[0].event.timestamp, 7.0);
}

TEST_F(FC200Fixture, RejectsWrongChecksumLengthAddressAndOtherEvents) {
    EXPECT_TRUE(run(sysexEvent({0xF0, 0x41, 0x10, 0x72, 0x12, 0x00, 0x00, 0x7F, 0x02, 0xF7})).empty());
    EXPECT_TRUE(run(sysexEvent({0xF0, 0x41, 0x10, 0x72, 0x12, 0x00, 0x00, 0x7F, 0x01, 0x00, 0xF7})).empty());
    EXPECT_TRUE(run(sysexEvent({0xF0, 0x41, 0x10, 0x72, 0x12, 0x01, 0x00, 0x7F, 0x00, 0xF7})).empty());
    EXPECT_TRUE(run(sysexEvent({0xF0, 0x41, 0x80, 0x72, 0x12, 0x00, 0x00, 0x7F, 0x01, 0xF7})).empty());
    EXPECT_TRUE(run(MIDIEvent::noteOnEvent(60, 100, 0)).empty());
    EXPECT_TRUE(run(MIDIEvent::ccEvent(64, 127, 14)).empty());
}

TEST_F(FC200Fixture, ExpressionAndUnknownControls) {
    settings->setTogglesUpperPedals(true);
    settings->setUpperPedalsShareLowerCCs(true);
    EXPECT_EQ(run(pedal(13, 64)), (CCs{{77, 64}}));
    for (int c : {10, 11, 12, 14, 0x7F})
        EXPECT_TRUE(run(pedal(static_cast<std::uint8_t>(c), 64)).empty()) << c;
}

TEST_F(FC200Fixture, UpperPedalsPassValuesWithoutToggling) {
    EXPECT_EQ(run(pedal(5, 127)), (CCs{{69, 127}}));
    EXPECT_EQ(run(pedal(5, 0)), (CCs{{69, 0}}));
    settings->setUpperPedalsShareLowerCCs(true);  // plays no part without toggling
    EXPECT_EQ(run(pedal(9, 50)), (CCs{{73, 50}}));
    EXPECT_EQ(run(pedal(0, 127)), (CCs{{64, 127}}));
    EXPECT_TRUE(settings->latchedUpperPedalNumbers().empty());  // no partner latched
}

TEST_F(FC200Fixture, TogglingLatchesOnPressAndIgnoresRelease) {
    settings->setTogglesUpperPedals(true);
    EXPECT_EQ(run(pedal(5, 127)), (CCs{{69, 127}}));
    EXPECT_EQ(settings->latchedUpperPedalNumbers(), (std::set<int>{6}));
    EXPECT_TRUE(run(pedal(5, 0)).empty());
    EXPECT_EQ(run(pedal(5, 127)), (CCs{{69, 0}}));
    EXPECT_TRUE(settings->latchedUpperPedalNumbers().empty());
    // Pedals 1-5 stay momentary and, without sharing, leave the upper latches alone.
    EXPECT_EQ(run(pedal(4, 127)), (CCs{{68, 127}}));
    EXPECT_TRUE(settings->latchedUpperPedalNumbers().empty());
    EXPECT_EQ(run(pedal(4, 0)), (CCs{{68, 0}}));
}

TEST_F(FC200Fixture, SharingKeepsPartnerToggleInStepWithLowerPedal) {
    settings->setTogglesUpperPedals(true);
    settings->setUpperPedalsShareLowerCCs(true);
    EXPECT_EQ(run(pedal(5, 127)), (CCs{{64, 127}}));
    EXPECT_EQ(run(pedal(0, 0)), (CCs{{64, 0}}));
    EXPECT_TRUE(settings->latchedUpperPedalNumbers().empty());
    EXPECT_EQ(run(pedal(5, 127)), (CCs{{64, 127}}));
    // Pressing the lower pedal latches its partner: the next upper press switches off.
    run(pedal(1, 127));
    EXPECT_EQ(settings->latchedUpperPedalNumbers(), (std::set<int>{6, 7}));
    EXPECT_EQ(run(pedal(6, 127)), (CCs{{65, 0}}));
}

TEST_F(FC200Fixture, ResetSendsZeroOnControllersInUseAndClearsBothSets) {
    settings->setTogglesUpperPedals(true);
    settings->setUpperPedalsShareLowerCCs(true);
    run(pedal(6, 127));
    run(pedal(8, 127));
    run(pedal(9, 127));
    EXPECT_EQ(settings->upperPedalToggleStates(),
              (std::vector<FC200Settings::UpperPedalToggleState>{
                  {6, false}, {7, true}, {8, false}, {9, true}, {10, true}}));
    MorphActions out;
    morph.reset(out);
    CCs ccs;
    for (const auto& a : out) ccs.emplace_back(a.event.note, a.event.velocity);
    std::sort(ccs.begin(), ccs.end());
    EXPECT_EQ(ccs, (CCs{{65, 0}, {67, 0}, {68, 0}}));
    EXPECT_TRUE(settings->latchedUpperPedalNumbers().empty());
    out.clear();
    morph.reset(out);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(run(pedal(6, 127)), (CCs{{65, 127}}));
}

TEST(FC200Settings, ReadsOnceAndWritesOnlyChanges) {
    MemorySettingsStore store;
    store.set(FC200Settings::kShowsMorphKey, true);
    store.set(FC200Settings::kTogglesUpperPedalsKey, std::int64_t{1});  // wrong type: default
    FC200Settings settings(&store);
    EXPECT_TRUE(settings.showsMorph());
    EXPECT_FALSE(settings.togglesUpperPedals());
    int notified = 0;
    auto sub = settings.observe([&] { ++notified; });
    const int writes = store.writeCount();
    settings.setShowsMorph(true);
    EXPECT_EQ(store.writeCount(), writes);
    settings.setUpperPedalsShareLowerCCs(true);
    EXPECT_EQ(store.boolValue(FC200Settings::kUpperPedalsShareLowerCCsKey), true);
    EXPECT_EQ(notified, 1);
}

TEST_F(FC200Fixture, StartupSummaryLine) {
    morph.logStartupSummary(contextWith(log));
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].title, "FC-200 SysEx");
    EXPECT_EQ(log.lines[0].text,
              "translating Roland FC-200 SysEx controls to channel 15 CC64+; pedals 1-10 use CC64-73, "
              "expression uses "
              "CC77; pedals 6-10 toggle when enabled and can share pedals 1-5 CCs");
}

}  // namespace
}  // namespace velorin
