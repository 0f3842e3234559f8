// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "core/ManualMainQueue.hpp"
#include "core/MemorySettingsStore.hpp"
#include "link/LinkBeatScheduler.hpp"
#include "link/LinkBeatWakeUp.hpp"
#include "link/LinkClock.hpp"
#include "log/LogStore.hpp"
#include "support/FakeLinkSession.hpp"

using namespace std::chrono_literals;
using namespace velorin;
using velorin::test::FakeLinkSession;
using TimePoint = MainQueue::TimePoint;

namespace {

// Virtual time, counting the precise jobs asked for.
class CountingQueue final : public MainQueue {
public:
    explicit CountingQueue(ManualMainQueue& q) : q_(q) {}
    int preciseJobs = 0;
    void post(std::function<void()> job) override { q_.post(std::move(job)); }
    TaskHandle postAfter(Duration d, std::function<void()> job) override {
        return q_.postAfter(d, std::move(job));
    }
    TaskHandle postAtPrecisely(TimePoint due, std::function<void()> job) override {
        ++preciseJobs;
        return q_.postAtPrecisely(due, std::move(job));
    }
    TaskHandle every(Duration d, std::function<void()> job) override { return q_.every(d, std::move(job)); }
    TaskHandle watch(int fd, IoEvents e, std::function<void(IoEvents)> f) override {
        return q_.watch(fd, e, std::move(f));
    }
    TimePoint now() const override { return q_.now(); }
    bool isMainThread() const override { return true; }

private:
    ManualMainQueue& q_;
};

// The Link clock, whose "how long until" can come `early` (as a time rounded
// to microseconds can) or be "now" for every beat.
struct SkewableClock final : LinkBeatSchedulingClock {
    explicit SkewableClock(const LinkBeatSchedulingClock& c) : inner(c) {}
    const LinkBeatSchedulingClock& inner;
    std::chrono::microseconds early{0};
    bool alwaysNow = false;
    bool isActive() const override { return inner.isActive(); }
    bool isPlaying() const override { return inner.isPlaying(); }
    double currentBeat() const override { return inner.currentBeat(); }
    std::optional<std::chrono::microseconds> timeUntilBeat(double beat) const override {
        auto until = inner.timeUntilBeat(beat);
        if (until) *until = alwaysNow ? 0us : *until - early;
        return until;
    }
};

// The engine's arrangement: a 10 ms poll followed by update(), and the
// wake-up's own polls. Link is active and playing at 120 BPM from beat 0 at
// `start`, so beat n/32 falls exactly n × 15.625 ms later.
struct LinkBeatWakeUpTest : ::testing::Test {
    ManualMainQueue queue;
    CountingQueue counting{queue};
    MemorySettingsStore settings;
    std::shared_ptr<LogStore> log = LogStore::create(queue, settings);
    const TimePoint start = queue.now();
    FakeLinkSession* session = nullptr;
    std::unique_ptr<LinkClock> link = makeLink();
    SkewableClock clock{*link};
    LinkBeatScheduler scheduler{clock, *log};
    std::vector<TimePoint> released;
    std::vector<TimePoint> wakes;
    LinkBeatWakeUp wake{counting, scheduler, clock, 10ms, [this] {
                            wakes.push_back(queue.now());
                            if (wakes.size() < 1000) poll();  // beyond: spinning; fail rather than hang
                        }};
    TaskHandle tick = queue.every(10ms, [this] { poll(); });

    std::unique_ptr<LinkClock> makeLink() {
        settings.set(LinkClock::kIsActiveKey, true);
        auto fake = std::make_unique<FakeLinkSession>(queue);
        session = fake.get();
        auto made = std::make_unique<LinkClock>(std::move(fake), *log, settings, queue);
        made->setPlaying(true);
        return made;
    }
    void SetUp() override { EXPECT_TRUE(scheduler.dueEvents().empty()); }  // the first running poll
    void poll() {
        for (std::size_t n = scheduler.dueEvents().size(); n > 0; --n) released.push_back(queue.now());
        wake.update();
    }
    void schedule(double beat) {
        scheduler.schedule(
            {MIDIEvent::noteOnEvent(60, 100, 0), beat, "router", "outputs", std::nullopt, std::nullopt});
        wake.update();
    }
    void advanceTo(std::chrono::microseconds sinceStart) { queue.advance(start + sinceStart - queue.now()); }
};

TEST_F(LinkBeatWakeUpTest, ArmsOnceWhenTheHeadFallsDueBeforeTheNextPollAndReleasesItOnItsBeat) {
    schedule(3.0 / 32);  // at 46.875 ms: the polls up to 30 ms are more than 10 ms before it
    advanceTo(39999us);
    EXPECT_FALSE(wake.armedFor());
    advanceTo(40ms);
    EXPECT_EQ(wake.armedFor(), start + 46875us);
    wake.update();  // nothing moved: the armed wake-up stays
    advanceTo(60ms);
    EXPECT_EQ(released, std::vector<TimePoint>{start + 46875us});
    EXPECT_EQ(wakes.size(), 1u);
    EXPECT_EQ(counting.preciseJobs, 1);
    EXPECT_FALSE(wake.armedFor());  // nothing queued
}

TEST_F(LinkBeatWakeUpTest, FollowsATempoChangeAndArmsNothingWhileStoppedOrInactive) {
    schedule(3.0 / 32);
    advanceTo(31250us);  // beat 1/16: the head is 15.625 ms away
    EXPECT_FALSE(wake.armedFor());
    session->peerSetsTempo(240);  // now 7.8125 ms away, 7 813 µs rounded
    wake.update();
    advanceTo(50ms);
    EXPECT_EQ(released, std::vector<TimePoint>{start + 39063us});

    schedule(0.25);  // at 78.125 ms
    advanceTo(75ms);
    EXPECT_EQ(wake.armedFor(), start + 78125us);
    link->setActive(false);
    wake.update();
    EXPECT_FALSE(wake.armedFor());
    link->setActive(true);
    link->setPlaying(false);
    wake.update();
    EXPECT_FALSE(wake.armedFor());
    advanceTo(85ms);
    EXPECT_EQ(wakes.size(), 1u);
    EXPECT_EQ(released.size(), 1u);
}

TEST_F(LinkBeatWakeUpTest, AWakeAHairBeforeTheBeatIsFollowedByOneShortlyAfter) {
    clock.early = 1us;
    schedule(3.0 / 32);
    advanceTo(60ms);
    ASSERT_EQ(released.size(), 1u);
    EXPECT_GE(released[0], start + 46875us);
    EXPECT_LE(released[0], start + 46875us + 50us);
    EXPECT_EQ(wakes, (std::vector<TimePoint>{start + 46874us, released[0]}));
}

TEST_F(LinkBeatWakeUpTest, AClockThatAlwaysSaysNowCostsAFewWakesNeverASpin) {
    clock.alwaysNow = true;
    schedule(10.0);  // 5 s away
    advanceTo(200ms);
    EXPECT_TRUE(released.empty());
    EXPECT_LE(wakes.size(), 16u);
    MainQueue::Duration shortestGap = 1h;
    for (std::size_t i = 1; i < wakes.size(); ++i)
        shortestGap = std::min(shortestGap, wakes[i] - wakes[i - 1]);
    EXPECT_GE(shortestGap, LinkBeatWakeUp::kFirstRetryDelay);

    // Another beat at the head is woken for on time.
    clock.alwaysNow = false;
    scheduler.removeAllEvents();
    schedule(13.0 / 32);  // at 203.125 ms
    advanceTo(210ms);
    EXPECT_EQ(released, std::vector<TimePoint>{start + 203125us});
}

}  // namespace
