// The beat scheduler's poll and insert costs, and how late beat-scheduled
// events leave when the poll runs on a 10 ms timer against the Link library's
// own (never enabled) timeline.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "log/LogStore.hpp"
#include "core/ManualMainQueue.hpp"
#include "core/MemorySettingsStore.hpp"
#include "core/PollMainQueue.hpp"
#include "link/AbletonLinkSession.hpp"
#include "link/LinkBeatScheduler.hpp"
#include "link/LinkManager.hpp"

using namespace std::chrono_literals;
using namespace velorin;

namespace {

struct RunningClock final : LinkBeatSchedulingClock {
    double beat = 0;
    bool isActive() const override { return true; }
    bool isPlaying() const override { return true; }
    double currentBeat() const override { return beat; }
};

// The library's local timeline, transport running, as the engine's tick sees it.
struct LibraryTimelineClock final : LinkBeatSchedulingClock {
    explicit LibraryTimelineClock(const LinkManager& m) : manager(m) {}
    const LinkManager& manager;
    bool isActive() const override { return true; }  // never enabled: the local timeline stands in
    bool isPlaying() const override { return manager.isPlaying(); }
    double currentBeat() const override { return manager.currentBeat(); }
};

struct Fixture {
    ManualMainQueue queue;
    MemorySettingsStore settings;
    std::shared_ptr<LogStore> log = LogStore::create(queue, settings);
};

ScheduledMIDIEvent eventAt(double beat) {
    return ScheduledMIDIEvent{MIDIEvent::noteOnEvent(60, 100, 0), beat, "router", "outputs", std::nullopt, std::nullopt};
}

// Polls once untimed (the start path), then times the steady poll, reusing one
// output vector as the engine's tick does.
void timePolls(benchmark::State& state, LinkBeatScheduler& scheduler) {
    std::vector<ScheduledMIDIEvent> due;
    scheduler.collectDueEvents(due);
    for (auto _ : state) {
        due.clear();
        scheduler.collectDueEvents(due);
        benchmark::DoNotOptimize(due.data());
    }
}

void fill(LinkBeatScheduler& scheduler, std::size_t count, double from, std::mt19937& random) {
    std::uniform_real_distribution<double> beats(from, from + 1000.0);
    for (std::size_t i = 0; i < count; ++i) scheduler.schedule(eventAt(beats(random)));
}

void BM_DueEvents_EmptyQueue(benchmark::State& state) {
    Fixture f;
    RunningClock clock;
    LinkBeatScheduler scheduler(clock, *f.log);
    timePolls(state, scheduler);
}
BENCHMARK(BM_DueEvents_EmptyQueue);

void BM_DueEvents_EmptyQueue_LibraryTimeline(benchmark::State& state) {
    Fixture f;
    LinkManager manager;  // the library, never enabled
    manager.setPlaying(true);
    LibraryTimelineClock clock(manager);
    LinkBeatScheduler scheduler(clock, *f.log);
    timePolls(state, scheduler);
}
BENCHMARK(BM_DueEvents_EmptyQueue_LibraryTimeline);

void BM_DueEvents_10000Pending(benchmark::State& state) {
    Fixture f;
    RunningClock clock;
    LinkBeatScheduler scheduler(clock, *f.log);
    std::mt19937 random(1);
    fill(scheduler, 10000, 100.0, random);
    timePolls(state, scheduler);
    state.counters["pending"] = static_cast<double>(scheduler.pendingCount());
}
BENCHMARK(BM_DueEvents_10000Pending);

// Every poll releases one event out of 10,000 pending (and one is added back).
void BM_DueEvents_10000Pending_OneDue(benchmark::State& state) {
    Fixture f;
    RunningClock clock;
    LinkBeatScheduler scheduler(clock, *f.log);
    for (int i = 0; i < 10000; ++i) scheduler.schedule(eventAt(1.0 + i));
    std::vector<ScheduledMIDIEvent> due;
    scheduler.collectDueEvents(due);
    double next = 10001.0;
    for (auto _ : state) {
        clock.beat += 1.0;
        due.clear();
        scheduler.collectDueEvents(due);
        scheduler.schedule(eventAt(next));
        next += 1.0;
        benchmark::DoNotOptimize(due.data());
    }
}
BENCHMARK(BM_DueEvents_10000Pending_OneDue);

void BM_Schedule_Into10000(benchmark::State& state) {
    Fixture f;
    RunningClock clock;
    LinkBeatScheduler scheduler(clock, *f.log);
    std::mt19937 random(2);
    fill(scheduler, 10000, 0.0, random);
    std::uniform_real_distribution<double> beats(0.0, 1000.0);
    std::vector<double> targets(4096);
    for (auto& t : targets) t = beats(random);
    std::size_t i = 0;
    for (auto _ : state) {
        scheduler.schedule(eventAt(targets[i++ & 4095]));
        if (scheduler.pendingCount() >= 11000) {
            state.PauseTiming();
            scheduler.removeAllEvents();
            fill(scheduler, 10000, 0.0, random);
            state.ResumeTiming();
        }
    }
}
BENCHMARK(BM_Schedule_Into10000);

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size()))) - 1;
    return values[std::min(index, values.size() - 1)];
}

// Sixteenth notes at 120 BPM for 10 s, released by a 10 ms tick on the real
// clock. Lateness = the moment of release − the Link time of the target beat.
void BM_BeatScheduledTimingError_10msTick(benchmark::State& state) {
    for (auto _ : state) {
        PollMainQueue queue;
        MemorySettingsStore settings;
        auto log = LogStore::create(queue, settings);
        LinkManager manager;  // the library, never enabled: no sockets
        manager.setPlaying(true);
        LibraryTimelineClock clock(manager);
        LinkBeatScheduler scheduler(clock, *log);
        const LinkSession& session = *manager.session();

        const auto t0 = session.clockMicros();
        const double b0 = session.beatAtTime(t0, LinkManager::kQuantum);
        const double microsPerBeat = 60e6 / manager.bpm();
        auto timeOfBeat = [&](double beat) { return static_cast<double>(t0.count()) + (beat - b0) * microsPerBeat; };

        const double first = std::ceil((b0 + 0.5) * 4.0) / 4.0;
        constexpr int kEvents = 80;  // 10 s of sixteenths at 120 BPM
        for (int i = 0; i < kEvents; ++i) scheduler.schedule(eventAt(first + 0.25 * i));
        scheduler.dueEvents();  // the start path, nothing due yet

        std::vector<double> latenessMs;
        latenessMs.reserve(kEvents);
        std::vector<ScheduledMIDIEvent> due;
        auto tick = queue.every(10ms, [&] {
            due.clear();
            scheduler.collectDueEvents(due);
            const auto released = static_cast<double>(session.clockMicros().count());
            for (const auto& e : due) latenessMs.push_back((released - timeOfBeat(e.targetBeat)) / 1000.0);
        });
        queue.runFor(12s, [&] { return latenessMs.size() >= static_cast<std::size_t>(kEvents); });
        tick.cancel();

        if (latenessMs.empty()) {
            state.SkipWithError("no event was released");
            return;
        }
        state.counters["events"] = static_cast<double>(latenessMs.size());
        state.counters["p50_late_ms"] = percentile(latenessMs, 0.50);
        state.counters["p99_late_ms"] = percentile(latenessMs, 0.99);
        state.counters["max_late_ms"] = *std::max_element(latenessMs.begin(), latenessMs.end());
        state.counters["min_late_ms"] = *std::min_element(latenessMs.begin(), latenessMs.end());
    }
}
BENCHMARK(BM_BeatScheduledTimingError_10msTick)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
