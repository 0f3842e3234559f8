// SPDX-License-Identifier: GPL-3.0-or-later
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "LinkTestLog.hpp"
#include "core/ManualMainQueue.hpp"
#include "core/MemorySettingsStore.hpp"
#include "link/LinkBeatScheduler.hpp"
#include "link/LinkClock.hpp"
#include "support/FakeLinkSession.hpp"

using namespace velorin;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;
using velorin::test::takeLines;

namespace {

struct ScriptedClock final : LinkBeatSchedulingClock {
    bool active = true;
    bool playing = true;
    double beat = 0;
    bool isActive() const override { return active; }
    bool isPlaying() const override { return playing; }
    double currentBeat() const override { return beat; }
};

ScheduledMIDIEvent at(double beat, MIDIEvent event, std::string morph = "router",
                      std::optional<std::string> key = std::nullopt,
                      std::optional<double> repeat = std::nullopt) {
    return ScheduledMIDIEvent{std::move(event), beat, std::move(morph), "outputs", std::move(key), repeat};
}

MIDIEvent noteOn(std::int64_t note) {
    return MIDIEvent::noteOnEvent(note, 100, 0);
}
MIDIEvent noteOff(std::int64_t note) {
    return MIDIEvent::noteOffEvent(note, 0, 0);
}

std::vector<std::int64_t> notes(const std::vector<ScheduledMIDIEvent>& events) {
    std::vector<std::int64_t> result;
    for (const auto& e : events) result.push_back(e.event.note);
    return result;
}

struct LinkBeatSchedulerTest : ::testing::Test {
    ManualMainQueue queue;
    MemorySettingsStore settings;
    std::shared_ptr<LogStore> log = LogStore::create(queue, settings);
    ScriptedClock clock;
    LinkBeatScheduler scheduler{clock, *log};

    // Takes the first running poll (the start path) with nothing due.
    void startRunningAt(double beat) {
        clock.active = clock.playing = true;
        clock.beat = beat;
        EXPECT_THAT(scheduler.dueEvents(), IsEmpty());
    }
    std::vector<std::int64_t> pollAt(double beat) {
        clock.beat = beat;
        return notes(scheduler.dueEvents());
    }
    std::vector<std::string> lines() { return takeLines(*log); }
};

TEST_F(LinkBeatSchedulerTest, EventsLeaveInBeatOrderAndEqualBeatsInInsertionOrder) {
    startRunningAt(0);
    scheduler.schedule(at(8.0, noteOn(1)));  // A
    scheduler.schedule(at(9.0, noteOn(4)));
    scheduler.schedule(at(8.0, noteOn(2)));  // B
    scheduler.schedule(at(7.5, noteOn(0)));
    scheduler.schedule(at(8.0, noteOn(3)));
    EXPECT_THAT(pollAt(7.9), ElementsAre(0));
    EXPECT_THAT(pollAt(8.0), ElementsAre(1, 2, 3));
    EXPECT_THAT(pollAt(8.5), IsEmpty());
    EXPECT_THAT(pollAt(9.0), ElementsAre(4));
    EXPECT_EQ(scheduler.pendingCount(), 0u);
}

TEST_F(LinkBeatSchedulerTest, AnEventForAPassedBeatLeavesWithTheNextSteadyPoll) {
    startRunningAt(10);
    scheduler.schedule(at(3.0, noteOn(60)));
    EXPECT_THAT(pollAt(10.01), ElementsAre(60));
}

TEST_F(LinkBeatSchedulerTest, CancellingRemovesOnlyEventsWithThatKeyAndKeepsTheOthersInOrder) {
    scheduler.schedule(at(1, noteOn(1), "a", "loop-1"));
    scheduler.schedule(at(2, noteOn(2), "a"));
    scheduler.schedule(at(3, noteOn(3), "b", "loop-1"));
    scheduler.schedule(at(4, noteOn(4), "b", "loop-2"));
    scheduler.cancelEvents("loop-1");
    EXPECT_THAT(notes(scheduler.pendingEvents()), ElementsAre(2, 4));
    scheduler.cancelEvents("");
    EXPECT_EQ(scheduler.pendingCount(), 2u);
    scheduler.removeAllEvents();
    EXPECT_EQ(scheduler.pendingCount(), 0u);
}

TEST_F(LinkBeatSchedulerTest, StoppedTransportHoldsEventsAndLogsEachDescriptorOnceOnlyWhileLoggingAll) {
    clock.playing = false;
    scheduler.schedule(at(4, noteOn(60), "a"));
    scheduler.schedule(at(5, noteOff(60), "b"));
    clock.beat = 5.5;
    for (int i = 0; i < 3; ++i) EXPECT_THAT(scheduler.dueEvents(), IsEmpty());
    EXPECT_THAT(lines(), IsEmpty());

    log->toggleLoggingAllMIDIEvents();
    for (int i = 0; i < 5; ++i) EXPECT_THAT(scheduler.dueEvents(), IsEmpty());
    EXPECT_THAT(lines(), ElementsAre("[Scheduler][a] Skipping: Link transport is not running",
                                     "[Scheduler][b] Skipping: Link transport is not running"));
    EXPECT_EQ(scheduler.pendingCount(), 2u);

    // Starting at beat 6 sends only the due note-off.
    clock.playing = true;
    clock.beat = 6;
    const auto due = scheduler.dueEvents();
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0].event.type, MIDIEventType::noteOff);
    EXPECT_EQ(due[0].morphID, "b");
    EXPECT_THAT(lines(),
                ElementsAre("[Scheduler] Link transport started \xE2\x80\x94 sending 1 due note-off(s), "
                            "discarding 1 stale event(s)"));
    EXPECT_EQ(scheduler.pendingCount(), 0u);
}

TEST_F(LinkBeatSchedulerTest, OneDescriptorLogsOnceAcrossMorphsAndAgainAfterTheTransportRan) {
    log->toggleLoggingAllMIDIEvents();
    clock.playing = false;
    scheduler.schedule(at(40, noteOn(60), "a"));
    scheduler.schedule(at(41, noteOn(60), "b"));
    scheduler.dueEvents();
    EXPECT_THAT(lines(), ElementsAre("[Scheduler][a] Skipping: Link transport is not running"));
    scheduler.schedule(at(42, noteOn(61), "c"));  // a new descriptor in the same stretch
    scheduler.dueEvents();
    EXPECT_THAT(lines(), ElementsAre("[Scheduler][c] Skipping: Link transport is not running"));

    startRunningAt(0);
    clock.playing = false;
    scheduler.dueEvents();
    EXPECT_THAT(lines(), ElementsAre("[Scheduler][a] Skipping: Link transport is not running",
                                     "[Scheduler][c] Skipping: Link transport is not running"));
}

TEST_F(LinkBeatSchedulerTest, ClearingLoggedDescriptorsLetsTheNextStoppedPollLogAgain) {
    log->toggleLoggingAllMIDIEvents();
    clock.playing = false;
    scheduler.schedule(at(40, noteOn(60), "a"));
    scheduler.dueEvents();
    EXPECT_THAT(lines(), ElementsAre("[Scheduler][a] Skipping: Link transport is not running"));
    scheduler.removeAllEvents();
    scheduler.clearLoggedSkipDescriptors();
    scheduler.schedule(at(44, noteOn(60), "a"));
    scheduler.dueEvents();
    EXPECT_THAT(lines(), ElementsAre("[Scheduler][a] Skipping: Link transport is not running"));
}

TEST_F(LinkBeatSchedulerTest, StartingWithOnlyFutureEventsReturnsAndLogsNothing) {
    clock.playing = false;
    scheduler.schedule(at(10, noteOn(60)));
    scheduler.dueEvents();
    startRunningAt(2);
    EXPECT_THAT(lines(), IsEmpty());
    EXPECT_THAT(pollAt(10), ElementsAre(60));
}

TEST_F(LinkBeatSchedulerTest, ARepeatingEventLeavesOnceAndIsReArmedAfterTheCurrentBeat) {
    startRunningAt(0);
    scheduler.schedule(at(4.0, noteOn(60), "link-looper", "loop-1", 1.0));
    clock.beat = 6.5;
    const auto due = scheduler.dueEvents();
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0].targetBeat, 4.0);
    const auto pending = scheduler.pendingEvents();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].targetBeat, 7.0);
    EXPECT_EQ(pending[0].event.timestamp, 7.0);
    EXPECT_EQ(pending[0].repeatIntervalBeats, 1.0);
    EXPECT_EQ(pending[0].cancellationKey, "loop-1");
    EXPECT_EQ(pending[0].morphID, "link-looper");
    EXPECT_THAT(pollAt(7.0), ElementsAre(60));
    EXPECT_EQ(scheduler.pendingEvents()[0].targetBeat, 8.0);
}

TEST_F(LinkBeatSchedulerTest, AnIntervalOfZeroOrLessFiresOnce) {
    startRunningAt(0);
    scheduler.schedule(at(1, noteOn(1), "a", std::nullopt, 0.0));
    scheduler.schedule(at(1, noteOn(2), "a", std::nullopt, -1.0));
    EXPECT_THAT(pollAt(3), ElementsAre(1, 2));
    EXPECT_EQ(scheduler.pendingCount(), 0u);
}

TEST_F(LinkBeatSchedulerTest, StaleRepeatingEventsAreDiscardedAtStartButReArmed) {
    clock.playing = false;
    scheduler.schedule(at(1, noteOn(1), "a", "k", 2.0));
    scheduler.schedule(at(2, noteOff(1), "a", "k", 2.0));
    scheduler.dueEvents();
    clock.playing = true;
    clock.beat = 4.5;
    EXPECT_THAT(notes(scheduler.dueEvents()), ElementsAre(1));
    EXPECT_THAT(lines(),
                ElementsAre("[Scheduler] Link transport started \xE2\x80\x94 sending 1 due note-off(s), "
                            "discarding 1 stale event(s)"));
    const auto pending = scheduler.pendingEvents();
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_EQ(pending[0].targetBeat, 5.0);
    EXPECT_EQ(pending[1].targetBeat, 6.0);
}

TEST_F(LinkBeatSchedulerTest, DeactivatingKeepsEventsAndReactivationTakesTheStartPath) {
    startRunningAt(0);
    scheduler.schedule(at(2, noteOn(1)));
    scheduler.schedule(at(3, noteOff(1)));
    scheduler.schedule(at(9, noteOn(2)));
    clock.active = false;
    clock.beat = 5;
    EXPECT_THAT(scheduler.dueEvents(), IsEmpty());
    EXPECT_EQ(scheduler.pendingCount(), 3u);
    clock.active = true;
    EXPECT_THAT(notes(scheduler.dueEvents()), ElementsAre(1));
    EXPECT_THAT(lines(),
                ElementsAre("[Scheduler] Link transport started \xE2\x80\x94 sending 1 due note-off(s), "
                            "discarding 1 stale event(s)"));
    EXPECT_THAT(pollAt(9), ElementsAre(2));
}

TEST_F(LinkBeatSchedulerTest, AJumpOfABillionBeatsReArmsDirectlyAfterTheNewBeat) {
    startRunningAt(0);
    scheduler.schedule(at(4.0, noteOn(60), "link-looper", "loop-1", 0.25));
    scheduler.schedule(at(4.0, noteOn(61), "link-looper", "loop-2", 3.0));
    const double farBeat = 1e9 + 4.1;
    EXPECT_THAT(pollAt(farBeat), ElementsAre(60, 61));
    const auto pending = scheduler.pendingEvents();
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_EQ(pending[0].targetBeat, 1e9 + 4.25);
    EXPECT_EQ(pending[0].event.timestamp, 1e9 + 4.25);
    EXPECT_EQ(pending[1].targetBeat, 1000000006.0);  // 4 + 333333334 × 3
    EXPECT_THAT(pollAt(1e9 + 4.25), ElementsAre(60));
}

// The stepping the scheduler used to do, as the reference for its result.
double steppedRepetition(double target, double interval, double beat) {
    double next = target + interval;
    while (next <= beat) next += interval;
    return next;
}

TEST(LinkBeatSchedulerRepetition, MatchesSteppingOneIntervalAtATime) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> beats(-50.0, 5000.0);
    const double intervals[] = {0.25, 0.5, 1.0, 1.5, 2.0, 4.0, 0.125, 3.0, 16.0};
    for (int i = 0; i < 20000; ++i) {
        const double target = std::round(beats(random) * 16) / 16;
        const double interval = intervals[static_cast<std::size_t>(i) % std::size(intervals)];
        const double beat = target + std::abs(beats(random));
        EXPECT_EQ(LinkBeatScheduler::nextRepetitionBeat(target, interval, beat),
                  steppedRepetition(target, interval, beat))
            << target << " " << interval << " " << beat;
    }
}

TEST(LinkBeatSchedulerRepetition, IsTheFirstRepetitionStrictlyAfterTheBeatForAnyInterval) {
    for (const double interval : {0.1, 1.0 / 3.0, 0.7, 2.2}) {
        for (const double beat : {1e3, 123456.789, 1e9, 1e9 + 0.3}) {
            const double next = LinkBeatScheduler::nextRepetitionBeat(1.0, interval, beat);
            EXPECT_GT(next, beat);
            EXPECT_LE(next - interval, beat + 1e-6);
        }
    }
    // Landing exactly on a repetition moves one further.
    EXPECT_EQ(LinkBeatScheduler::nextRepetitionBeat(0.0, 1.0, 1e9), 1e9 + 1);
    // An interval too small to step a beat this large still moves past it.
    const double next = LinkBeatScheduler::nextRepetitionBeat(0.0, 1e-12, 1e9);
    EXPECT_GT(next, 1e9);
}

TEST_F(LinkBeatSchedulerTest, TargetsThatAreNotFiniteAreRefusedSoTheyCannotBlockTheQueue) {
    startRunningAt(0);
    EXPECT_FALSE(scheduler.schedule(at(std::nan(""), noteOn(1))));
    EXPECT_FALSE(scheduler.schedule(at(INFINITY, noteOn(2))));
    EXPECT_TRUE(scheduler.schedule(at(1, noteOn(3))));
    EXPECT_THAT(pollAt(2), ElementsAre(3));
}

// A full queue refuses new events, but never a note-off that a queued note-on
// needs: room is kept for one per note-on. Each burst of refusals says so once.
TEST_F(LinkBeatSchedulerTest, AFullQueueKeepsRoomForTheNoteOffsOfItsNoteOns) {
    clock.playing = false;
    constexpr std::size_t kPairs = LinkBeatScheduler::kMaxPendingEvents / 2 - 1;
    for (std::size_t i = 0; i < kPairs; ++i) {
        ASSERT_TRUE(scheduler.schedule(at(static_cast<double>(i % 64), noteOn(1))));
        ASSERT_TRUE(scheduler.schedule(at(static_cast<double>(i % 64) + 0.5, noteOff(1))));
    }
    // Two free slots: a note-on fits with its note-off, the next note-on does not.
    EXPECT_TRUE(scheduler.schedule(at(1, noteOn(2))));
    EXPECT_FALSE(scheduler.schedule(at(1, noteOn(3))));
    EXPECT_FALSE(scheduler.schedule(at(1, MIDIEvent::ccEvent(7, 100, 0))));
    EXPECT_TRUE(scheduler.schedule(at(2, noteOff(2))));
    EXPECT_EQ(scheduler.pendingCount(), LinkBeatScheduler::kMaxPendingEvents);
    EXPECT_FALSE(scheduler.schedule(at(2, noteOff(9))));
    EXPECT_THAT(lines(), ElementsAre("[Scheduler] Queue full: dropping scheduled events (100000 pending)"));
    scheduler.dueEvents();  // the next burst logs again
    EXPECT_FALSE(scheduler.schedule(at(1, noteOn(4))));
    EXPECT_THAT(lines(), SizeIs(1));
    scheduler.cancelEvents("none");
    scheduler.removeAllEvents();
    EXPECT_TRUE(scheduler.schedule(at(1, noteOn(2))));
    EXPECT_EQ(scheduler.pendingNoteOnCount(), 1u);
}

// Room is kept for the note-off of every queued note-on, the one being scheduled
// included: of three free slots one note-on takes two, so a second does not fit;
// a velocity-0 note-on is a note-off and takes the last slot.
TEST_F(LinkBeatSchedulerTest, TheLastFreeSlotsAreKeptForNoteOffs) {
    clock.playing = false;
    for (std::size_t i = 0; i + 3 < LinkBeatScheduler::kMaxPendingEvents; ++i) {
        ASSERT_TRUE(scheduler.schedule(at(static_cast<double>(i % 64), MIDIEvent::ccEvent(7, 1, 0))));
    }
    EXPECT_TRUE(scheduler.schedule(at(1, noteOn(1))));
    EXPECT_FALSE(scheduler.schedule(at(1, noteOn(2))));
    EXPECT_TRUE(scheduler.schedule(at(2, MIDIEvent::noteOnEvent(1, 0, 0))));
}

// The beat moving back (a timeline reset, a peer) releases every queued
// note-off at once and puts loops at the same phase after the new beat; a
// one-off event keeps its beat, and small backward jitter changes nothing.
TEST_F(LinkBeatSchedulerTest, ABackwardJumpReleasesNoteOffsAndRePhasesLoops) {
    startRunningAt(100);
    scheduler.schedule(at(101, noteOff(60), "link-looper", "link-looper-1", 8.0));
    scheduler.schedule(at(104, noteOn(60), "link-looper", "link-looper-1", 8.0));
    scheduler.schedule(at(102, noteOff(61)));
    scheduler.schedule(at(103, noteOn(62)));
    EXPECT_THAT(pollAt(100.5), IsEmpty());
    EXPECT_THAT(pollAt(100.5 - LinkBeatScheduler::kBackwardJumpToleranceBeats / 2), IsEmpty());
    lines();

    EXPECT_THAT(pollAt(2.0), ElementsAre(60, 61));
    EXPECT_THAT(lines(),
                ElementsAre("[Scheduler] Link beat moved back \xE2\x80\x94 sending 2 pending note-off(s), "
                            "re-arming 2 loop event(s)"));
    std::vector<std::pair<double, std::int64_t>> pending;
    for (const auto& e : scheduler.pendingEvents()) pending.emplace_back(e.targetBeat, e.event.note);
    // 104 ≡ 0 and 101 ≡ 5 (mod 8): the loop resumes at 8 and 5; the one-off note-on waits for 103.
    EXPECT_THAT(pending, ElementsAre(std::pair{5.0, 60}, std::pair{8.0, 60}, std::pair{103.0, 62}));
    EXPECT_EQ(scheduler.pendingEvents()[0].event.timestamp, 5.0);
    EXPECT_THAT(pollAt(5.0), ElementsAre(60));
}

// The beat moving back exactly onto a loop's phase: the loop event plays on that
// very beat, not one loop later, and its next turn is one loop after it.
TEST_F(LinkBeatSchedulerTest, ABackwardJumpOntoALoopsPhasePlaysItOnThatBeat) {
    startRunningAt(100);
    scheduler.schedule(at(104, noteOn(60), "link-looper", "link-looper-1", 8.0));
    scheduler.schedule(at(106, noteOff(60), "link-looper", "link-looper-1", 8.0));
    EXPECT_THAT(pollAt(101), IsEmpty());
    lines();
    // 104 ≡ 96 (mod 8): the note-on is due at once; the note-off was just released.
    EXPECT_THAT(pollAt(96.0), ElementsAre(60, 60));
    std::vector<std::pair<double, MIDIEventType>> pending;
    for (const auto& e : scheduler.pendingEvents()) pending.emplace_back(e.targetBeat, e.event.type);
    EXPECT_THAT(pending, ElementsAre(std::pair{98.0, MIDIEventType::noteOff},
                                     std::pair{104.0, MIDIEventType::noteOn}));
    EXPECT_THAT(pollAt(98.0), ElementsAre(60));
    EXPECT_THAT(pollAt(103.9), IsEmpty());
    EXPECT_THAT(pollAt(104.0), ElementsAre(60));
}

TEST(LinkBeatSchedulerDescriptor, NamesTypeNoteAndChannelButNotTheMorph) {
    auto event = [](MIDIEventType type, std::int64_t note, std::int64_t channel) {
        return MIDIEvent{type, note, 0, channel, 0, {}};
    };
    using T = MIDIEventType;
    EXPECT_EQ(LinkBeatScheduler::skipDescriptor(event(T::noteOn, 60, 0)), "noteOn-60-ch0");
    EXPECT_EQ(LinkBeatScheduler::skipDescriptor(event(T::noteOff, 61, 15)), "noteOff-61-ch15");
    EXPECT_EQ(LinkBeatScheduler::skipDescriptor(event(T::polyPressure, 1, 2)), "polyPressure-1-ch2");
    EXPECT_EQ(LinkBeatScheduler::skipDescriptor(event(T::cc, 64, 3)), "cc-64-ch3");
    EXPECT_EQ(LinkBeatScheduler::skipDescriptor(event(T::programChange, 5, 4)), "program-5-ch4");
    EXPECT_EQ(LinkBeatScheduler::skipDescriptor(event(T::channelPressure, 99, 5)), "pressure-ch5");
    EXPECT_EQ(LinkBeatScheduler::skipDescriptor(event(T::pitchBend, 8192, 6)), "pitchBend-8192-ch6");
    EXPECT_EQ(LinkBeatScheduler::skipDescriptor(event(T::systemExclusive, 0, 0)), "sysex");
}

// The scheduler over the real clock code and a fake session on virtual time.
TEST(LinkBeatSchedulerOnLinkClock, ReleasesOnTheBeatsOfTheSessionTimeline) {
    using namespace std::chrono_literals;
    ManualMainQueue queue;
    MemorySettingsStore settings;
    settings.set(LinkClock::kIsActiveKey, true);
    auto log = LogStore::create(queue, settings);
    auto fake = std::make_unique<velorin::test::FakeLinkSession>(queue);
    auto* session = fake.get();
    LinkClock clock(std::move(fake), *log, settings, queue);
    LinkBeatScheduler scheduler(clock, *log);

    clock.setPlaying(true);
    scheduler.schedule(at(1.0, noteOn(60)));
    scheduler.schedule(at(2.0, noteOff(60)));
    std::vector<std::pair<double, std::int64_t>> released;  // (beat, note)
    auto tick = queue.every(10ms, [&] {
        for (const auto& e : scheduler.dueEvents()) released.emplace_back(clock.currentBeat(), e.event.note);
    });
    queue.advance(1100ms);  // 120 BPM: beat 2.2
    ASSERT_EQ(released.size(), 2u);
    EXPECT_NEAR(released[0].first, 1.0, 0.02 + 1e-9);
    EXPECT_NEAR(released[1].first, 2.0, 0.02 + 1e-9);

    // The session jumps far ahead: a repeating event is re-armed in one step.
    scheduler.schedule(at(3.0, noteOn(62), "router", "r", 0.5));
    session->jumpToBeat(1e9);
    queue.advance(10ms);
    EXPECT_EQ(released.back().second, 62);
    EXPECT_EQ(scheduler.pendingEvents().at(0).targetBeat, 1e9 + 0.5);
}

}  // namespace
