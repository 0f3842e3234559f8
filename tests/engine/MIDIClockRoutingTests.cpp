// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/EngineTestSupport.hpp"
#include "morphs/MIDIClockMorph.hpp"

using namespace std::chrono_literals;
using namespace velorin;
using velorin::testing::EngineHarness;

namespace {

constexpr std::string_view kClock = MIDIEngine::kMIDIClockID;

// The status bytes sent to `key`, one character each: 't' tick, 'S' Start,
// 'P' Stop, 'p' Song Position, '?' anything else.
std::string clockTrace(const EngineHarness& h, const std::string& key) {
    std::string out;
    for (const MIDIEvent& e : h.transport.eventsTo(key)) {
        if (e.type != MIDIEventType::system) {
            out += '?';
            continue;
        }
        out += e.note == 0xF8   ? 't'
               : e.note == 0xFA ? 'S'
               : e.note == 0xFC ? 'P'
               : e.note == 0xF2 ? 'p'
                                : '?';
    }
    return out;
}

std::string detailOf(const EngineHarness& h) {
    for (const auto& morph : h.engine->morphPresentations()) {
        if (morph.id == kClock) return morph.detail;
    }
    return {};
}

TEST(MIDIClockRouting, OutputsTickLockedToLinkAndOnlyTheChosenOnesWhileStopped) {
    EngineHarness h;
    h.session->enabled = true;
    h.engine->setOutputAssignment(true, "out-a", kClock, MIDIClockMorph::kOutputsGroup);
    h.engine->setOutputAssignment(true, "out-c", kClock, MIDIClockMorph::kRunningOutputsGroup);
    h.engine->start();
    EXPECT_EQ(detailOf(h), "Sending to 2 outputs");
    auto lines = h.takeLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "[Clock] Sending MIDI clock to 2 outputs"), lines.end());

    h.transport.sent.clear();
    h.queue.advance(1s);  // stopped at 120 BPM: 48 ticks, only to the output that ticks while stopped
    EXPECT_EQ(clockTrace(h, "out-a"), std::string(48, 't'));
    EXPECT_EQ(clockTrace(h, "out-c"), "");
    h.transport.sent.clear();

    // Playing from beat 2: Start goes to both with the tick on beat 4, Stop
    // with the first look after the transport stopped.
    h.session->playing = true;
    h.advanceToBeat(4.0);
    EXPECT_EQ(clockTrace(h, "out-c"), "St");
    EXPECT_EQ(clockTrace(h, "out-a"), std::string(47, 't') + "St");
    // An output taken out of the clock while its device plays is told to stop.
    h.engine->setOutputAssignment(false, "out-c", kClock, MIDIClockMorph::kRunningOutputsGroup);
    EXPECT_EQ(clockTrace(h, "out-c"), "StP");
    h.session->playing = false;
    h.queue.advance(25ms);
    EXPECT_EQ(clockTrace(h, "out-c"), "StP");
    EXPECT_EQ(clockTrace(h, "out-a"), std::string(47, 't') + "StPt");

    // The engine's stop stops the clock, and no more ticks leave.
    h.engine->stop();
    h.transport.sent.clear();
    h.queue.advance(1s);
    EXPECT_TRUE(h.transport.sent.empty());
}

TEST(MIDIClockRouting, AnInputsClockLeadsLinkAndNeverComesBackToItsOwnEndpoint) {
    EngineHarness h;
    h.session->enabled = true;
    // "in-a" is the "Keys" input; "out-b" the "Keys" output.
    h.engine->setInputAssignment(true, "in-a", kClock, kInputsGroup);
    h.engine->setOutputAssignment(true, "out-b", kClock, MIDIClockMorph::kOutputsGroup);
    h.engine->setOutputAssignment(true, "out-a", kClock, MIDIClockMorph::kOutputsGroup);
    h.engine->start();
    h.takeLines();
    h.transport.sent.clear();
    h.engine->setInputAssignment(true, "in-b", kClock, kInputsGroup);

    // Four beats of a 128 BPM clock from "Keys", with Start before the first tick.
    h.play("in-a", {0xFA}, "Keys");
    for (int n = 0; n < 96; ++n) {
        h.play("in-a", {0xF8}, "Keys");
        h.queue.advance(std::chrono::microseconds(468750 / 24));
    }
    EXPECT_NEAR(h.session->tempo(), 128.0, 0.1);
    EXPECT_TRUE(h.session->playing);
    EXPECT_EQ(detailOf(h), "Leading: Keys 128.0 BPM");
    EXPECT_EQ(h.engine->clockOutputCount(), 1u);
    EXPECT_EQ(clockTrace(h, "out-b"), "") << "the leader's own endpoint gets no clock";
    EXPECT_FALSE(clockTrace(h, "out-a").empty());
    const auto lines = h.takeLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "[Clock] Following MIDI clock from Keys: 128.0 BPM"),
              lines.end());

    // Unassigned, the input stops leading, and its endpoint is clocked again.
    h.engine->setInputAssignment(false, "in-a", kClock, kInputsGroup);
    EXPECT_FALSE(h.engine->clockFollower().leaderKey());
    EXPECT_EQ(h.engine->clockOutputCount(), 2u);
    EXPECT_EQ(detailOf(h), "Sending to 2 outputs");
}

}  // namespace
