// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "morphs/MorphEngine.hpp"

using namespace velorin;

namespace {

// A morph that answers with prepared actions and records what it was given.
class ScriptedMorph : public Morph {
public:
    MorphActions processResult;
    MorphActions resetResult;
    MorphActions snapshotResult;
    std::vector<std::string> seenInputGroups;
    std::vector<MIDIEvent> seenEvents;
    int resetCalls = 0;

    void process(const MIDIEvent& event, const MorphContext& context, MorphActions& out) override {
        seenEvents.push_back(event);
        seenInputGroups.emplace_back(context.inputGroupKey.value_or("<none>"));
        out.insert(out.end(), processResult.begin(), processResult.end());
    }
    void reset(MorphActions& out) override {
        ++resetCalls;
        out.insert(out.end(), resetResult.begin(), resetResult.end());
    }
    void startupSnapshot(const MorphContext&, MorphActions& out) override {
        out.insert(out.end(), snapshotResult.begin(), snapshotResult.end());
    }
};

// A morph with every optional capability.
class CapableMorph final : public ScriptedMorph,
                           public MorphSentEventObserver,
                           public MorphScheduledEventProcessor,
                           public MorphLooperControl {
public:
    std::vector<std::pair<MIDIEvent, std::string>> sent;
    std::optional<MIDIEvent> preparedAnswer;
    std::vector<std::int64_t> controls;

    void didSendEvent(const MIDIEvent& event, std::string_view key) override {
        sent.emplace_back(event, key);
    }
    std::optional<MIDIEvent> prepareScheduledEvent(const MIDIEvent&, std::string_view) override {
        return preparedAnswer;
    }
    void applyLooperControl(std::int64_t target, std::int64_t value, std::int64_t parameter,
                            const MorphContext&, MorphActions& out) override {
        controls.insert(controls.end(), {target, value, parameter});
        out.push_back(MorphAction::send(MIDIEvent::ccEvent(target, value, parameter)));
    }
};

MorphAction note(std::int64_t n) {
    return MorphAction::send(MIDIEvent::noteOnEvent(n, 100, 0));
}

MorphAction noteOffAction(std::int64_t n, std::int64_t channel) {
    return MorphAction::send(MIDIEvent::noteOffEvent(n, 0, channel));
}

}  // namespace

TEST(MorphEngine, ProcessPairsActionsWithTheMorphIdAndReplacesTheInputGroup) {
    auto a = std::make_shared<ScriptedMorph>();
    a->processResult = {note(1), note(2)};
    MorphEngine engine({{"a", a}});
    MorphContext ctx;
    ctx.inputGroupKey = "something-else";
    auto out = engine.process("a", "control-inputs", MIDIEvent::ccEvent(1, 2, 3), ctx);
    EXPECT_EQ(out, (MorphOutputs{{note(1), "a"}, {note(2), "a"}}));
    EXPECT_EQ(a->seenInputGroups, std::vector<std::string>{"control-inputs"});
}

TEST(MorphEngine, OutputsAreAppendedToTheCallersVector) {
    auto a = std::make_shared<ScriptedMorph>();
    a->processResult = {note(1)};
    MorphEngine engine({{"a", a}});
    MorphOutputs out;
    engine.process("a", "inputs", MIDIEvent::ccEvent(1, 2, 3), {}, out);
    engine.process("a", "inputs", MIDIEvent::ccEvent(1, 2, 3), {}, out);
    EXPECT_EQ(out.size(), 2u);
}

TEST(MorphEngine, UnknownIdsGiveEmptyResultsEverywhere) {
    auto a = std::make_shared<CapableMorph>();
    a->processResult = {note(1)};
    MorphEngine engine({{"a", a}});
    EXPECT_TRUE(engine.process("b", "inputs", MIDIEvent::noteOnEvent(1, 1, 0), {}).empty());
    EXPECT_TRUE(engine.reset("b").empty());
    EXPECT_TRUE(engine.outstandingNotes("b").empty());
    EXPECT_TRUE(engine.applyLooperControl("b", 1, 2, 3, {}).empty());
    engine.recordSentEvent(MIDIEvent::noteOnEvent(1, 1, 0), "b", "key");
    EXPECT_TRUE(a->sent.empty());
    ScheduledMIDIEvent s{MIDIEvent::noteOnEvent(5, 5, 5), 1, "b", "outputs", "key", std::nullopt};
    EXPECT_EQ(engine.prepareScheduledEvent(s), s.event);
}

TEST(MorphEngine, FirstNodeWithAnIdWins) {
    auto first = std::make_shared<ScriptedMorph>();
    auto second = std::make_shared<ScriptedMorph>();
    MorphEngine engine({{"x", first}, {"x", second}});
    engine.process("x", "inputs", MIDIEvent::noteOnEvent(1, 1, 0), {});
    EXPECT_EQ(first->seenEvents.size(), 1u);
    EXPECT_TRUE(second->seenEvents.empty());
}

TEST(MorphEngineOutstandingNotes, SetHoldsIdentitiesNotCounts) {
    auto a = std::make_shared<ScriptedMorph>();
    MorphEngine engine({{"a", a}});
    engine.recordSentEvent(MIDIEvent::noteOnEvent(60, 100, 2), "a", std::nullopt);
    engine.recordSentEvent(MIDIEvent::noteOnEvent(60, 90, 2), "a", std::nullopt);
    engine.recordSentEvent(MIDIEvent::noteOnEvent(61, 90, 2), "a", std::nullopt);
    EXPECT_EQ(engine.outstandingNotes("a"), (std::unordered_set<MIDINoteIdentity>{{60, 2}, {61, 2}}));
    engine.recordSentEvent(MIDIEvent::noteOffEvent(60, 0, 2), "a", std::nullopt);
    EXPECT_EQ(engine.outstandingNotes("a"), (std::unordered_set<MIDINoteIdentity>{{61, 2}}));
    engine.recordSentEvent(MIDIEvent::noteOnEvent(61, 0, 2), "a", std::nullopt);  // velocity 0 is an off
    EXPECT_TRUE(engine.outstandingNotes("a").empty());
}

TEST(MorphEngineOutstandingNotes, NegativeVelocityRemovesAndOtherTypesLeaveTheSetAlone) {
    auto a = std::make_shared<ScriptedMorph>();
    MorphEngine engine({{"a", a}});
    engine.recordSentEvent(MIDIEvent::noteOnEvent(60, 100, 0), "a", std::nullopt);
    engine.recordSentEvent(MIDIEvent::ccEvent(60, 0, 0), "a", std::nullopt);
    engine.recordSentEvent(MIDIEvent{MIDIEventType::polyPressure, 60, 0, 0, 0, {}}, "a", std::nullopt);
    EXPECT_EQ(engine.outstandingNotes("a").size(), 1u);
    engine.recordSentEvent(MIDIEvent::noteOnEvent(60, -5, 0), "a", std::nullopt);
    EXPECT_TRUE(engine.outstandingNotes("a").empty());
}

TEST(MorphEngineOutstandingNotes, OutOfRangeIdentitiesAreKeptToo) {
    auto a = std::make_shared<ScriptedMorph>();
    MorphEngine engine({{"a", a}});
    engine.recordSentEvent(MIDIEvent::noteOnEvent(200, 1, 0), "a", std::nullopt);
    engine.recordSentEvent(MIDIEvent::noteOnEvent(5, 1, 16), "a", std::nullopt);
    engine.recordSentEvent(MIDIEvent::noteOnEvent(-1, 1, -1), "a", std::nullopt);
    engine.recordSentEvent(MIDIEvent::noteOnEvent(127, 1, 15), "a", std::nullopt);
    // Extreme identities (a morph's arithmetic gone wrong) are hashed without overflow.
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    engine.recordSentEvent(MIDIEvent::noteOnEvent(kMax, 1, kMax), "a", std::nullopt);
    engine.recordSentEvent(MIDIEvent::noteOnEvent(kMin, 1, kMin), "a", std::nullopt);
    EXPECT_EQ(engine.outstandingNotes("a"),
              (std::unordered_set<MIDINoteIdentity>{
                  {200, 0}, {5, 16}, {-1, -1}, {127, 15}, {kMax, kMax}, {kMin, kMin}}));
    engine.recordSentEvent(MIDIEvent::noteOffEvent(200, 0, 0), "a", std::nullopt);
    EXPECT_EQ(engine.outstandingNotes("a").size(), 5u);
    // Note 128 on channel 0 is not note 0 on channel 1.
    engine.recordSentEvent(MIDIEvent::noteOnEvent(128, 1, 0), "a", std::nullopt);
    EXPECT_TRUE(engine.outstandingNotes("a").contains({128, 0}));
    EXPECT_FALSE(engine.outstandingNotes("a").contains({0, 1}));
}

TEST(MorphEngineOutstandingNotes, MorphReturningNothingLeavesThemUnchanged) {
    auto a = std::make_shared<ScriptedMorph>();
    MorphEngine engine({{"a", a}});
    engine.recordSentEvent(MIDIEvent::noteOnEvent(60, 100, 0), "a", std::nullopt);
    EXPECT_TRUE(engine.process("a", "inputs", MIDIEvent::noteOffEvent(60, 0, 0), {}).empty());
    EXPECT_EQ(engine.outstandingNotes("a").size(), 1u);
}

TEST(MorphEngineReset, ResetAllGivesNoteOffsOfEveryNodeFirstThenResetActions) {
    auto a = std::make_shared<ScriptedMorph>();
    auto b = std::make_shared<ScriptedMorph>();
    a->resetResult = {note(10)};
    b->resetResult = {note(11)};
    MorphEngine engine({{"a", a}, {"b", b}});
    engine.recordSentEvent(MIDIEvent::noteOnEvent(60, 100, 3), "a", std::nullopt);
    engine.recordSentEvent(MIDIEvent::noteOnEvent(61, 100, 4), "b", std::nullopt);
    auto out = engine.resetAll();
    EXPECT_EQ(out, (MorphActions{noteOffAction(60, 3), noteOffAction(61, 4), note(10), note(11)}));
    EXPECT_EQ(out[0].outputGroupKey, "outputs");
    EXPECT_FALSE(out[0].beat);
    // The outstanding sets are left as they are.
    EXPECT_EQ(engine.outstandingNotes("a").size(), 1u);
    EXPECT_EQ(engine.reset("b"), MorphActions{note(11)});
}

TEST(MorphEngineCapabilities, SentEventObserverHearsOnlyKeyedSends) {
    auto a = std::make_shared<CapableMorph>();
    auto plain = std::make_shared<ScriptedMorph>();
    MorphEngine engine({{"a", a}, {"p", plain}});
    engine.recordSentEvent(MIDIEvent::noteOnEvent(1, 1, 0), "a", std::nullopt);
    engine.recordSentEvent(MIDIEvent::noteOnEvent(2, 1, 0), "a", "looper-1");
    engine.recordSentEvent(MIDIEvent::noteOnEvent(3, 1, 0), "p", "looper-1");
    ASSERT_EQ(a->sent.size(), 1u);
    EXPECT_EQ(a->sent[0].first.note, 2);
    EXPECT_EQ(a->sent[0].second, "looper-1");
}

TEST(MorphEngineCapabilities, ScheduledEventProcessorIsAskedOnlyWithAKey) {
    auto a = std::make_shared<CapableMorph>();
    a->preparedAnswer = std::nullopt;
    MorphEngine engine({{"a", a}});
    ScheduledMIDIEvent keyed{MIDIEvent::noteOnEvent(5, 5, 5), 1, "a", "outputs", "looper-2", std::nullopt};
    EXPECT_FALSE(engine.prepareScheduledEvent(keyed));
    a->preparedAnswer = MIDIEvent::noteOnEvent(6, 6, 6);
    EXPECT_EQ(engine.prepareScheduledEvent(keyed), a->preparedAnswer);
    ScheduledMIDIEvent unkeyed = keyed;
    unkeyed.cancellationKey.reset();
    EXPECT_EQ(engine.prepareScheduledEvent(unkeyed), unkeyed.event);
}

TEST(MorphEngineCapabilities, LooperControlReachesOnlyMorphsThatTakeIt) {
    auto a = std::make_shared<CapableMorph>();
    auto plain = std::make_shared<ScriptedMorph>();
    MorphEngine engine({{"link-looper", a}, {"router", plain}});
    auto out = engine.applyLooperControl("link-looper", 1, 2, 3, {});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].morphID, "link-looper");
    EXPECT_EQ(a->controls, (std::vector<std::int64_t>{1, 2, 3}));
    EXPECT_TRUE(engine.applyLooperControl("router", 1, 2, 3, {}).empty());
}

TEST(MorphEngine, StartupSnapshotInNodeOrder) {
    auto a = std::make_shared<ScriptedMorph>();
    auto b = std::make_shared<ScriptedMorph>();
    a->snapshotResult = {note(1)};
    b->snapshotResult = {note(2), note(3)};
    MorphEngine engine({{"a", a}, {"b", b}});
    EXPECT_EQ(engine.startupSnapshot({}), (MorphOutputs{{note(1), "a"}, {note(2), "b"}, {note(3), "b"}}));
}
