// SPDX-License-Identifier: GPL-3.0-or-later
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

#include "core/ManualMainQueue.hpp"
#include "link/AbletonLinkSession.hpp"
#include "link/LinkManager.hpp"
#include "support/FakeLinkSession.hpp"

using namespace std::chrono_literals;
using namespace velorin;
using ::testing::ElementsAre;
using velorin::test::FakeLinkSession;

namespace {

TEST(LinkManager, WithoutASessionEveryReadIsNeutralAndSetupCreatesOneWithoutSync) {
    ManualMainQueue queue;
    FakeLinkSession* created = nullptr;
    LinkManager manager(nullptr, [&](double bpm) {
        auto session = std::make_unique<FakeLinkSession>(queue, bpm);
        created = session.get();
        return session;
    });
    EXPECT_FALSE(manager.isEnabled());
    EXPECT_FALSE(manager.isPlaying());
    EXPECT_EQ(manager.peerCount(), 0u);
    EXPECT_EQ(manager.currentBeat(), 0.0);
    EXPECT_EQ(manager.bpm(), 0.0);
    EXPECT_EQ(manager.timeUntilBeat(1.0), std::nullopt);
    manager.enable(true);
    manager.setPlaying(true);
    manager.startAtBeatZero();
    manager.resetTimeline();
    manager.setBPM(90);
    EXPECT_FALSE(manager.hasSession());
    manager.setupWithBPM(std::nan(""));
    EXPECT_FALSE(manager.hasSession());

    manager.setupWithBPM(90);
    ASSERT_NE(created, nullptr);
    EXPECT_DOUBLE_EQ(manager.bpm(), 90.0);
    EXPECT_TRUE(created->calls.empty());  // start/stop sync is not switched on in this path

    // With a session, setup only changes the tempo.
    manager.setupWithBPM(100);
    EXPECT_DOUBLE_EQ(manager.bpm(), 100.0);
    EXPECT_THAT(created->calls, ElementsAre("commit(tempo )"));
}

TEST(LinkManager, EnableSwitchesStartStopSyncTogetherWithTheSession) {
    ManualMainQueue queue;
    auto fake = std::make_unique<FakeLinkSession>(queue);
    auto* session = fake.get();
    LinkManager manager(std::move(fake));
    EXPECT_TRUE(session->startStopSync);
    manager.enable(false);
    manager.enable(true);
    EXPECT_THAT(session->calls, ElementsAre("enableStartStopSync(true)", "enableStartStopSync(false)",
                                            "enable(false)", "enableStartStopSync(true)", "enable(true)"));
}

// The real library, never enabled: it opens no sockets.
TEST(LinkManagerOnLibrary, StartsDisabledAloneAt120AndClampsTempoTo20Through999) {
    LinkManager manager;
    ASSERT_TRUE(manager.hasSession());
    EXPECT_FALSE(manager.isEnabled());
    EXPECT_EQ(manager.peerCount(), 0u);
    EXPECT_DOUBLE_EQ(manager.bpm(), 120.0);
    EXPECT_TRUE(manager.session()->isStartStopSyncEnabled());
    manager.setBPM(10);
    EXPECT_DOUBLE_EQ(manager.bpm(), 20.0);
    manager.setBPM(2000);
    EXPECT_DOUBLE_EQ(manager.bpm(), 999.0);
    manager.setBPM(97.5);
    EXPECT_DOUBLE_EQ(manager.bpm(), 97.5);
    // The library would keep NaN (and share it with peers): it never reaches it.
    manager.setBPM(std::nan(""));
    manager.setupWithBPM(std::nan(""));
    EXPECT_DOUBLE_EQ(manager.bpm(), 97.5);
}

TEST(LinkManagerOnLibrary, TimeAtBeatInvertsBeatAtTimeToTheMicrosecond) {
    LinkManager manager;
    manager.setBPM(97.5);
    const LinkSession& session = *manager.session();
    const auto time = session.clockMicros() + 123457us;
    const double beat = session.beatAtTime(time, LinkManager::kQuantum);
    EXPECT_LE(std::chrono::abs(session.timeAtBeat(beat, LinkManager::kQuantum) - time), 1us);
    const auto until = manager.timeUntilBeat(manager.currentBeat() + 1.0);
    ASSERT_TRUE(until);
    EXPECT_LE(*until, 615385us);  // a beat at 97.5 BPM, less the time between the two reads
    EXPECT_GT(*until, 600ms);
}

TEST(LinkManagerOnLibrary, ResetWhilePlayingKeepsPlayingAtBeatZero) {
    LinkManager manager;
    manager.setPlaying(true);
    EXPECT_TRUE(manager.isPlaying());
    manager.resetTimeline();
    EXPECT_TRUE(manager.isPlaying());
    EXPECT_NEAR(manager.currentBeat(), 0.0, 0.05);
}

TEST(LinkManagerOnLibrary, StartAtBeatZeroWhileStoppedPlaysFromBeatZero) {
    LinkManager manager;
    EXPECT_FALSE(manager.isPlaying());
    manager.startAtBeatZero();
    EXPECT_TRUE(manager.isPlaying());
    EXPECT_NEAR(manager.currentBeat(), 0.0, 0.05);
}

TEST(LinkManagerOnLibrary, DisablingAlsoSwitchesStartStopSyncOff) {
    LinkManager manager;
    manager.enable(false);
    EXPECT_FALSE(manager.isEnabled());
    EXPECT_FALSE(manager.session()->isStartStopSyncEnabled());
}

}  // namespace
