// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "EngineTestSupport.hpp"
#include "engine/MIDILatencyMonitor.hpp"

using namespace std::chrono_literals;
using velorin::MIDILatencyMonitor;

namespace {

const MIDILatencyMonitor::Clock::time_point kStart{1000s};

TEST(MIDILatencyMonitor, PercentilesWithinTheResolutionAndTheMaximumExact) {
    MIDILatencyMonitor monitor;
    EXPECT_EQ(MIDILatencyMonitor::describe(monitor.summary(kStart)), "no events in 10 s");
    for (int i = 0; i < 980; ++i) monitor.record(100us, kStart + 1ms * i);
    for (int i = 0; i < 19; ++i) monitor.record(5ms, kStart + 2s);
    monitor.record(5300us, kStart + 3s);
    monitor.record(-1us, kStart + 3s);  // clocks read out of order: zero

    const auto summary = monitor.summary(kStart + 3s);
    EXPECT_EQ(summary.count, 1001u);
    EXPECT_GE(summary.p50, 100us);
    EXPECT_LE(summary.p50, 107us);  // 1/16 of an octave above
    EXPECT_GE(summary.p99, 5ms);
    EXPECT_LE(summary.p99, 5300us);
    EXPECT_EQ(summary.max, 5300us);
    EXPECT_EQ(MIDILatencyMonitor::describe(MIDILatencyMonitor::Summary{1234, 120us, 400us, 1300us}),
              "p50 0.120 ms, p99 0.400 ms, max 1.300 ms (1234 events in 10 s)");
}

TEST(MIDILatencyMonitor, EventsLeaveTheSummaryAfterTenSecondsAndTheirSlotStartsAfresh) {
    MIDILatencyMonitor monitor;
    monitor.record(9ms, kStart);
    monitor.record(1ms, kStart + 5s);
    EXPECT_EQ(monitor.summary(kStart + 9s).count, 2u);
    EXPECT_EQ(monitor.summary(kStart + 9s).max, 9ms);

    const auto later = monitor.summary(kStart + 10s);
    EXPECT_EQ(later.count, 1u);
    EXPECT_EQ(later.max, 1ms);

    // Eleven seconds on, the first second's slot is filled again, without its old events.
    monitor.record(2ms, kStart + 11s);
    const auto reused = monitor.summary(kStart + 11s);
    EXPECT_EQ(reused.count, 2u);
    EXPECT_EQ(reused.max, 2ms);
    EXPECT_EQ(monitor.summary(kStart + 30s).count, 0u);
}

TEST(MIDILatencyMonitor, SummariesMayBeReadWhileTheEngineRecords) {
    MIDILatencyMonitor monitor;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 200000; ++i) monitor.record(50us, kStart + 100us * i);
        done = true;
    });
    std::uint64_t lastCount = 0;
    while (!done) {
        const auto summary = monitor.summary(kStart + 25s);
        EXPECT_LE(summary.max, 50us);
        lastCount = summary.count;
    }
    writer.join();
    EXPECT_LE(lastCount, 200000u);
    EXPECT_EQ(monitor.summary(kStart + 20s - 1ns).count, 100000u);  // the last ten seconds' events
}

TEST(MIDIEngineLatency, EachSendOfAnInputRecordsTheTimeSinceItsArrivalAndLogAllSaysSoOnceASecond) {
    MIDILatencyMonitor latency;
    velorin::testing::EngineHarness h(true, &latency);
    h.engine->start();
    h.engine->setInputAssignment(true, "in-a", "router", "inputs");
    h.engine->setOutputAssignment(true, "out-a", "router", "outputs");
    h.engine->setOutputAssignment(true, "out-c", "router", "outputs");
    const auto packets = velorin::testing::packet({0x90, 60, 100});

    h.engine->handleInput(packets, "in-a", "Keys", MIDILatencyMonitor::Clock::now() - 3ms);
    EXPECT_EQ(latency.recordedCount(), 2u);  // one per output reached
    const auto summary = latency.summary(MIDILatencyMonitor::Clock::now());
    EXPECT_GE(summary.p50, 3ms);
    EXPECT_LT(summary.max, 10s);
    h.engine->handleInput(packets, "in-a", "Keys");  // no arrival known: nothing recorded
    EXPECT_EQ(latency.recordedCount(), 2u);

    const auto latencyLines = [&h] {
        long n = 0;
        for (const auto& line : h.takeLines())
            n += line.starts_with("[MIDI] Hub latency, last 10 s: p50 ") ? 1 : 0;
        return n;
    };
    h.queue.advance(1s);
    EXPECT_EQ(latencyLines(), 0);  // only while every event is logged
    h.log->toggleLoggingAllMIDIEvents();
    h.engine->handleInput(packets, "in-a", "Keys", MIDILatencyMonitor::Clock::now());
    h.queue.advance(1s);
    EXPECT_EQ(latencyLines(), 1);
    h.queue.advance(3s);
    EXPECT_EQ(latencyLines(), 0);  // nothing sent since
}

}  // namespace
