// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/ManualMainQueue.hpp"
#include "core/MemorySettingsStore.hpp"
#include "link/LinkTestLog.hpp"
#include "link/MIDIClockFollower.hpp"
#include "log/LogStore.hpp"

using namespace std::chrono_literals;
using namespace velorin;
using TimePoint = MainQueue::TimePoint;

namespace {

class RecordingControl final : public LinkTransportControl {
public:
    double tempo = 100.0;
    std::vector<double> tempos;
    std::vector<std::pair<double, TimePoint>> starts;
    int stops = 0;
    double sessionTempo() const override { return tempo; }
    void leadTempo(double bpm) override {
        tempo = bpm;
        tempos.push_back(bpm);
    }
    void leadStart(double beat, TimePoint time) override { starts.emplace_back(beat, time); }
    void leadStop() override { ++stops; }
};

// Ticks on virtual time: `bpm` moving linearly to `endBpm`, each tick off by
// up to ±jitter (a fixed seed, so every run sees the same clock).
struct ClockSource {
    ManualMainQueue& queue;
    std::function<void(std::uint8_t)> deliver;
    std::mt19937 random{20251210};
    TimePoint ideal = queue.now();

    void run(double beats, double bpm, double endBpm, std::chrono::microseconds jitter = 500us) {
        const int ticks = static_cast<int>(std::lround(beats * 24));
        std::uniform_int_distribution<std::int64_t> offset(-jitter.count(), jitter.count());
        for (int n = 0; n < ticks; ++n) {
            const double tempo = bpm + (endBpm - bpm) * n / ticks;
            ideal += std::chrono::duration_cast<MainQueue::Duration>(
                std::chrono::duration<double>(60.0 / tempo / 24));
            const auto at = ideal + std::chrono::microseconds(offset(random));
            if (at > queue.now()) queue.advance(at - queue.now());
            deliver(0xF8);
        }
    }
};

TEST(MIDIClockTempoEstimator, SettlesWithinTwoBeatsOnJitteredSteadyClocksAndStaysThere) {
    for (const double bpm : {60.0, 120.0, 240.0}) {
        ManualMainQueue queue;
        MIDIClockTempoEstimator estimator;
        ClockSource source{queue, [&](std::uint8_t) { estimator.addTick(queue.now()); }};
        // Within ±0.1 BPM after two beats; at 240 BPM ±0.5 ms is ±5 % of a
        // tick, and the line needs all four beats.
        source.run(bpm > 200 ? 4.0 : 2.0, bpm, bpm);
        ASSERT_TRUE(estimator.bpm()) << bpm;
        EXPECT_NEAR(*estimator.bpm(), bpm, 0.1) << bpm;
        double low = *estimator.bpm();
        double high = low;
        for (int beat = 0; beat < 16; ++beat) {
            source.run(1.0, bpm, bpm);
            low = std::min(low, *estimator.bpm());
            high = std::max(high, *estimator.bpm());
        }
        // Settled, every estimate stays within ±0.1 BPM.
        EXPECT_GE(low, bpm - 0.1) << bpm;
        EXPECT_LE(high, bpm + 0.1) << bpm;
    }
}

TEST(MIDIClockTempoEstimator, FollowsADriftingClockAndIgnoresStrayAndLostTicks) {
    ManualMainQueue queue;
    MIDIClockTempoEstimator estimator;
    ClockSource source{queue, [&](std::uint8_t) { estimator.addTick(queue.now()); }};
    // A clock wandering slowly off its tempo, as a free-running crystal does.
    source.run(32.0, 120.0, 120.6);
    ASSERT_TRUE(estimator.bpm());
    EXPECT_NEAR(*estimator.bpm(), 120.6, 0.1);
    // A faster ramp is followed with the lag of half the line's four beats.
    source.run(16.0, 120.0, 126.0);
    EXPECT_NEAR(*estimator.bpm(), 126.0 - 2 * 0.375, 0.3);

    source.run(4.0, 120.0, 120.0, 0us);  // the jump from 126 to 120 is within a tick's tolerance
    source.run(4.0, 120.0, 120.0, 0us);
    ASSERT_NEAR(*estimator.bpm(), 120.0, 1e-3);
    // An extra tick between two, then one lost on the way.
    queue.advance(7ms);
    EXPECT_FALSE(estimator.addTick(queue.now()));
    source.run(1.0, 120.0, 120.0, 0us);
    source.ideal += std::chrono::microseconds(20833);
    source.run(0.25, 120.0, 120.0, 0us);
    EXPECT_NEAR(*estimator.bpm(), 120.0, 0.001);
    EXPECT_EQ(estimator.tickCount(), MIDIClockTempoEstimator::kWindowTicks);  // the line went on

    // A real change of tempo beyond the tolerance starts the line again.
    source.run(1.0, 200.0, 200.0, 0us);
    EXPECT_NEAR(*estimator.bpm(), 200.0, 0.01);
}

struct FollowerHarness {
    ManualMainQueue queue;
    MemorySettingsStore settings;
    std::shared_ptr<LogStore> log = LogStore::create(queue, settings);
    RecordingControl control;
    MIDIClockFollower follower{queue, &control, *log};

    void send(std::vector<std::uint8_t> bytes, std::string_view key = "in-a",
              std::string_view name = "Drums") {
        follower.receive(bytes, key, name);
    }
    ClockSource source(std::string key = "in-a", std::string name = "Drums") {
        return ClockSource{queue, [this, key, name](std::uint8_t b) { send({b}, key, name); }};
    }
};

TEST(MIDIClockFollower, LeadsTempoWithoutFloodingAndLogsAtMostOncePerSecond) {
    FollowerHarness h;
    auto source = h.source();
    source.run(16.0, 120.0, 120.0);
    EXPECT_NEAR(h.control.tempo, 120.0, 0.1);
    EXPECT_LE(h.control.tempos.size(), 4u);
    EXPECT_EQ(h.follower.leaderKey(), std::optional<std::string>("in-a"));

    // A clock speeding up: the log line follows, but not more than once a second.
    (void)test::takeLines(*h.log);
    source.run(8.0, 120.0, 140.0);
    const auto lines = test::takeLines(*h.log);
    EXPECT_GE(lines.size(), 2u);
    EXPECT_LE(lines.size(), 4u);  // 8 beats at 120–140 BPM take under 4 s
    for (const auto& line : lines) EXPECT_TRUE(line.starts_with("[Clock] Following MIDI clock from Drums: "));
}

TEST(MIDIClockFollower, StartContinueStopAndSongPositionDriveTheTransport) {
    FollowerHarness h;
    auto source = h.source();
    source.run(1.0, 120.0, 120.0, 0us);
    h.send({0xFA});
    EXPECT_TRUE(h.control.starts.empty());  // the song begins with the next tick
    source.run(1.0 / 24, 120.0, 120.0, 0us);
    ASSERT_EQ(h.control.starts.size(), 1u);
    EXPECT_EQ(h.control.starts[0], std::make_pair(0.0, h.queue.now()));

    h.send({0xFC});
    EXPECT_EQ(h.control.stops, 1);
    // Song Position 200 sixteenths (beat 50), a tick between its data bytes, then Continue.
    h.send({0xF2, 200 & 0x7F, 0xF8});
    h.send({200 >> 7, 0xFB});
    source.run(1.0 / 24, 120.0, 120.0, 0us);
    ASSERT_EQ(h.control.starts.size(), 2u);
    EXPECT_EQ(h.control.starts[1].first, 50.0);
    // Another input's Stop counts for nothing.
    h.send({0xFC}, "in-b", "Keys");
    EXPECT_EQ(h.control.stops, 1);
}

TEST(MIDIClockFollower, OneLeaderAtATimeLostAfterTwoBeatsAndAnotherMayLead) {
    FollowerHarness h;
    auto drums = h.source();
    auto keys = h.source("in-b", "Keys");
    drums.run(4.0, 120.0, 120.0);
    for (int i = 0; i < 8; ++i) {  // ignored: the drums lead
        h.send({0xFA, 0xF8, 0xF8}, "in-b", "Keys");
        drums.run(0.5, 120.0, 120.0);
    }
    EXPECT_NEAR(h.control.tempo, 120.0, 0.1);
    EXPECT_TRUE(h.control.starts.empty());
    (void)test::takeLines(*h.log);

    // Silence: lost once two beats (1 s at 120 BPM) pass without a tick; the tempo stays.
    const auto commits = h.control.tempos.size();
    h.queue.advance(900ms);
    EXPECT_TRUE(h.follower.leaderKey());
    h.queue.advance(200ms);
    EXPECT_EQ(test::takeLines(*h.log), std::vector<std::string>{"[Clock] Lost MIDI clock from Drums"});
    EXPECT_FALSE(h.follower.leaderKey());
    EXPECT_EQ(h.control.tempos.size(), commits);

    keys.ideal = h.queue.now();
    keys.run(4.0, 90.0, 90.0);
    EXPECT_EQ(h.follower.leaderName(), "Keys");
    EXPECT_NEAR(h.control.tempo, 90.0, 0.1);
    // The drums come back, but the keys lead now.
    drums.ideal = h.queue.now();
    drums.run(1.0, 120.0, 120.0);
    EXPECT_NEAR(h.control.tempo, 90.0, 0.1);
}

}  // namespace
