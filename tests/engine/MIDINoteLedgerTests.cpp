// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "engine/MIDINoteLedger.hpp"

namespace velorin {
namespace {

TEST(MIDINoteLedger, TakingOneDeliverysNotesLeavesTheOthersHeld) {
    MIDINoteLedger ledger;
    const std::vector<RoutingInputDelivery> deliveries{{"router", "inputs"}, {"octave-layer", "inputs"}};
    const std::vector<MIDIEvent> events{MIDIEvent::noteOnEvent(60, 100, 0),
                                        MIDIEvent::noteOnEvent(64, 100, 0),
                                        MIDIEvent::noteOnEvent(64, 0, 0)};  // velocity 0 ends 64
    ledger.trackHeldNotes("in-a", "Keys", events, deliveries);
    EXPECT_EQ(ledger.heldNoteCount("in-a"), 2u);

    std::optional<std::string> source;
    const auto taken = ledger.takeHeldNotes("in-a", "router", "inputs", source);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].morphKey, "router");
    EXPECT_EQ(taken[0].notes, (std::vector<MIDINoteIdentity>{{60, 0}}));
    EXPECT_EQ(source, "Keys");
    EXPECT_EQ(ledger.heldNoteCount("in-a"), 1u);
}

TEST(MIDINoteLedger, AnInputForgottenOrClearedStartsAgainFromNothing) {
    MIDINoteLedger ledger;
    const std::vector<RoutingInputDelivery> deliveries{{"router", "inputs"}};
    const std::vector<MIDIEvent> on60{MIDIEvent::noteOnEvent(60, 100, 0)};
    const std::vector<MIDIEvent> on62{MIDIEvent::noteOnEvent(62, 100, 0)};
    ledger.trackHeldNotes("in-b", "Pads", on60, deliveries);
    ledger.trackHeldNotes("in-a", "Keys", on60, deliveries);
    ledger.forgetInput("in-a");
    ledger.trackHeldNotes("in-a", "Keys", on62, deliveries);
    EXPECT_EQ(ledger.heldNoteCount("in-a"), 1u);
    EXPECT_EQ(ledger.heldNoteCount("in-b"), 1u);
    ledger.clear();
    ledger.trackHeldNotes("in-a", "Keys", on60, deliveries);
    std::optional<std::string> source;
    const auto taken = ledger.takeHeldNotes("in-a", std::nullopt, std::nullopt, source);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].notes, (std::vector<MIDINoteIdentity>{{60, 0}}));
    EXPECT_EQ(ledger.heldNoteCount("in-b"), 0u);
}

TEST(MIDINoteLedger, ScheduledNotesAreTakenOnceAndEndedByAnyGroupOfTheirMorph) {
    MIDINoteLedger ledger;
    const ScheduledMIDIEvent loop{
        MIDIEvent::noteOnEvent(60, 100, 0), 4.0, "link-looper", "outputs", "l1", 4.0};
    ledger.noteScheduledNoteOn(2, loop, loop.event);
    ledger.noteScheduledNoteOn(2, loop, MIDIEvent::noteOnEvent(62, 100, 0));
    ledger.forgetScheduledNote(2, MIDIEvent::noteOffEvent(62, 0, 0));
    const auto sounding = ledger.takeScheduledSounding();
    ASSERT_EQ(sounding.size(), 1u);
    EXPECT_EQ(sounding[0].notes.size(), 1u);
    EXPECT_TRUE(ledger.takeScheduledSounding().empty());
}

}  // namespace
}  // namespace velorin
