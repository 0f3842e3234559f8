// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <set>
#include <tuple>

#include "EngineTestSupport.hpp"

namespace velorin {
namespace {

using testing::EngineHarness;

MIDIEvent off(std::int64_t n) {
    return MIDIEvent::noteOffEvent(n, 0, 0);
}

// An input that stops reaching a morph while it holds notes has them ended on
// the morph's outputs, as if the player had let go: octave copies included,
// whether the input is switched off, unassigned or gone from the system.
TEST(HeldInputNotes, EndWhenTheInputStopsReachingTheMorph) {
    using Edit = std::function<void(EngineHarness&)>;
    const std::vector<std::pair<std::string, Edit>> edits = {
        {"switched off", [](EngineHarness& h) { h.engine->setInputAvailable(false, "in-a"); }},
        {"unassigned from the layer",
         [](EngineHarness& h) { h.engine->setInputAssignment(false, "in-a", "octave-layer", "inputs"); }},
        {"gone from the inventory",
         [](EngineHarness& h) {
             h.engine->setEndpointInventory(std::get<MIDIEndpointInventory>(MIDIEndpointInventory::make(
                 {testing::input("in-b", "Pads")},
                 {testing::output("out-a", "Synth"), testing::output("out-b", "Keys")})));
         }},
    };
    for (const auto& [name, edit] : edits) {
        SCOPED_TRACE(name);
        EngineHarness h;
        h.engine->start();
        // in-a also reaches two morphs with nowhere to send: one entry per delivery is kept.
        h.engine->setInputAssignment(true, "in-a", "router", "inputs");
        h.engine->setInputAssignment(true, "in-a", "fc200-sysex", "inputs");
        h.engine->setInputAssignment(true, "in-a", "octave-layer", "inputs");
        h.engine->setOutputAssignment(true, "out-a", "octave-layer", "outputs");
        h.engine->setInputAssignment(true, "in-b", "octave-layer", "inputs");
        h.play("in-a", {0x90, 60, 100});
        h.play("in-b", {0x90, 64, 100});
        h.play("in-a", {0x90, 62, 100});
        h.play("in-a", {0x80, 62, 0});
        h.transport.sent.clear();

        edit(h);
        // 60 and its +1 octave copy end; 62 was already let go; in-b keeps 64.
        EXPECT_EQ(h.transport.eventsTo("out-a"), (std::vector<MIDIEvent>{off(60), off(72)}));
        // Unassigned from one morph, in-a still holds 60 through the other two.
        EXPECT_EQ(MIDIEngineTestAccess::heldInputNoteCount(*h.engine, "in-a"),
                  name.starts_with("unassigned") ? 2u : 0u);
        if (h.engine->endpointInventory().inputIndex("in-a")) {
            h.play("in-a", {0x80, 60, 0});  // the late release reaches nothing now
            EXPECT_EQ(h.transport.sent.size(), 2u);
        }
    }
}

// A one-note loop recorded on the Link Looper and playing: 60 sounds from
// beat 100 for 2 beats, every 8; the output's log is empty again.
void startLoopNoteSounding(EngineHarness& h) {
    h.engine->setInputAssignment(true, "in-a", "link-looper", "inputs");
    h.engine->setOutputAssignment(true, "out-a", "link-looper", "outputs");
    h.runTransportAt(90);
    h.engine->start();
    h.advanceToBeat(92.0);
    h.play("in-a", {0x90, 60, 100});
    h.advanceToBeat(94.0);
    h.play("in-a", {0x80, 60, 0});
    h.advanceToBeat(98.0);
    h.engine->setLinkLooper(0, true);
    h.advanceToBeat(100.5);
    ASSERT_EQ(h.transport.eventsTo("out-a").size(), 1u);
    h.transport.sent.clear();
}

// Loop notes sounding when the transport stops end at once and do not leave
// again when it runs on; the loop itself stays queued.
TEST(ScheduledNotes, EndAtTheStopEdgeAndAreNotSentAgain) {
    EngineHarness h;
    startLoopNoteSounding(h);
    if (::testing::Test::HasFatalFailure()) return;

    h.clock->setPlaying(false);
    h.queue.advance(std::chrono::milliseconds(20));
    EXPECT_EQ(h.transport.eventsTo("out-a"), std::vector<MIDIEvent>{off(60)});
    const std::size_t pending = h.scheduler->pendingCount();
    EXPECT_EQ(pending, 2u);

    h.transport.sent.clear();
    h.clock->setPlaying(true);  // the note-off still queued for 102 is dropped: 60 no longer sounds
    h.advanceToBeat(103.0);
    for (const auto& e : h.transport.eventsTo("out-a")) EXPECT_NE(e.type, MIDIEventType::noteOff);
}

// The scheduler is polled only while it has work; a note a scheduled event
// left sounding is work too, even with nothing queued.
TEST(ScheduledNotes, ASoundingNoteEndsAtTheStopEdgeWithNothingQueued) {
    EngineHarness h;
    startLoopNoteSounding(h);
    if (::testing::Test::HasFatalFailure()) return;
    h.scheduler->removeAllEvents();
    h.queue.advance(std::chrono::milliseconds(50));

    h.clock->setPlaying(false);
    h.queue.advance(std::chrono::milliseconds(20));
    EXPECT_EQ(h.transport.eventsTo("out-a"), std::vector<MIDIEvent>{off(60)});
}

// The timeline moving back while a loop plays: the sounding note ends at once
// and the loop goes on from the new beat at the same phase.
TEST(ScheduledNotes, ABackwardJumpEndsLoopNotesAndKeepsTheLoopPlaying) {
    EngineHarness h;
    h.engine->setInputAssignment(true, "in-a", "link-looper", "inputs");
    h.engine->setOutputAssignment(true, "out-a", "link-looper", "outputs");
    h.runTransportAt(90);
    h.engine->start();
    h.transport.stamp = [&h] { return h.session->beatNow(); };
    h.advanceToBeat(92.0);
    h.play("in-a", {0x90, 60, 100});
    h.advanceToBeat(94.0);
    h.play("in-a", {0x80, 60, 0});
    h.advanceToBeat(98.0);
    h.engine->setLinkLooper(0, true);
    h.advanceToBeat(100.5);  // 60 sounds (100 → 102)
    h.transport.sent.clear();
    h.transport.stamps.clear();

    h.session->jumpToBeat(2.5);  // a peer moves the session back
    h.queue.advance(std::chrono::milliseconds(10));
    ASSERT_FALSE(h.transport.sent.empty());
    EXPECT_EQ(h.transport.sent[0].event.type, MIDIEventType::noteOff);
    EXPECT_EQ(h.transport.sent[0].event.note, 60);
    EXPECT_LT(h.transport.stamps[0], 2.6);
    // The loop's phase is kept: the note came at 100 ≡ 4 (mod 8), so it starts again on beat 4.
    h.transport.sent.clear();
    h.transport.stamps.clear();
    h.advanceToBeat(4.5);
    ASSERT_EQ(h.transport.sent.size(), 1u);
    EXPECT_EQ(h.transport.sent[0].event.type, MIDIEventType::noteOn);
    EXPECT_NEAR(h.transport.stamps[0], 4.0, 0.02);
}

// Random note traffic interleaved with every edit that could strand a note:
// unrouting inputs and outputs, switching endpoints off, inputs leaving the
// system, chaining and unchaining morphs, hiding and reconfiguring the FC-200
// morph, octave layer changes, loopers switching on, off and muting, and the
// Link side moving under them — transport stop and start, Link off and on,
// timeline resets and peers moving the beat. Stop and panic would end every
// note, so the check is made before either, at quiet moments: once every
// input has let go and the loops are silenced (switched off, or the
// transport stopped) and the longest loop has passed, every note switched on
// at an output has been switched off there.
class NoStuckNotes : public ::testing::TestWithParam<unsigned> {};

const std::vector<std::string> kInputs = {"in-a", "in-b"};
const std::vector<std::string> kOutputs = {"out-a", "out-b", "out-c"};
const std::vector<std::string> kMorphs = {"router", "octave-layer", "link-looper", "fc200-sysex"};

MIDIEndpointInventory inventoryWith(bool withPads) {
    std::vector<MIDIInputEndpointRegistration> inputs{testing::input("in-a", "Keys In")};
    if (withPads) inputs.push_back(testing::input("in-b", "Pads In"));
    // Distinct titles: the Router's same-name rule plays no part here.
    return std::get<MIDIEndpointInventory>(MIDIEndpointInventory::make(
        inputs, {testing::output("out-a", "Synth"), testing::output("out-b", "Piano"),
                 testing::output("out-c", "Drums")}));
}

// Notes switched on and not off, per (output, note, channel), over every send so far.
std::vector<std::string> stuckNotes(const testing::RecordingTransport& transport,
                                    std::size_t* noteOns = nullptr) {
    std::map<std::tuple<std::string, std::int64_t, std::int64_t>, bool> sounding;
    for (const auto& send : transport.sent) {
        const auto& e = send.event;
        if (e.type == MIDIEventType::noteOn && e.velocity > 0) {
            sounding[{send.key, e.note, e.channel}] = true;
            if (noteOns) ++*noteOns;
        } else if (e.type == MIDIEventType::noteOff || e.type == MIDIEventType::noteOn) {
            sounding[{send.key, e.note, e.channel}] = false;
        }
    }
    std::vector<std::string> stuck;
    for (const auto& [identity, isOn] : sounding) {
        if (isOn) {
            stuck.push_back(std::get<0>(identity) + " note " + std::to_string(std::get<1>(identity)) +
                            " channel " + std::to_string(std::get<2>(identity)));
        }
    }
    return stuck;
}

TEST_P(NoStuckNotes, AtEveryQuietMomentEveryNoteSwitchedOnIsSwitchedOff) {
    std::mt19937 rng(GetParam());
    auto pick = [&rng](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
    auto chance = [&rng](double p) { return std::bernoulli_distribution(p)(rng); };

    EngineHarness h;
    bool padsPresent = true;
    h.engine->setEndpointInventory(inventoryWith(padsPresent));
    h.runTransportAt(0);
    h.engine->start();
    h.engine->setInputAssignment(true, "in-a", "router", "inputs");
    h.engine->setOutputAssignment(true, "out-a", "router", "outputs");

    std::set<std::tuple<std::string, std::int64_t, std::uint8_t>> held;  // keys down: (input, note, channel)
    auto quietDown = [&](int step) {
        for (const auto& [in, note, channel] : held) {
            h.play(in, {static_cast<std::uint8_t>(0x80 | channel), static_cast<std::uint8_t>(note), 0});
        }
        held.clear();
        const bool stopTransport = chance(0.5);
        if (stopTransport) {
            h.clock->setPlaying(false);
        } else {
            for (int looper = 0; looper < 4; ++looper) h.engine->setLinkLooper(looper, false);
        }
        // The longest loop is 64 beats: 32 s at 120 BPM.
        for (int i = 0; i < 34; ++i) h.queue.advance(std::chrono::seconds(1));
        const auto stuck = stuckNotes(h.transport);
        EXPECT_TRUE(stuck.empty()) << "at step " << step
                                   << (stopTransport ? " (transport stopped)" : " (loopers off)")
                                   << ", first stuck: " << stuck.front();
        if (stopTransport) h.clock->setPlaying(true);
        return stuck.empty();
    };

    for (int step = 0; step < 800; ++step) {
        const double r = std::uniform_real_distribution<double>(0, 100)(rng);
        std::string in = kInputs[pick(kInputs.size())];
        if (in == "in-b" && !padsPresent) in = "in-a";
        const std::string& out = kOutputs[pick(kOutputs.size())];
        const std::string& morph = kMorphs[pick(kMorphs.size())];
        if (r < 34) {
            const std::int64_t note = 52 + static_cast<std::int64_t>(pick(16));
            const auto channel = static_cast<std::uint8_t>(pick(2));
            const auto key = std::make_tuple(in, note, channel);
            if (held.contains(key) && chance(0.8)) {
                const bool asVelocityZero = chance(0.3);
                h.play(in, {static_cast<std::uint8_t>((asVelocityZero ? 0x90 : 0x80) | channel),
                            static_cast<std::uint8_t>(note), 0});
                held.erase(key);
            } else {
                h.play(in, {static_cast<std::uint8_t>(0x90 | channel), static_cast<std::uint8_t>(note),
                            static_cast<std::uint8_t>(1 + pick(127))});
                held.insert(key);
            }
        } else if (r < 37) {
            const auto control = static_cast<std::uint8_t>(pick(14));
            const std::uint8_t value = chance(0.5) ? 127 : 0;
            h.play(in, {0xF0, 0x41, 0x10, 0x72, 0x12, 0x00, control, value,
                        static_cast<std::uint8_t>((128 - (control + value) % 128) % 128), 0xF7});
        } else if (r < 45) {
            const bool control = morph == "link-looper" && chance(0.4);
            h.engine->setInputAssignment(chance(0.6), in, morph, control ? "control-inputs" : "inputs");
        } else if (r < 56) {
            if (chance(0.25)) {
                h.engine->setOutputAssignment(chance(0.5), "morph:" + kMorphs[pick(kMorphs.size())], morph,
                                              "outputs");
            } else {
                const bool control = morph == "link-looper" && chance(0.2);
                h.engine->setOutputAssignment(chance(0.6), out, morph,
                                              control ? "control-outputs" : "outputs");
            }
        } else if (r < 61) {
            h.engine->setOutputAvailable(chance(0.6), out);
        } else if (r < 64) {
            h.engine->setInputAvailable(chance(0.7), in);
        } else if (r < 66) {
            // The pads are unplugged (their keys come up with them) or plugged back in.
            padsPresent = !padsPresent;
            if (!padsPresent) std::erase_if(held, [](const auto& k) { return std::get<0>(k) == "in-b"; });
            h.engine->setEndpointInventory(inventoryWith(padsPresent));
        } else if (r < 71) {
            const auto kind = *octaveLayerKind(static_cast<std::int64_t>(pick(4)));
            if (chance(0.5)) {
                h.engine->octaveLayerSettings()->toggle(kind);
            } else {
                h.play(in, {0xF0, 0x00, 0x01, 0x7E, 0x01, 0x02, static_cast<std::uint8_t>(kind), 0x00,
                            static_cast<std::uint8_t>(chance(0.5) ? 0x7F : 0x00), 0xF7});
            }
        } else if (r < 79) {
            h.engine->setLinkLooper(static_cast<int>(pick(4)), chance(0.6));
        } else if (r < 81) {
            const auto looper = static_cast<int>(pick(4));
            if (chance(0.5)) {
                h.engine->setLinkLooperMute(looper, chance(0.5));
            } else {  // volume or loop length through the control inputs
                h.play(in, {0xF0, 0x00, 0x01, 0x7E, 0x01, 0x01,
                            static_cast<std::uint8_t>(chance(0.7) ? looper : 0x7F),
                            static_cast<std::uint8_t>(chance(0.7) ? 0x01 : 0x03),
                            static_cast<std::uint8_t>(pick(128)), 0xF7});
            }
        } else if (r < 83) {
            switch (pick(3)) {
                case 0:
                    h.engine->setShowsFC200Morph(chance(0.5));
                    break;
                case 1:
                    h.engine->setFC200UpperPedalsToggleEnabled(chance(0.5));
                    break;
                default:
                    h.engine->setFC200UpperPedalsShareLowerCCsEnabled(chance(0.5));
                    break;
            }
        } else if (r < 93) {
            h.queue.advance(std::chrono::milliseconds(pick(800)));
        } else if (r < 95) {
            h.clock->setPlaying(!h.clock->isPlaying());
        } else if (r < 96) {
            h.clock->setActive(!h.clock->isActive());
        } else if (r < 97.5) {
            h.clock->resetTimeline();
        } else if (r < 99) {
            // A peer moves the session's beat, mostly backwards.
            const double beat =
                std::max(0.0, h.session->beatNow() + std::uniform_real_distribution<double>(-120, 30)(rng));
            h.session->jumpToBeat(beat);
        } else if (!quietDown(step)) {
            return;
        }
    }
    ASSERT_TRUE(quietDown(800));
    std::size_t noteOns = 0;
    stuckNotes(h.transport, &noteOns);
    EXPECT_GT(noteOns, 20u);
}

INSTANTIATE_TEST_SUITE_P(FixedSeeds, NoStuckNotes, ::testing::Range(1u, 41u));

}  // namespace
}  // namespace velorin
