// SPDX-License-Identifier: GPL-3.0-or-later
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "LinkTestLog.hpp"
#include "core/ManualMainQueue.hpp"
#include "core/MemorySettingsStore.hpp"
#include "link/LinkBeatScheduler.hpp"
#include "link/LinkClock.hpp"
#include "support/FakeLinkSession.hpp"

using namespace std::chrono_literals;
using namespace velorin;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using velorin::test::FakeLinkSession;
using velorin::test::takeLines;

namespace {

struct LinkClockTest : ::testing::Test {
    ManualMainQueue queue;
    MemorySettingsStore settings;
    std::shared_ptr<LogStore> log = LogStore::create(queue, settings);
    FakeLinkSession* session = nullptr;
    std::unique_ptr<LinkClock> clock;

    LinkClock& makeClock() {
        auto fake = std::make_unique<FakeLinkSession>(queue);
        session = fake.get();
        clock = std::make_unique<LinkClock>(std::move(fake), *log, settings, queue);
        return *clock;
    }
    // A clock that is active, with its first refresh already logged.
    LinkClock& activeClock() {
        settings.set(LinkClock::kIsActiveKey, true);
        makeClock();
        clock->refresh();
        takeLines(*log);
        return *clock;
    }
    std::vector<std::string> lines() { return takeLines(*log); }
};

TEST_F(LinkClockTest, WithNothingStoredLinkStaysDisabledAndFirstRefreshLogsOnlyDisabled) {
    makeClock();
    EXPECT_FALSE(session->enabled);
    EXPECT_THAT(session->calls, ElementsAre("enableStartStopSync(true)"));  // the wrapper's start-up
    EXPECT_THAT(lines(), IsEmpty());
    clock->refresh();
    EXPECT_THAT(lines(), ElementsAre("[Link] Disabled"));
    clock->refresh();
    EXPECT_THAT(lines(), IsEmpty());
    EXPECT_FALSE(settings.contains(LinkClock::kIsActiveKey));
}

TEST_F(LinkClockTest, StoredActiveEnablesAtConstructionAndFirstRefreshLogsStateInOrder) {
    settings.set(LinkClock::kIsActiveKey, true);
    makeClock();
    EXPECT_TRUE(session->enabled);
    EXPECT_TRUE(session->startStopSync);
    EXPECT_THAT(lines(), IsEmpty());  // nothing at construction
    clock->refresh();
    EXPECT_THAT(lines(), ElementsAre("[Link] Enabled", "[Link] Peers: 0", "[Link] Transport: stopped",
                                     "[Link] Tempo: 120.0 BPM"));
    clock->refresh();
    EXPECT_THAT(lines(), IsEmpty());
}

TEST_F(LinkClockTest, TempoIsLoggedOnlyWhenItMovesByAtLeastFiveHundredthsOfABPM) {
    activeClock();
    session->peerSetsTempo(120.04);
    clock->refresh();
    EXPECT_THAT(lines(), IsEmpty());
    session->peerSetsTempo(120.06);
    clock->refresh();
    EXPECT_THAT(lines(), ElementsAre("[Link] Tempo: 120.1 BPM"));
    // Compared against 120.06 now, not 120.0.
    session->peerSetsTempo(120.10);
    clock->refresh();
    EXPECT_THAT(lines(), IsEmpty());
    session->peerSetsTempo(120.00);
    clock->refresh();
    EXPECT_THAT(lines(), ElementsAre("[Link] Tempo: 120.0 BPM"));
}

TEST_F(LinkClockTest, ADifferenceOfExactlyFiveHundredthsFallsJustBelowTheThreshold) {
    activeClock();
    session->peerSetsTempo(120.05);
    ASSERT_LT(std::abs(120.05 - 120.00), 0.05);
    clock->refresh();
    EXPECT_THAT(lines(), IsEmpty());
}

// Switches the C library's numeric locale to one that writes a decimal comma,
// as the application framework does for a user with such a locale, and back.
// No such locale need be installed: a minimal one is built with localedef.
class CommaDecimalLocale {
public:
    CommaDecimalLocale() {
        std::error_code ignored;
        std::filesystem::create_directories(dir_, ignored);
        const std::string dir = dir_.string();
        std::ofstream(dir + "/comma.def")
            << "LC_NUMERIC\ndecimal_point \"<U002C>\"\nthousands_sep \"\"\ngrouping -1\n"
               "END LC_NUMERIC\n";
        const std::string command =
            "localedef -c -i '" + dir + "/comma.def' '" + dir + "/comma' >/dev/null 2>&1";
        if (std::system(command.c_str()) == -1) return;
        if (const char* current = std::setlocale(LC_NUMERIC, nullptr)) previous_ = current;
        ::setenv("LOCPATH", dir.c_str(), 1);
        active_ = std::setlocale(LC_NUMERIC, "comma") != nullptr;
    }
    ~CommaDecimalLocale() {
        std::setlocale(LC_NUMERIC, previous_.c_str());
        ::unsetenv("LOCPATH");
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    CommaDecimalLocale(const CommaDecimalLocale&) = delete;
    CommaDecimalLocale& operator=(const CommaDecimalLocale&) = delete;
    bool active() const { return active_; }

private:
    const std::filesystem::path dir_ =
        std::filesystem::path(::testing::TempDir()) / ("velorin-comma-locale-" + std::to_string(::getpid()));
    std::string previous_ = "C";
    bool active_ = false;
};

TEST_F(LinkClockTest, TempoLineKeepsADecimalPointUnderAUserLocaleWithADecimalComma) {
    CommaDecimalLocale locale;
    if (!locale.active()) GTEST_SKIP() << "could not build a locale with a decimal comma (localedef)";
    char printed[16];
    std::snprintf(printed, sizeof printed, "%.1f", 2.5);
    ASSERT_STREQ(printed, "2,5");  // the locale really is in effect
    activeClock();
    session->peerSetsTempo(133.25);
    clock->refresh();
    session->peerSetsTempo(98.76);
    clock->refresh();
    clock->setActive(true);
    EXPECT_THAT(lines(),
                ElementsAre("[Link] Tempo: 133.2 BPM", "[Link] Tempo: 98.8 BPM", "[Link] Tempo: 98.8 BPM"));
}

TEST_F(LinkClockTest, ActivatingWhileActiveStillForcesTheTempoLine) {
    activeClock();
    clock->setActive(true);
    EXPECT_THAT(lines(), ElementsAre("[Link] Tempo: 120.0 BPM"));
    session->peerSetsTempo(120.01);
    clock->refresh(true);
    EXPECT_THAT(lines(), ElementsAre("[Link] Tempo: 120.0 BPM"));
}

TEST_F(LinkClockTest, DeactivationPersistsSwitchesSyncOffAndReactivationLogsPeersAndTransportAgain) {
    makeClock();
    clock->refresh();
    lines();
    clock->setActive(true);
    EXPECT_EQ(settings.boolValue(LinkClock::kIsActiveKey), true);
    EXPECT_THAT(lines(), ElementsAre("[Link] Enabled", "[Link] Peers: 0", "[Link] Transport: stopped",
                                     "[Link] Tempo: 120.0 BPM"));
    session->calls.clear();
    clock->setActive(false);
    EXPECT_THAT(session->calls, ElementsAre("enableStartStopSync(false)", "enable(false)"));
    EXPECT_FALSE(session->startStopSync);
    EXPECT_EQ(settings.boolValue(LinkClock::kIsActiveKey), false);
    EXPECT_THAT(lines(), ElementsAre("[Link] Disabled"));

    session->calls.clear();
    clock->setActive(true);
    EXPECT_THAT(session->calls, ElementsAre("enableStartStopSync(true)", "enable(true)"));
    EXPECT_THAT(lines(), ElementsAre("[Link] Enabled", "[Link] Peers: 0", "[Link] Transport: stopped",
                                     "[Link] Tempo: 120.0 BPM"));
}

TEST_F(LinkClockTest, PeerAndTransportChangesAreLoggedOnce) {
    activeClock();
    session->peers = 2;
    session->playing = true;
    clock->refresh();
    EXPECT_THAT(lines(), ElementsAre("[Link] Peers: 2", "[Link] Transport: playing"));
    clock->refresh();
    EXPECT_THAT(lines(), IsEmpty());
    EXPECT_EQ(clock->peerCount(), 2u);
    EXPECT_TRUE(clock->isTransportRunning());
}

TEST_F(LinkClockTest, ResetIsRefusedWhilePeersAreConnected) {
    activeClock();
    session->peers = 1;
    clock->refresh();
    lines();
    const int commits = session->commits;
    EXPECT_FALSE(clock->canResetTimeline());
    clock->resetTimeline();
    EXPECT_EQ(session->commits, commits);
    EXPECT_FALSE(clock->restartAtBeatZero());
    EXPECT_THAT(lines(), IsEmpty());
}

TEST_F(LinkClockTest, ResetWhileStoppedMakesTheNextStartBeginAtBeatZeroOnce) {
    activeClock();
    queue.advance(3s);
    clock->resetTimeline();
    EXPECT_TRUE(clock->restartAtBeatZero());
    EXPECT_NEAR(clock->currentBeat(), 0.0, 1e-9);
    EXPECT_THAT(lines(), ElementsAre("[Link] Local timeline reset"));

    queue.advance(1500ms);  // the timeline runs on while stopped: beat 3
    session->calls.clear();
    clock->setPlaying(true);
    EXPECT_THAT(session->calls, ElementsAre("commit(play beat=0.000000 )"));  // one commit
    EXPECT_TRUE(clock->isPlaying());
    EXPECT_NEAR(clock->currentBeat(), 0.0, 1e-9);
    EXPECT_FALSE(clock->restartAtBeatZero());
    EXPECT_THAT(lines(), ElementsAre("[Link] Transport: playing"));

    // A second stop/play cycle without reset is an ordinary start.
    queue.advance(1s);
    clock->setPlaying(false);
    queue.advance(1s);
    session->calls.clear();
    clock->setPlaying(true);
    EXPECT_THAT(session->calls, ElementsAre("commit(play )"));
    EXPECT_NEAR(clock->currentBeat(), 4.0, 1e-9);
}

TEST_F(LinkClockTest, ResetWhilePlayingKeepsPlayingAndTheNextStartIsOrdinary) {
    activeClock();
    clock->setPlaying(true);
    queue.advance(2s);
    lines();
    clock->resetTimeline();
    EXPECT_TRUE(clock->isPlaying());
    EXPECT_FALSE(clock->restartAtBeatZero());
    EXPECT_NEAR(clock->currentBeat(), 0.0, 1e-9);
    EXPECT_THAT(lines(), ElementsAre("[Link] Local timeline reset"));
    clock->setPlaying(false);
    session->calls.clear();
    clock->setPlaying(true);
    EXPECT_THAT(session->calls, ElementsAre("commit(play )"));
}

TEST_F(LinkClockTest, ArmedRestartBecomesAnOrdinaryStartWhenAPeerJoinedAndIsCleared) {
    activeClock();
    clock->resetTimeline();
    ASSERT_TRUE(clock->restartAtBeatZero());
    session->peers = 1;
    session->calls.clear();
    clock->setPlaying(true);
    EXPECT_THAT(session->calls, ElementsAre("commit(play )"));
    EXPECT_FALSE(clock->restartAtBeatZero());
}

TEST_F(LinkClockTest, StoppingLeavesAnArmedRestartInPlace) {
    activeClock();
    clock->resetTimeline();
    clock->setPlaying(false);
    EXPECT_TRUE(clock->restartAtBeatZero());
}

TEST_F(LinkClockTest, PlayWhileInactiveActivatesPersistsAndStartsTheTransport) {
    makeClock();
    clock->refresh();
    lines();
    clock->togglePlayback();
    EXPECT_TRUE(clock->isActive());
    EXPECT_TRUE(clock->isPlaying());
    EXPECT_EQ(settings.boolValue(LinkClock::kIsActiveKey), true);
    EXPECT_THAT(lines(), ElementsAre("[Link] Enabled", "[Link] Peers: 0", "[Link] Transport: stopped",
                                     "[Link] Tempo: 120.0 BPM", "[Link] Transport: playing"));
    clock->togglePlayback();
    EXPECT_FALSE(clock->isPlaying());
    EXPECT_THAT(lines(), ElementsAre("[Link] Transport: stopped"));
}

TEST_F(LinkClockTest, ObserversAreToldOnlyWhenWhatTheWindowShowsChanges) {
    activeClock();
    int changes = 0;
    auto subscription = clock->observe([&] { ++changes; });
    clock->refresh();
    EXPECT_EQ(changes, 0);
    session->peers = 1;
    clock->refresh();
    EXPECT_EQ(changes, 1);
    session->peerSetsTempo(121.0);
    clock->refresh();
    EXPECT_EQ(changes, 2);
    clock->refresh();
    clock->refresh();
    EXPECT_EQ(changes, 2);
    clock->setActive(false);
    EXPECT_EQ(changes, 3);
}

TEST(LinkClockScheduler, SchedulerOverTheClockHoldsEventsWhileLinkIsInactive) {
    ManualMainQueue queue;
    MemorySettingsStore settings;
    auto log = LogStore::create(queue, settings);
    LinkClock clock(std::make_unique<FakeLinkSession>(queue), *log, settings, queue);
    LinkBeatScheduler scheduler(clock, *log);
    scheduler.schedule(
        ScheduledMIDIEvent{MIDIEvent::noteOnEvent(60, 1, 0), 0.0, "router", "outputs", {}, {}});
    EXPECT_TRUE(scheduler.dueEvents().empty());  // Link inactive: held
}

}  // namespace
