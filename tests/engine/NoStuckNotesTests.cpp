#include <gtest/gtest.h>

#include <map>
#include <random>
#include <tuple>

#include "EngineTestSupport.hpp"

namespace velorin {
namespace {

using testing::EngineHarness;

// Random note traffic interleaved with every edit that could strand a note:
// unrouting inputs and outputs, chaining and unchaining morphs, switching
// endpoints off, hiding and reconfiguring the FC-200 morph, loopers switching
// on, off and muting while the Link transport starts and stops, octave layer
// changes and engine restarts. After the final stop every note that was
// switched on at an output has been switched off there.
class NoStuckNotes : public ::testing::TestWithParam<unsigned> {};

const std::vector<std::string> kInputs = {"in-a", "in-b"};
const std::vector<std::string> kOutputs = {"out-a", "out-b", "out-c"};
const std::vector<std::string> kMorphs = {"router", "octave-layer", "link-looper", "fc200-sysex"};

TEST_P(NoStuckNotes, EveryNoteSwitchedOnIsSwitchedOff) {
    std::mt19937 rng(GetParam());
    auto pick = [&rng](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
    auto chance = [&rng](double p) { return std::bernoulli_distribution(p)(rng); };

    EngineHarness h;
    // Distinct titles: the Router's same-name rule plays no part here.
    h.engine->setEndpointInventory(std::get<MIDIEndpointInventory>(MIDIEndpointInventory::make(
        {testing::input("in-a", "Keys In"), testing::input("in-b", "Pads In")},
        {testing::output("out-a", "Synth"), testing::output("out-b", "Piano"), testing::output("out-c", "Drums")})));
    h.runTransportAt(0);
    h.engine->start();
    h.engine->setInputAssignment(true, "in-a", "router", "inputs");
    h.engine->setOutputAssignment(true, "out-a", "router", "outputs");

    std::map<std::pair<std::string, std::int64_t>, bool> held;  // (input, note) → held on the input
    for (int step = 0; step < 800; ++step) {
        const double r = std::uniform_real_distribution<double>(0, 100)(rng);
        const std::string& in = kInputs[pick(kInputs.size())];
        const std::string& out = kOutputs[pick(kOutputs.size())];
        const std::string& morph = kMorphs[pick(kMorphs.size())];
        if (r < 34) {
            const std::int64_t note = 52 + static_cast<std::int64_t>(pick(16));
            const auto channel = static_cast<std::uint8_t>(pick(2));
            bool& isHeld = held[{in, note}];
            if (isHeld && chance(0.8)) {
                const bool asVelocityZero = chance(0.3);
                h.play(in, {static_cast<std::uint8_t>((asVelocityZero ? 0x90 : 0x80) | channel),
                            static_cast<std::uint8_t>(note), 0});
                isHeld = false;
            } else {
                h.play(in, {static_cast<std::uint8_t>(0x90 | channel), static_cast<std::uint8_t>(note),
                            static_cast<std::uint8_t>(1 + pick(127))});
                isHeld = true;
            }
        } else if (r < 38) {
            const auto control = static_cast<std::uint8_t>(pick(14));
            const std::uint8_t value = chance(0.5) ? 127 : 0;
            h.play(in, {0xF0, 0x41, 0x10, 0x72, 0x12, 0x00, control, value,
                        static_cast<std::uint8_t>((128 - (control + value) % 128) % 128), 0xF7});
        } else if (r < 46) {
            const bool control = morph == "link-looper" && chance(0.4);
            h.engine->setInputAssignment(chance(0.6), in, morph, control ? "control-inputs" : "inputs");
        } else if (r < 58) {
            if (chance(0.25)) {
                h.engine->setOutputAssignment(chance(0.5), "morph:" + kMorphs[pick(kMorphs.size())], morph, "outputs");
            } else {
                const bool control = morph == "link-looper" && chance(0.2);
                h.engine->setOutputAssignment(chance(0.6), out, morph, control ? "control-outputs" : "outputs");
            }
        } else if (r < 64) {
            h.engine->setOutputAvailable(chance(0.6), out);
        } else if (r < 67) {
            h.engine->setInputAvailable(chance(0.7), in);
        } else if (r < 73) {
            const auto kind = *octaveLayerKind(static_cast<std::int64_t>(pick(4)));
            if (chance(0.5)) {
                h.engine->octaveLayerSettings()->toggle(kind);
            } else {
                h.play(in, {0xF0, 0x00, 0x01, 0x7E, 0x01, 0x02, static_cast<std::uint8_t>(kind), 0x00,
                            static_cast<std::uint8_t>(chance(0.5) ? 0x7F : 0x00), 0xF7});
            }
        } else if (r < 81) {
            h.engine->setLinkLooper(static_cast<int>(pick(4)), chance(0.6));
        } else if (r < 84) {
            const auto looper = static_cast<int>(pick(4));
            if (chance(0.5)) {
                h.engine->setLinkLooperMute(looper, chance(0.5));
            } else {  // volume or loop length through the control inputs
                h.play(in, {0xF0, 0x00, 0x01, 0x7E, 0x01, 0x01, static_cast<std::uint8_t>(chance(0.7) ? looper : 0x7F),
                            static_cast<std::uint8_t>(chance(0.7) ? 0x01 : 0x03), static_cast<std::uint8_t>(pick(128)),
                            0xF7});
            }
        } else if (r < 87) {
            switch (pick(3)) {
                case 0: h.engine->setShowsFC200Morph(chance(0.5)); break;
                case 1: h.engine->setFC200UpperPedalsToggleEnabled(chance(0.5)); break;
                default: h.engine->setFC200UpperPedalsShareLowerCCsEnabled(chance(0.5)); break;
            }
        } else if (r < 97) {
            h.queue.advance(std::chrono::milliseconds(pick(800)));
        } else if (r < 98.8) {
            h.session->playing = !h.session->playing;
        } else {
            h.engine->stop();
            h.engine->start();
        }
    }
    h.engine->stop();

    std::map<std::tuple<std::string, std::int64_t, std::int64_t>, bool> sounding;
    std::size_t noteOns = 0;
    for (const auto& send : h.transport.sent) {
        const auto& e = send.event;
        if (e.type == MIDIEventType::noteOn && e.velocity > 0) {
            sounding[{send.key, e.note, e.channel}] = true;
            ++noteOns;
        } else if (e.type == MIDIEventType::noteOff || e.type == MIDIEventType::noteOn) {
            sounding[{send.key, e.note, e.channel}] = false;
        }
    }
    EXPECT_GT(noteOns, 20u);
    for (const auto& [identity, isOn] : sounding) {
        EXPECT_FALSE(isOn) << "stuck at " << std::get<0>(identity) << ": note " << std::get<1>(identity)
                           << " channel " << std::get<2>(identity);
    }
}

INSTANTIATE_TEST_SUITE_P(FixedSeeds, NoStuckNotes, ::testing::Range(1u, 41u));

}  // namespace
}  // namespace velorin
