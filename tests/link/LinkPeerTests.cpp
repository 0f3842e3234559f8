// SPDX-License-Identifier: GPL-3.0-or-later
// Two real Link sessions discovering each other over the loopback interface of
// a private network namespace (see run-in-netns.sh). Outside such a namespace
// every test here refuses to enable Link and skips.
#include <ableton/Link.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>

#include "LinkTestLog.hpp"
#include "NetworkIsolation.hpp"
#include "core/MemorySettingsStore.hpp"
#include "core/PollMainQueue.hpp"
#include "link/AbletonLinkSession.hpp"
#include "link/LinkClock.hpp"
#include "log/LogStore.hpp"

using namespace std::chrono_literals;
using namespace velorin;
using ::testing::Contains;
using ::testing::Not;
using velorin::test::takeLines;

namespace {

// Enables the second (peer) session under the same rule as our own.
bool enablePeerIfIsolated(ableton::Link& peer, std::string& reason) {
    if (auto refusal = test::isolationRefusal()) {
        reason = *refusal;
        return false;
    }
    if (!test::bringLoopbackUp()) {
        reason = "cannot bring \"lo\" up";
        return false;
    }
    peer.enableStartStopSync(true);
    peer.enable(true);
    return true;
}

TEST(NetworkIsolationGuard, AcceptsOnlyALoneLoopbackInterface) {
    EXPECT_FALSE(test::isolationRefusal(std::vector<std::string>{"lo"}));
    EXPECT_TRUE(test::isolationRefusal(std::vector<std::string>{}));
    EXPECT_TRUE(test::isolationRefusal(std::vector<std::string>{"eth0"}));
    EXPECT_TRUE(test::isolationRefusal(std::vector<std::string>{"eth0", "lo"}));
    EXPECT_TRUE(test::isolationRefusal(std::vector<std::string>{"lo", "veth1"}));
}

TEST(NetworkIsolationGuard, RefusesToEnableLinkInTheMachinesOwnNamespace) {
    const auto interfaces = test::visibleNetworkInterfaces();
    if (interfaces == std::vector<std::string>{"lo"}) {
        GTEST_SKIP() << "this process already runs in an isolated namespace; nothing to refuse";
    }
    PollMainQueue queue;
    MemorySettingsStore settings;
    auto log = LogStore::create(queue, settings);
    LinkClock clock(AbletonLinkSession::create(120.0), *log, settings, queue);
    std::string reason;
    EXPECT_FALSE(test::activateLinkIfIsolated(clock, reason));
    EXPECT_THAT(reason, ::testing::HasSubstr("refusing to enable Link"));
    EXPECT_FALSE(clock.isActive());
    EXPECT_FALSE(settings.contains(LinkClock::kIsActiveKey));

    ableton::Link peer(120.0);
    EXPECT_FALSE(enablePeerIfIsolated(peer, reason));
    EXPECT_FALSE(peer.isEnabled());
}

struct LinkPeers : ::testing::Test {
    PollMainQueue queue;
    MemorySettingsStore settings;
    std::shared_ptr<LogStore> log = LogStore::create(queue, settings);
    LinkClock clock{AbletonLinkSession::create(120.0), *log, settings, queue};
    ableton::Link peer{120.0};
    // Keeps the loop waking up so waits re-check their condition.
    TaskHandle ticker = queue.every(2ms, [] {});

    void SetUp() override {
        std::string reason;
        if (!test::activateLinkIfIsolated(clock, reason) || !enablePeerIfIsolated(peer, reason)) {
            GTEST_SKIP() << reason << " (run this test through run-in-netns.sh)";
        }
    }
    void TearDown() override {
        peer.enable(false);
        clock.setActive(false);
    }
    // The limit is far above what discovery and the session's updates take on an
    // idle machine: a loaded one slows the test down but does not fail it.
    bool waitFor(const std::function<bool()>& done, MainQueue::Duration limit = 15s) {
        return queue.runFor(limit, done);
    }
    bool peerIsPlaying() { return peer.captureAppSessionState().isPlaying(); }
    void peerSetsPlaying(bool playing) {
        auto state = peer.captureAppSessionState();
        state.setIsPlaying(playing, peer.clock().micros());
        peer.commitAppSessionState(state);
    }
};

TEST_F(LinkPeers, TwoSessionsFindEachOtherFollowTempoShareTransportAndRefuseReset) {
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitFor([&] { return clock.peerCount() == 1 && peer.numPeers() == 1; }))
        << "peers seen: ours " << clock.peerCount() << ", theirs " << peer.numPeers();
    const auto discovery =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    std::printf("Link peer discovery took %.1f ms\n", static_cast<double>(discovery.count()) / 1000.0);
    RecordProperty("peer_discovery_us", static_cast<int>(discovery.count()));
    clock.refresh();
    EXPECT_THAT(takeLines(*log), Contains("[Link] Peers: 1"));

    // Our side follows the tempo the peer sets (sent as microseconds per beat).
    {
        auto state = peer.captureAppSessionState();
        state.setTempo(133.0, peer.clock().micros());
        peer.commitAppSessionState(state);
    }
    ASSERT_TRUE(waitFor([&] { return std::abs(clock.tempo() - 133.0) < 0.001; }))
        << "tempo " << clock.tempo();
    clock.refresh();
    EXPECT_THAT(takeLines(*log), Contains("[Link] Tempo: 133.0 BPM"));

    // Start and stop travel both ways.
    peerSetsPlaying(true);
    ASSERT_TRUE(waitFor([&] { return clock.isPlaying(); }));
    clock.refresh();
    EXPECT_THAT(takeLines(*log), Contains("[Link] Transport: playing"));
    clock.setPlaying(false);
    ASSERT_TRUE(waitFor([&] { return !peerIsPlaying(); }));
    clock.setPlaying(true);
    ASSERT_TRUE(waitFor([&] { return peerIsPlaying(); }));

    // A reset would shift the shared timeline: refused while the peer is there.
    // Let the shared timeline move well away from beat 0 on both sides.
    ASSERT_TRUE(waitFor([&] {
        return clock.currentBeat() > 1.0 &&
               peer.captureAppSessionState().beatAtTime(peer.clock().micros(), 4.0) > 1.0;
    }));
    EXPECT_FALSE(clock.canResetTimeline());
    clock.resetTimeline();
    const double ours = clock.currentBeat();
    const double theirs = peer.captureAppSessionState().beatAtTime(peer.clock().micros(), 4.0);
    EXPECT_GT(ours, 1.0);
    EXPECT_NEAR(ours, theirs, 0.1);
    EXPECT_FALSE(clock.restartAtBeatZero());
    EXPECT_THAT(takeLines(*log), Not(Contains("[Link] Local timeline reset")));

    // Leaving: the peer sees us go.
    clock.setActive(false);
    EXPECT_TRUE(waitFor([&] { return peer.numPeers() == 0; }));
}

}  // namespace
