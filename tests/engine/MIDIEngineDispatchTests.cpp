// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "EngineTestSupport.hpp"

namespace velorin {
namespace {

using namespace std::chrono_literals;
using testing::EngineHarness;
using Send = testing::RecordingTransport::Send;

MIDIEvent on(std::int64_t n, std::int64_t v = 100, std::int64_t ch = 0) {
    return MIDIEvent::noteOnEvent(n, v, ch);
}
MIDIEvent off(std::int64_t n, std::int64_t ch = 0) {
    return MIDIEvent::noteOffEvent(n, 0, ch);
}

struct EngineDispatch : ::testing::Test, EngineHarness {
    void SetUp() override {
        engine->start();
        takeLines();
    }
};

TEST(MIDIEngineRegistry, LooperRowOnlyWithTheFeatureFlag) {
    using Target = AppFeatureFlags::AppTarget;
    EngineHarness beta(AppFeatureFlags::isEnabled(AppFeatureFlag::linkLooper, Target::beta));
    std::vector<std::string> ids;
    for (const auto& r : beta.engine->morphRegistrations()) ids.push_back(r.id);
    EXPECT_EQ(ids, (std::vector<std::string>{"router", "octave-layer", "midi-clock", "link-looper",
                                             "fc200-sysex"}));
    EXPECT_EQ(beta.engine->morphRegistrations()[3].inputGroups.size(), 2u);
    EXPECT_EQ(beta.engine->morphRegistrations()[3].outputGroups[1].title, "Control Outputs");

    EngineHarness production(AppFeatureFlags::isEnabled(AppFeatureFlag::linkLooper, Target::production));
    ids.clear();
    for (const auto& r : production.engine->morphRegistrations()) ids.push_back(r.id);
    EXPECT_EQ(ids, (std::vector<std::string>{"router", "octave-layer", "midi-clock", "fc200-sysex"}));
    // The FC-200 morph runs but is hidden from the window until shown.
    EXPECT_EQ(production.engine->morphPresentations().size(), 3u);
    production.engine->setShowsFC200Morph(true);
    EXPECT_EQ(production.engine->morphPresentations().size(), 4u);
    EXPECT_TRUE(production.engine->morphPresentations()[1].hasUI);
}

// Left to its default, the engine asks the feature flags of this build's lane.
TEST(MIDIEngineRegistry, DefaultFollowsThisBuildsDistributionLane) {
    EngineHarness h;
    const MIDIEngine::Dependencies deps{h.queue, h.settings, *h.log, *h.clock, *h.scheduler, h.activity};
    const bool beta = AppFeatureFlags::currentTarget() == AppFeatureFlags::AppTarget::beta;
    EXPECT_EQ(deps.linkLooperEnabled, beta);
    MIDIEngine engine(deps);
    EXPECT_EQ(engine.morphRegistrations().size(), beta ? 5u : 4u);
    EXPECT_EQ(engine.morphEngine().node("link-looper") != nullptr, beta);
}

TEST_F(EngineDispatch, UnassignedInputIsParsedAndDropped) {
    play("in-a", {0x90, 60});  // incomplete: running status stays
    EXPECT_EQ(MIDIEngineTestAccess::inputParserStateCount(*engine), 1u);
    play("in-a", {0x3C, 0x40});
    EXPECT_TRUE(transport.sent.empty());
    EXPECT_TRUE(activity.snapshot().lastInputUptime.has_value());
    EXPECT_FALSE(activity.snapshot().lastOutputUptime.has_value());
}

// Running status belongs to the input that set it: a new input's leading data
// bytes are stray bytes, not a message in another input's running status.
TEST_F(EngineDispatch, RunningStatusOfOneInputDoesNotApplyToAnotherInput) {
    for (const char* input : {"in-a", "in-b", "in-c"})
        engine->setInputAssignment(true, input, "router", "inputs");
    engine->setOutputAssignment(true, "out-a", "router", "outputs");
    play("in-a", {0x91, 60, 100});
    play("in-b", {62, 100});
    play("in-c", {0x90});  // a status alone: in-c keeps it, nothing plays
    play("in-b", {64, 100});
    play("in-a", {65, 100});
    play("in-c", {67, 100});
    EXPECT_EQ(transport.eventsTo("out-a"), (std::vector<MIDIEvent>{on(60, 100, 1), on(65, 100, 1), on(67)}));
}

// What an input keeps between packets ends when the input comes to rest or
// is forgotten, and nothing of it is used after that.
TEST_F(EngineDispatch, AnInputsKeptParserStateEndsAtRestAndWithTheInput) {
    engine->setInputAssignment(true, "in-a", "router", "inputs");
    engine->setOutputAssignment(true, "out-a", "router", "outputs");
    play("in-a", {0x90, 60, 100});
    play("in-a", {62, 100});           // the running status kept
    play("in-a", {0xF0, 0x7D, 0x01});  // a System Exclusive message cut off ...
    play("in-a", {0x02, 0xF7});        // ... and ended: at rest, no status left
    EXPECT_EQ(MIDIEngineTestAccess::inputParserStateCount(*engine), 0u);
    play("in-a", {64, 100});  // stray
    play("in-a", {0x90, 65, 100});
    engine->forgetInputState("in-a");
    play("in-a", {67, 100});  // stray: the status went with the input
    play("in-a", {0x90, 69, 100});
    std::vector<MIDIEvent> notes;
    for (const MIDIEvent& event : transport.eventsTo("out-a")) {
        if (event.type == MIDIEventType::noteOn) notes.push_back(event);
    }
    EXPECT_EQ(notes, (std::vector<MIDIEvent>{on(60), on(62), on(65), on(69)}));
}

TEST_F(EngineDispatch, EventsReachMorphsInMorphKeyOrder) {
    engine->setInputAssignment(true, "in-a", "router", "inputs");
    engine->setInputAssignment(true, "in-a", "octave-layer", "inputs");
    engine->setOutputAssignment(true, "out-a", "router", "outputs");
    engine->setOutputAssignment(true, "out-a", "octave-layer", "outputs");
    EXPECT_EQ(engine->routingRevision(), 4);
    play("in-a", {0x90, 60, 100});
    EXPECT_EQ(transport.eventsTo("out-a"), (std::vector<MIDIEvent>{on(60), on(72), on(60)}));
    EXPECT_TRUE(activity.snapshot().lastOutputUptime.has_value());
}

TEST_F(EngineDispatch, RouterLeavesOutTheOutputNamedLikeTheSource) {
    engine->setInputAssignment(true, "in-a", "router", "inputs");
    engine->setOutputAssignment(true, "out-a", "router", "outputs");
    engine->setOutputAssignment(true, "out-b", "router", "outputs");
    play("in-a", {0x90, 60, 100}, "Keys");
    EXPECT_EQ(transport.sent, (std::vector<Send>{{"out-a", on(60)}}));
    // The rule is the Router's only.
    transport.sent.clear();
    engine->setInputAssignment(true, "in-a", "octave-layer", "inputs");
    engine->setOutputAssignment(true, "out-b", "octave-layer", "outputs");
    play("in-a", {0x80, 60, 0}, "Keys");
    EXPECT_EQ(transport.eventsTo("out-b"), (std::vector<MIDIEvent>{off(60), off(72)}));
}

// Controllers' device-control SysEx switches morphs; the Router keeps it to
// itself and passes every other SysEx on.
TEST_F(EngineDispatch, RouterPassesSysExButNotDeviceControl) {
    engine->setInputAssignment(true, "in-a", "router", "inputs");
    engine->setOutputAssignment(true, "out-a", "router", "outputs");
    play("in-a", {0xF0, 0x00, 0x01, 0x7E, 0x01, 0x02, 0x00, 0x00, 0x01, 0xF7});
    EXPECT_TRUE(transport.sent.empty());
    play("in-a", {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});
    ASSERT_EQ(transport.eventsTo("out-a").size(), 1u);
    EXPECT_EQ(transport.eventsTo("out-a")[0].type, MIDIEventType::systemExclusive);
}

TEST_F(EngineDispatch, ChainedMorphReceivesWhatTheRouterSendsAndItCountsAsSent) {
    engine->setInputAssignment(true, "in-a", "router", "inputs");
    engine->setOutputAssignment(true, "morph:octave-layer", "router", "outputs");
    engine->setOutputAssignment(true, "out-c", "octave-layer", "outputs");
    play("in-a", {0x90, 60, 100});
    EXPECT_EQ(transport.eventsTo("out-c"), (std::vector<MIDIEvent>{on(60), on(72)}));
    EXPECT_TRUE(engine->morphEngine().outstandingNotes("router").contains({60, 0}));
    EXPECT_EQ(engine->morphEngine().outstandingNotes("octave-layer").size(), 2u);
    // Loops are refused by the chain rules.
    engine->setOutputAssignment(true, "morph:router", "octave-layer", "outputs");
    EXPECT_TRUE(engine->routingStore().outputDestinations("octave-layer", "outputs").count("morph:router") ==
                0);
    // Chains only from "outputs", never to oneself or to an unknown morph.
    engine->setOutputAssignment(true, "morph:fc200-sysex", "router", "control-outputs");
    engine->setOutputAssignment(true, "morph:router", "router", "outputs");
    engine->setOutputAssignment(true, "morph:nothing", "fc200-sysex", "outputs");
    EXPECT_EQ(engine->routingRevision(), 3);
}

// The whole order of sends: a morph's endpoints in inventory order (not key
// order), then what its chained morph sends.
TEST_F(EngineDispatch, SendsGoToEndpointsInInventoryOrderThenThroughTheChain) {
    engine->setEndpointInventory(std::get<MIDIEndpointInventory>(
        MIDIEndpointInventory::make({testing::input("in-a", "Keys")},
                                    {testing::output("out-c", "Drums"), testing::output("out-a", "Synth"),
                                     testing::output("out-b", "Bass")})));
    engine->setInputAssignment(true, "in-a", "router", "inputs");
    engine->setOutputAssignment(true, "out-a", "router", "outputs");
    engine->setOutputAssignment(true, "out-c", "router", "outputs");
    engine->setOutputAssignment(true, "morph:octave-layer", "router", "outputs");
    engine->setOutputAssignment(true, "out-b", "octave-layer", "outputs");
    play("in-a", {0x90, 60, 100});
    EXPECT_EQ(
        transport.sent,
        (std::vector<Send>{{"out-c", on(60)}, {"out-a", on(60)}, {"out-b", on(60)}, {"out-b", on(72)}}));
}

TEST_F(EngineDispatch, StoredCycleCannotLoop) {
    // A graph written outside the engine's rules still cannot loop.
    engine->routingStore().setOutputAssignment(true, "morph:octave-layer", "router", "outputs");
    engine->routingStore().setOutputAssignment(true, "morph:router", "octave-layer", "outputs");
    engine->setOutputAssignment(true, "out-a", "router", "outputs");
    engine->setOutputAssignment(true, "out-b", "octave-layer", "outputs");
    engine->setInputAssignment(true, "in-a", "router", "inputs");
    play("in-a", {0x90, 60, 100});
    EXPECT_EQ(transport.eventsTo("out-a"), (std::vector<MIDIEvent>{on(60)}));
    EXPECT_EQ(transport.eventsTo("out-b"), (std::vector<MIDIEvent>{on(60), on(72)}));
}

TEST_F(EngineDispatch, RemovingAnOutputSendsNoteOffsThereFirst) {
    engine->setInputAssignment(true, "in-a", "router", "inputs");
    engine->setOutputAssignment(true, "out-a", "router", "outputs");
    engine->setOutputAssignment(true, "out-b", "router", "outputs");
    play("in-a", {0x90, 60, 100, 64, 100});
    transport.sent.clear();
    engine->setOutputAssignment(false, "out-a", "router", "outputs");
    EXPECT_EQ(transport.sent, (std::vector<Send>{{"out-a", off(60)}, {"out-a", off(64)}}));
    EXPECT_EQ(engine->routingStore().outputDestinations("router", "outputs"), (RoutingKeySet{"out-b"}));
    // Unchanged requests do nothing.
    transport.sent.clear();
    const auto revision = engine->routingRevision();
    engine->setOutputAssignment(false, "out-a", "router", "outputs");
    EXPECT_TRUE(transport.sent.empty());
    EXPECT_EQ(engine->routingRevision(), revision);
}

TEST_F(EngineDispatch, RemovingAChainFeedsNoteOffsIntoTheChainedMorph) {
    engine->setInputAssignment(true, "in-a", "router", "inputs");
    engine->setOutputAssignment(true, "morph:octave-layer", "router", "outputs");
    engine->setOutputAssignment(true, "out-c", "octave-layer", "outputs");
    play("in-a", {0x90, 60, 100});
    transport.sent.clear();
    engine->setOutputAssignment(false, "morph:octave-layer", "router", "outputs");
    EXPECT_EQ(transport.eventsTo("out-c"), (std::vector<MIDIEvent>{off(60), off(72)}));
}

TEST_F(EngineDispatch, SwitchingAnOutputOffSendsItsNoteOffsAndStopsSending) {
    engine->setInputAssignment(true, "in-a", "router", "inputs");
    engine->setOutputAssignment(true, "out-a", "router", "outputs");
    engine->setOutputAssignment(true, "out-a", "octave-layer", "outputs");
    engine->setInputAssignment(true, "in-a", "octave-layer", "inputs");
    play("in-a", {0x90, 60, 100});
    transport.sent.clear();
    engine->setOutputAvailable(false, "out-a");
    EXPECT_EQ(transport.eventsTo("out-a"), (std::vector<MIDIEvent>{off(60), off(72), off(60)}));
    transport.sent.clear();
    play("in-a", {0x80, 60, 0});
    EXPECT_TRUE(transport.sent.empty());
    // Its assignments stay; switching it on routes again.
    engine->setOutputAvailable(true, "out-a");
    play("in-a", {0x90, 62, 100});
    EXPECT_EQ(transport.eventsTo("out-a").size(), 3u);
}

TEST_F(EngineDispatch, UnavailableInputParsesButDispatchesNothing) {
    engine->setInputAssignment(true, "in-a", "router", "inputs");
    engine->setOutputAssignment(true, "out-a", "router", "outputs");
    engine->setInputAvailable(false, "in-a");
    play("in-a", {0x90, 60, 100});
    EXPECT_TRUE(transport.sent.empty());
    EXPECT_FALSE(activity.snapshot().lastInputUptime.has_value());
    EXPECT_EQ(MIDIEngineTestAccess::inputParserStateCount(*engine), 1u);  // running status kept
    engine->setInputAvailable(true, "in-a");
    play("in-a", {62, 100});
    EXPECT_EQ(transport.eventsTo("out-a"), (std::vector<MIDIEvent>{on(62)}));
}

TEST_F(EngineDispatch, EachPacketFollowsTheRoutingAndInventoryOfItsTime) {
    engine->setInputAssignment(true, "in-a", "router", "inputs");
    engine->setOutputAssignment(true, "out-a", "router", "outputs");
    engine->setOutputAssignment(true, "out-c", "router", "outputs");
    play("in-a", {0x90, 60, 100});
    EXPECT_EQ(transport.sent, (std::vector<Send>{{"out-a", on(60)}, {"out-c", on(60)}}));
    // Outputs move in the inventory and one goes: the next packet goes where they are now.
    auto made =
        MIDIEndpointInventory::make({testing::input("in-a", "Keys")},
                                    {testing::output("out-x", "Extra"), testing::output("out-c", "Drums")});
    engine->setEndpointInventory(std::get<MIDIEndpointInventory>(std::move(made)));
    engine->setOutputAssignment(true, "out-x", "router", "outputs");
    transport.sent.clear();
    play("in-a", {0x90, 62, 100});
    EXPECT_EQ(transport.sent, (std::vector<Send>{{"out-x", on(62)}, {"out-c", on(62)}}));
    engine->setInputAssignment(false, "in-a", "router", "inputs");
    transport.sent.clear();
    play("in-a", {0x90, 64, 100});
    EXPECT_TRUE(transport.sent.empty());
}

TEST_F(EngineDispatch, SendEventFollowsTheSendRules) {
    EXPECT_FALSE(engine->sendEvent(on(1), RoutingKeySet{"morph:router"}));
    EXPECT_TRUE(engine->sendEvent(on(1), RoutingKeySet{"out-c", "out-a", "morph:x"}));
    EXPECT_EQ(transport.sent, (std::vector<Send>{{"out-a", on(1)}, {"out-c", on(1)}}));  // inventory order
    transport.refusing = {"out-a"};
    EXPECT_FALSE(engine->sendEvent(on(2), "out-a"));
    EXPECT_FALSE(engine->sendEvent(on(2), "unknown"));
    engine->stop();
    transport.sent.clear();
    EXPECT_FALSE(engine->sendEvent(on(3), "out-c"));
    EXPECT_TRUE(transport.sent.empty());
}

TEST_F(EngineDispatch, LogAllWritesInputAndOutputLines) {
    log->toggleLoggingAllMIDIEvents();
    engine->setInputAssignment(true, "in-a", "router", "inputs");
    engine->setOutputAssignment(true, "out-a", "router", "outputs");
    play("in-a", {0x90, 60, 100, 0xF0, 0x01, 0xF7}, "Keys");
    log->flush();
    int inputs = 0, outputs = 0, frames = 0;
    for (const auto& entry : log->entries()) {
        if (const auto* m = std::get_if<LogEntry::MIDI>(&entry.kind)) {
            (m->direction == MIDIEventLogDirection::input ? inputs : outputs)++;
            if (m->direction == MIDIEventLogDirection::input) {
                EXPECT_EQ(m->source, "Keys");
            }
        }
        if (const auto* t = std::get_if<LogEntry::TypedMessage>(&entry.kind)) {
            EXPECT_EQ(t->type, MessageType::midiIn);
            EXPECT_EQ(t->text, "SysEx 3 bytes F0 01 F7");
            ++frames;
        }
    }
    EXPECT_EQ(inputs, 2);
    EXPECT_EQ(outputs, 2);
    EXPECT_EQ(frames, 1);
}

// Log all shows what an input sends before it is routed anywhere, and nothing of
// an input switched off in the settings.
TEST_F(EngineDispatch, LogAllCoversUnroutedInputsButNotSwitchedOffOnes) {
    log->toggleLoggingAllMIDIEvents();
    engine->setInputAvailable(false, "in-b");
    play("in-a", {0x90, 60, 100, 0xF0, 0x01, 0xF7}, "Keys");
    play("in-b", {0x90, 60, 100, 0xF0, 0x02, 0xF7}, "Pads");
    log->flush();
    std::vector<std::optional<std::string>> sources;
    for (const auto& entry : log->entries()) {
        if (const auto* m = std::get_if<LogEntry::MIDI>(&entry.kind)) sources.push_back(m->source);
    }
    EXPECT_EQ(sources, (std::vector<std::optional<std::string>>{"Keys", "Keys"}));
    EXPECT_EQ(takeLines(), std::vector<std::string>{"SysEx 3 bytes F0 01 F7"});
}

// Every packet of a long message logs the whole message so far; the lines stay
// short enough that a megabyte message cannot fill memory with log text.
TEST_F(EngineDispatch, LongSysExInManyPacketsLogsBoundedLines) {
    log->toggleLoggingAllMIDIEvents();
    std::vector<MIDIRawPacket> packets;
    for (int i = 0; i < 256; ++i) {
        ByteArray bytes(256, 0x22);
        if (i == 0) bytes[0] = 0xF0;
        if (i == 255) bytes[255] = 0xF7;
        packets.push_back({std::move(bytes)});
    }
    engine->handleInput(packets, "in-a", "Keys");
    log->flush();
    std::vector<std::string> lines;
    for (const auto& entry : log->entries()) {
        if (const auto* t = std::get_if<LogEntry::TypedMessage>(&entry.kind)) lines.push_back(t->text);
    }
    ASSERT_EQ(lines.size(), 256u);
    // Up to 1024 bytes the line shows them all.
    EXPECT_EQ(lines[3].size(), std::string("SysEx partial 1024 bytes ").size() + 1024 * 3 - 1);
    EXPECT_TRUE(lines[0].starts_with("SysEx partial 256 bytes F0 22 22 "));
    EXPECT_TRUE(lines[0].ends_with(" 22 22"));
    EXPECT_EQ(lines[4].substr(0, 28), "SysEx partial 1280 bytes F0 ");
    EXPECT_TRUE(lines[4].ends_with(" 22 22 \u2026"));
    EXPECT_TRUE(lines[255].starts_with("SysEx 65536 bytes F0 22"));
    for (const auto& line : lines) EXPECT_LE(line.size(), 3200u);
}

TEST_F(EngineDispatch, PanicSendsEveryNoteOffToEveryAvailableMainOutput) {
    engine->setOutputAssignment(true, "out-a", "router", "outputs");
    engine->setOutputAssignment(true, "out-b", "octave-layer", "outputs");
    engine->setOutputAssignment(true, "out-c", "octave-layer", "outputs");
    engine->setOutputAvailable(false, "out-c");
    engine->setOutputAssignment(true, "morph:router", "octave-layer", "outputs");
    transport.sent.clear();
    engine->panic();
    EXPECT_EQ(takeLines(), (std::vector<std::string>{"[MIDI] Panic: sending all-notes-off"}));
    ASSERT_EQ(transport.sent.size(), 2u * 2048u);
    EXPECT_TRUE(transport.eventsTo("out-c").empty());
    const auto toA = transport.eventsTo("out-a");
    for (std::size_t i = 0; i < toA.size(); ++i) {
        EXPECT_EQ(toA[i], off(static_cast<std::int64_t>(i % 128), static_cast<std::int64_t>(i / 128)));
    }
    EXPECT_EQ(transport.sent[0].key, "out-a");
    EXPECT_EQ(transport.sent[1].key, "out-b");
}

TEST_F(EngineDispatch, PanicWithoutOutputsOnlyLogs) {
    engine->panic();
    EXPECT_TRUE(transport.sent.empty());
    EXPECT_EQ(takeLines(), (std::vector<std::string>{"[MIDI] Panic: sending all-notes-off"}));
}

MIDIEvent fc200(std::uint8_t control, std::uint8_t value) {
    return *makeSystemExclusive({0xF0, 0x41, 0x10, 0x72, 0x12, 0x00, control, value,
                                 static_cast<std::uint8_t>((128 - (control + value) % 128) % 128), 0xF7});
}

TEST_F(EngineDispatch, FC200OptionChangesResetLatchedPedalsThroughTheOutputs) {
    engine->setInputAssignment(true, "in-b", "fc200-sysex", "inputs");
    engine->setOutputAssignment(true, "out-c", "fc200-sysex", "outputs");
    engine->setShowsFC200Morph(true);
    engine->setFC200UpperPedalsToggleEnabled(true);
    EXPECT_EQ(takeLines(), (std::vector<std::string>{"[Morphs] FC-200 morph shown",
                                                     "[Morphs] FC-200 pedals 6-10 toggle enabled"}));
    play("in-b", fc200(6, 127).data);
    EXPECT_EQ(transport.eventsTo("out-c"), (std::vector<MIDIEvent>{MIDIEvent::ccEvent(70, 127, 14)}));
    transport.sent.clear();
    // Sharing changes while toggling: zeros on the old numbers first.
    engine->setFC200UpperPedalsShareLowerCCsEnabled(true);
    EXPECT_EQ(transport.eventsTo("out-c"), (std::vector<MIDIEvent>{MIDIEvent::ccEvent(70, 0, 14)}));
    EXPECT_EQ(takeLines(),
              (std::vector<std::string>{"[Morphs] FC-200 pedals 6-10 share pedals 1-5 CCs enabled"}));
    play("in-b", fc200(7, 127).data);
    transport.sent.clear();
    engine->setShowsFC200Morph(false);
    EXPECT_EQ(transport.eventsTo("out-c"), (std::vector<MIDIEvent>{MIDIEvent::ccEvent(66, 0, 14)}));
    EXPECT_EQ(takeLines(), (std::vector<std::string>{"[Morphs] FC-200 morph hidden"}));
    engine->setShowsFC200Morph(false);  // unchanged: nothing
    EXPECT_TRUE(takeLines().empty());
    play("in-b", fc200(7, 127).data);
    transport.sent.clear();
    engine->setFC200UpperPedalsToggleEnabled(false);
    EXPECT_EQ(transport.eventsTo("out-c"), (std::vector<MIDIEvent>{MIDIEvent::ccEvent(66, 0, 14)}));
    EXPECT_EQ(takeLines(), (std::vector<std::string>{"[Morphs] FC-200 pedals 6-10 toggle disabled"}));
    EXPECT_FALSE(settings.boolValue("fc200TogglesUpperPedals").value());
}

TEST_F(EngineDispatch, MorphLogLinesFollowTheLogAllRule) {
    engine->setInputAssignment(true, "in-a", "octave-layer", "inputs");
    play("in-a", {0xF0, 0x00, 0x01, 0x7E, 0x01, 0x02, 0x03, 0x00, 0x7F, 0xF7});
    EXPECT_TRUE(takeLines().empty());  // Octave Layer chatter only while logging all
    EXPECT_TRUE(engine->octaveLayerSettings()->isEnabled(OctaveLayerKind::plusTwo));
    engine->setLinkLooper(0, true);  // the looper's lines are always written
    EXPECT_EQ(takeLines(),
              (std::vector<std::string>{"Looper 1 cannot turn ON until Link transport is running"}));
}

TEST_F(EngineDispatch, OpenMorphUIPresentsRegisteredPanelsOnly) {
    int notified = 0;
    auto sub = engine->observe([&] { ++notified; });
    engine->openMorphUI("router");
    EXPECT_FALSE(engine->presentedMorphUI());
    engine->openMorphUI("octave-layer");
    engine->openMorphUI("octave-layer");
    EXPECT_EQ(engine->presentedMorphUI(), MorphUIRoute::octaveLayer);
    EXPECT_EQ(notified, 1);
    engine->openMorphUI("link-looper");
    EXPECT_EQ(rawValue(*engine->presentedMorphUI()), "linkLooper");
}

TEST_F(EngineDispatch, StopSilencesClearsAndResets) {
    engine->setInputAssignment(true, "in-a", "router", "inputs");
    engine->setOutputAssignment(true, "out-a", "router", "outputs");
    play("in-a", {0xF0, 0x01});  // unfinished SysEx
    EXPECT_EQ(MIDIEngineTestAccess::inputParserStateCount(*engine), 1u);
    engine->scheduler().schedule(
        ScheduledMIDIEvent{on(1), 10, "router", "outputs", std::nullopt, std::nullopt});
    transport.sent.clear();
    engine->stop();
    const auto lines = takeLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "[MIDI] Stopping: sending all-notes-off and clearing scheduled events");
    EXPECT_EQ(lines[1], "[MIDI] Panic: sending all-notes-off");
    EXPECT_EQ(lines[2], "[MIDI] Stopped");
    EXPECT_EQ(transport.sent.size(), 2048u);
    EXPECT_EQ(engine->scheduler().pendingCount(), 0u);
    EXPECT_EQ(MIDIEngineTestAccess::inputParserStateCount(*engine), 0u);
    engine->stop();
    EXPECT_TRUE(takeLines().empty());
}

TEST(MIDIEngineStartup, StartLogsSummaryAndMorphLines) {
    EngineHarness h;
    h.engine->start();
    EXPECT_EQ(h.takeLines(),
              (std::vector<std::string>{
                  "[MIDI] Inputs: 2, Outputs: 3",
                  "Controlled by Velorin SysEx",  // Link Looper's; Octave Layer's only with log all
                  "translating Roland FC-200 SysEx controls to channel 15 CC64+; pedals 1-10 use "
                  "CC64-73, expression uses CC77; pedals 6-10 toggle when enabled and can share "
                  "pedals 1-5 CCs"}));
}

TEST(MIDIEngineStartup, StartStopStartWithinTwoSecondsGivesOneSnapshot) {
    EngineHarness h;
    h.engine->setOutputAssignment(true, "out-c", "link-looper", "control-outputs");
    h.engine->start();
    h.queue.advance(1s);
    h.engine->stop();
    h.queue.advance(500ms);
    h.engine->start();
    h.queue.advance(1999ms);
    EXPECT_TRUE(h.transport.eventsTo("out-c").empty());
    h.queue.advance(1ms);
    const auto snapshot = h.transport.eventsTo("out-c");
    ASSERT_EQ(snapshot.size(), 13u);
    EXPECT_EQ(snapshot[1].data, (ByteArray{0xF0, 0x00, 0x01, 0x7E, 0x01, 0x01, 0x00, 0x01, 0x60, 0xF7}));
    h.queue.advance(10s);
    EXPECT_EQ(h.transport.eventsTo("out-c").size(), 13u);
}

TEST(MIDIEngineStartup, StopWithinTwoSecondsGivesNoSnapshot) {
    EngineHarness h;
    h.engine->setOutputAssignment(true, "out-c", "link-looper", "control-outputs");
    h.engine->start();
    h.queue.advance(1s);
    h.engine->stop();
    h.queue.advance(5s);
    EXPECT_TRUE(h.transport.eventsTo("out-c").empty());
}

}  // namespace
}  // namespace velorin
