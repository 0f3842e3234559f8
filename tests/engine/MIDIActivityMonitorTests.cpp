// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "engine/MIDIActivityMonitor.hpp"

using namespace velorin;

TEST(MIDIActivityMonitor, NothingIsActiveBeforeTraffic) {
    MIDIActivityMonitor monitor([] { return 100.0; });
    EXPECT_EQ(monitor.snapshot(), MIDIActivityMonitor::Snapshot{});
    MIDIActivityIndicators indicators;
    EXPECT_FALSE(indicators.refresh(monitor));
    EXPECT_FALSE(indicators.isInputActive);
    EXPECT_FALSE(indicators.isOutputActive);
}

TEST(MIDIActivityMonitor, IndicatorLightsForATenthOfASecond) {
    double now = 10.0;
    MIDIActivityMonitor monitor([&now] { return now; });
    monitor.recordInput();
    EXPECT_TRUE(MIDIActivityMonitor::isActive(monitor.snapshot().lastInputUptime, 10.099));
    EXPECT_FALSE(MIDIActivityMonitor::isActive(monitor.snapshot().lastInputUptime, 10.1));
    EXPECT_FALSE(MIDIActivityMonitor::isActive(monitor.snapshot().lastInputUptime, 10.5));
    EXPECT_FALSE(MIDIActivityMonitor::isActive(std::nullopt, 10.0));
    for (double stamp : {0.0, 0.3, 1.7, 10.0, 12345.678}) {
        EXPECT_TRUE(MIDIActivityMonitor::isActive(stamp, stamp + 0.099)) << stamp;
        EXPECT_FALSE(MIDIActivityMonitor::isActive(stamp, stamp + 0.1)) << stamp;
    }
}

TEST(MIDIActivityMonitor, IndicatorsChangeOnlyWhenAFlagFlips) {
    double now = 1.0;
    MIDIActivityMonitor monitor([&now] { return now; });
    MIDIActivityIndicators indicators;
    monitor.recordOutput();
    EXPECT_TRUE(indicators.refresh(monitor));
    EXPECT_TRUE(indicators.isOutputActive);
    EXPECT_FALSE(indicators.isInputActive);
    now = 1.05;
    EXPECT_FALSE(indicators.refresh(monitor));
    now = 1.2;
    EXPECT_TRUE(indicators.refresh(monitor));
    EXPECT_FALSE(indicators.isOutputActive);
}

TEST(MIDIActivityMonitor, StampsNeverMoveBackwards) {
    double now = 5.0;
    MIDIActivityMonitor monitor([&now] { return now; });
    monitor.recordInput();
    monitor.recordOutput();
    now = 4.0;
    monitor.recordInput();
    monitor.recordOutput();
    EXPECT_EQ(monitor.snapshot(), (MIDIActivityMonitor::Snapshot{5.0, 5.0}));
    now = 6.0;
    monitor.recordInput();
    EXPECT_EQ(monitor.snapshot(), (MIDIActivityMonitor::Snapshot{6.0, 5.0}));
}

TEST(MIDIActivityMonitor, DefaultMonitorUsesTheSystemUptime) {
    MIDIActivityMonitor monitor;
    const double before = MIDIActivityMonitor::systemUptime();
    monitor.recordInput();
    const auto stamp = monitor.snapshot().lastInputUptime;
    ASSERT_TRUE(stamp);
    EXPECT_GE(*stamp, before);
    EXPECT_LE(*stamp, MIDIActivityMonitor::systemUptime());
}

// The engine hands in the arrival and send times it read anyway: they are the
// uptime's own clock, so the lights keep their meaning; an injected clock wins.
TEST(MIDIActivityMonitor, AGivenTimeIsTheStampOnlyOnTheSystemClock) {
    MIDIActivityMonitor system;
    const auto now = std::chrono::steady_clock::now();
    const double uptime = MIDIActivityMonitor::systemUptime();
    system.recordInputAt(now);
    system.recordOutputAt(now + std::chrono::milliseconds(250));
    const auto stamps = system.snapshot();
    ASSERT_TRUE(stamps.lastInputUptime && stamps.lastOutputUptime);
    EXPECT_NEAR(*stamps.lastInputUptime, uptime, 0.05);
    EXPECT_NEAR(*stamps.lastOutputUptime - *stamps.lastInputUptime, 0.25, 1e-6);

    MIDIActivityMonitor injected([] { return 7.0; });
    injected.recordInputAt(now);
    injected.recordOutputAt(now);
    EXPECT_EQ(injected.snapshot(), (MIDIActivityMonitor::Snapshot{7.0, 7.0}));
}

TEST(MIDIActivityMonitorThreads, ConcurrentRecordsAndSnapshotsStayConsistent) {
    std::atomic<std::int64_t> ticks{0};
    MIDIActivityMonitor monitor([&ticks] { return static_cast<double>(ticks.fetch_add(1)); });
    constexpr int kPerThread = 20000;
    std::atomic<bool> done{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t) {
        writers.emplace_back([&monitor, t] {
            for (int i = 0; i < kPerThread; ++i) {
                if ((i + t) % 2 == 0) {
                    monitor.recordInput();
                } else {
                    monitor.recordOutput();
                }
            }
        });
    }
    bool monotonic = true;
    std::thread reader([&] {
        double lastIn = -1, lastOut = -1;
        while (!done.load()) {
            auto s = monitor.snapshot();
            if (s.lastInputUptime) {
                monotonic = monotonic && *s.lastInputUptime >= lastIn;
                lastIn = *s.lastInputUptime;
            }
            if (s.lastOutputUptime) {
                monotonic = monotonic && *s.lastOutputUptime >= lastOut;
                lastOut = *s.lastOutputUptime;
            }
        }
    });
    for (auto& w : writers) w.join();
    done = true;
    reader.join();
    EXPECT_TRUE(monotonic);
    // Every clock value was handed out once, so the largest is the final count − 1,
    // and it belongs to one of the two stamps.
    const double last = static_cast<double>(ticks.load() - 1);
    const auto s = monitor.snapshot();
    ASSERT_TRUE(s.lastInputUptime && s.lastOutputUptime);
    EXPECT_EQ(std::max(*s.lastInputUptime, *s.lastOutputUptime), last);
}
