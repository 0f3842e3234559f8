// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/ManualMainQueue.hpp"
#include "core/MemorySettingsStore.hpp"
#include "link/LinkTestLog.hpp"
#include "link/MIDIClockSender.hpp"
#include "log/LogStore.hpp"

using namespace std::chrono_literals;
using namespace velorin;

namespace {

// A Link timeline on the queue's virtual clock whose tempo, beat and
// transport the test sets.
class FakeTimeline final : public LinkBeatSchedulingClock {
public:
    explicit FakeTimeline(const MainQueue& queue) : queue_(queue), anchorTime_(queue.now()) {}
    bool active = true;
    bool playing = false;

    bool isActive() const override { return active; }
    bool isPlaying() const override { return playing; }
    double currentBeat() const override {
        return anchorBeat_ +
               std::chrono::duration<double>(queue_.now() - anchorTime_).count() * tempo_ / 60.0;
    }
    std::optional<std::chrono::microseconds> timeUntilBeat(double beat) const override {
        return std::chrono::microseconds(std::llround((beat - currentBeat()) * 60e6 / tempo_));
    }
    void setTempo(double bpm) {
        jumpTo(currentBeat());
        tempo_ = bpm;
    }
    void jumpTo(double beat) {
        anchorBeat_ = beat;
        anchorTime_ = queue_.now();
    }

private:
    const MainQueue& queue_;
    double tempo_ = 120.0;
    double anchorBeat_ = 0;
    MainQueue::TimePoint anchorTime_;
};

struct Sent {
    std::uint8_t status;
    std::int64_t value;
    MIDIClockAudience audience;
    double beat;
};

struct SenderHarness {
    SenderHarness() {
        sender = std::make_unique<MIDIClockSender>(
            queue, timeline, *log, [this](const MIDIEvent& m, MIDIClockAudience a) {
                sent.push_back({static_cast<std::uint8_t>(m.note), m.velocity, a, timeline.currentBeat()});
            });
    }
    std::vector<Sent> take() { return std::exchange(sent, {}); }
    // "F8" for a tick to every output, "f8" for one to the outputs that tick while stopped.
    std::string shape(const std::vector<Sent>& messages) const {
        std::string out;
        for (const Sent& s : messages) {
            if (s.status == 0xF8) {
                out += s.audience == MIDIClockAudience::everyOutput ? "F8 " : "f8 ";
            } else {
                char text[8];
                std::snprintf(text, sizeof text, "%02X ", s.status);
                out += text;
            }
        }
        return out;
    }
    ManualMainQueue queue;
    MemorySettingsStore settings;
    std::shared_ptr<LogStore> log = LogStore::create(queue, settings);
    FakeTimeline timeline{queue};
    std::vector<Sent> sent;
    std::unique_ptr<MIDIClockSender> sender;
};

TEST(MIDIClockSender, TicksLandOnTheTimelinesTwentyFourthsThroughTempoChanges) {
    SenderHarness h;
    h.timeline.playing = true;
    h.timeline.jumpTo(0.0);
    h.sender->setRunning(true);
    h.queue.advance(1s);  // 120 BPM: 2 beats
    h.timeline.setTempo(90.0);
    h.queue.advance(2s);  // 3 beats
    h.timeline.setTempo(174.0);
    h.queue.advance(1s);  // 2.9 beats

    const auto sent = h.take();
    // Start with the first tick, on beat 0, then one tick per 1/24 beat.
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent[0].status, 0xFA);
    std::vector<double> tickBeats;
    for (const Sent& s : sent) {
        if (s.status == 0xF8) tickBeats.push_back(s.beat);
    }
    ASSERT_EQ(tickBeats.size(), static_cast<std::size_t>(std::floor(7.9 * 24)) + 1);
    for (std::size_t n = 0; n < tickBeats.size(); ++n) {
        // Never early; late by at most the microsecond the tick's time is rounded to.
        EXPECT_GE(tickBeats[n], static_cast<double>(n) / 24 - MIDIClockSender::kEarlyToleranceBeats) << n;
        EXPECT_LE(tickBeats[n], static_cast<double>(n) / 24 + 1e-5) << n;
    }
}

// (Which outputs tick while stopped, and Stop, are checked through the engine.)
TEST(MIDIClockSender, StartsWithTheTickOnTheNextBarOrAtOnceJustAfterTheBarItStartedOn) {
    SenderHarness h;
    h.timeline.jumpTo(5.0);
    h.sender->setRunning(true);
    h.queue.advance(250ms);
    h.timeline.playing = true;  // at beat 5.5
    h.queue.advance(1250ms - 1us);
    auto sent = h.take();
    EXPECT_EQ(h.shape(sent).find("FA"), std::string::npos);
    h.queue.advance(1us);
    sent = h.take();
    ASSERT_EQ(h.shape(sent), "FA F8 ");
    EXPECT_NEAR(sent[0].beat, 8.0, 1e-5);

    // Started on a bar (as a start at beat 0 does) and seen within a tick:
    // Start at once, after Song Position 0 for the jump to it.
    h.timeline.playing = false;
    h.queue.advance(100ms);
    h.take();
    const auto wake = *h.sender->armedFor() - h.queue.now();
    h.timeline.jumpTo(12.01 - std::chrono::duration<double>(wake).count() * 2.0);
    h.timeline.playing = true;
    h.queue.advance(wake);
    sent = h.take();
    ASSERT_EQ(h.shape(sent), "F2 FA F8 ");
    EXPECT_NEAR(sent[1].beat, 12.01, 1e-6);
}

TEST(MIDIClockSender, TimelineJumpsSendStopSongPositionZeroAndStartOnTheNextBar) {
    SenderHarness h;
    h.timeline.playing = true;
    h.timeline.jumpTo(10.0);
    h.sender->setRunning(true);
    h.queue.advance(2500ms);  // Start on beat 12, playing on to beat 15
    EXPECT_TRUE(h.sender->isPlaying());
    h.take();
    (void)test::takeLines(*h.log);

    // Backward: a reset to beat 0.5 while playing.
    h.timeline.jumpTo(0.5);
    h.queue.advance(21ms);
    auto sent = h.take();
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(h.shape({sent.begin(), sent.begin() + 2}), "FC F2 ");
    EXPECT_EQ(sent[1].value, 0);
    EXPECT_EQ(test::takeLines(*h.log),
              std::vector<std::string>{
                  "[Clock] Link timeline jumped: Stop and Song Position 0, Start again on the next bar"});
    h.queue.advance(1730ms);  // past beat 4.0
    sent = h.take();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(h.shape({sent.end() - 2, sent.end()}), "FA F8 ");
    EXPECT_NEAR(sent.back().beat, 4.0, 1e-5);

    // Forward by more than a beat: the same, so the bar phase of the devices stays right.
    h.timeline.jumpTo(30.0);
    h.queue.advance(21ms);
    EXPECT_EQ(h.shape(h.take()).substr(0, 6), "FC F2 ");

    // A small step back (clock jitter) is no jump; a quarter beat is.
    h.queue.advance(1s);
    h.take();
    h.timeline.jumpTo(h.timeline.currentBeat() - 0.01);
    h.queue.advance(100ms);
    for (const Sent& s : h.take()) EXPECT_EQ(s.status, 0xF8);
    h.timeline.jumpTo(h.timeline.currentBeat() - 0.25);
    h.queue.advance(21ms);
    EXPECT_EQ(h.shape(h.take()).substr(0, 6), "FC F2 ");
}

TEST(MIDIClockSender, LinkOffOrClockHaltedSendsStopAndNothingMore) {
    SenderHarness h;
    h.timeline.playing = true;
    h.sender->setRunning(true);
    h.queue.advance(100ms);
    EXPECT_TRUE(h.sender->isPlaying());
    h.take();
    h.timeline.active = false;
    h.queue.advance(1s);
    EXPECT_EQ(h.shape(h.take()), "FC ");

    h.timeline.active = true;
    h.timeline.jumpTo(0.0);
    h.queue.advance(2100ms);  // Start on beat 4 at the latest
    EXPECT_TRUE(h.sender->isPlaying());
    h.take();
    h.sender->setRunning(false);
    EXPECT_EQ(h.shape(h.take()), "FC ");
    h.queue.advance(1s);
    EXPECT_TRUE(h.take().empty());
    EXPECT_FALSE(h.sender->armedFor().has_value());
}

}  // namespace
