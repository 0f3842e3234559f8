// SPDX-License-Identifier: GPL-3.0-or-later
// The beat scheduler's poll and insert costs, how late beat-scheduled events
// leave against the Link library's own (never enabled) timeline when the poll
// runs on a 10 ms timer, with and without the precise wake-up, on the poll loop
// and on the Qt event loop (next to how late a bare sleeping thread wakes),
// what the wake-up adds to a poll, and how late the poll loop's events leave
// beside two busy processes at normal and at realtime priority.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "AllocationCounter.hpp"
#include "core/ManualMainQueue.hpp"
#include "core/MemorySettingsStore.hpp"
#include "core/PollMainQueue.hpp"
#include "link/AbletonLinkSession.hpp"
#include "link/LinkBeatScheduler.hpp"
#include "link/LinkBeatWakeUp.hpp"
#include "link/LinkManager.hpp"
#include "log/LogStore.hpp"

#if VELORIN_BENCH_REALTIME
#include "platform/linux/RealtimePriority.hpp"
#endif

#if VELORIN_BENCH_QT
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include "platform/qt/QtMainQueue.hpp"
#endif

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
    std::optional<std::chrono::microseconds> timeUntilBeat(double beat) const override {
        return manager.timeUntilBeat(beat);
    }
};

struct Fixture {
    ManualMainQueue queue;
    MemorySettingsStore settings;
    std::shared_ptr<LogStore> log = LogStore::create(queue, settings);
};

ScheduledMIDIEvent eventAt(double beat) {
    return ScheduledMIDIEvent{
        MIDIEvent::noteOnEvent(60, 100, 0), beat, "router", "outputs", std::nullopt, std::nullopt};
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

// What update() adds to the engine's poll when nothing falls due before the
// next one: 10,000 events queued from 100 beats ahead on the library's running
// timeline. Each iteration times 1,000 polls alone, then 1,000 polls each
// followed by update(), so both see the same machine state. Counters in ns per
// poll, and the allocations update() made per call.
void BM_PollAndWakeUpUpdate_10000Pending(benchmark::State& state) {
    Fixture f;
    LinkManager manager;  // the library, never enabled
    manager.setPlaying(true);
    LibraryTimelineClock clock(manager);
    LinkBeatScheduler scheduler(clock, *f.log);
    std::mt19937 random(3);
    fill(scheduler, 10000, manager.currentBeat() + 100.0, random);
    LinkBeatWakeUp wakeUp(f.queue, scheduler, clock, 10ms, [] {});
    std::vector<ScheduledMIDIEvent> due;
    scheduler.collectDueEvents(due);  // the start path

    constexpr int kBatch = 1000;
    using Clock = std::chrono::steady_clock;
    Clock::duration pollAlone{};
    Clock::duration pollAndUpdate{};
    std::size_t allocationsAlone = 0;
    std::size_t allocationsWithUpdate = 0;
    for (auto _ : state) {
        const auto allocations0 = bench::allocationCount();
        const auto t0 = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            due.clear();
            scheduler.collectDueEvents(due);
            benchmark::DoNotOptimize(due.data());
        }
        const auto t1 = Clock::now();
        const auto allocations1 = bench::allocationCount();
        for (int i = 0; i < kBatch; ++i) {
            due.clear();
            scheduler.collectDueEvents(due);
            wakeUp.update();
            benchmark::DoNotOptimize(due.data());
        }
        const auto t2 = Clock::now();
        const auto allocations2 = bench::allocationCount();
        pollAlone += t1 - t0;
        pollAndUpdate += t2 - t1;
        allocationsAlone += allocations1 - allocations0;
        allocationsWithUpdate += allocations2 - allocations1;
    }
    const double polls = static_cast<double>(state.iterations()) * kBatch;
    const auto perPoll = [&](Clock::duration d) {
        return std::chrono::duration<double, std::nano>(d).count() / polls;
    };
    state.counters["poll_ns"] = perPoll(pollAlone);
    state.counters["poll_update_ns"] = perPoll(pollAndUpdate);
    state.counters["added_ns"] = perPoll(pollAndUpdate) - perPoll(pollAlone);
    state.counters["update_allocs"] =
        (static_cast<double>(allocationsWithUpdate) - static_cast<double>(allocationsAlone)) / polls;
    state.counters["armed"] = wakeUp.armedFor() ? 1 : 0;
    state.counters["pending"] = static_cast<double>(scheduler.pendingCount());
}
BENCHMARK(BM_PollAndWakeUpUpdate_10000Pending);

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size()))) - 1;
    return values[std::min(index, values.size() - 1)];
}

// The main loops the lateness is measured on; run() returns at stop() or
// after `limit`.
struct PollLoop {
    PollMainQueue queue;
    void run(MainQueue::Duration limit) { queue.runFor(limit); }
    void stop() { queue.stop(); }
};

#if VELORIN_BENCH_QT
struct QtLoop {
    QtMainQueue queue;
    QEventLoop* running = nullptr;
    void run(MainQueue::Duration limit) {
        QEventLoop loop;
        running = &loop;
        QTimer::singleShot(std::chrono::duration_cast<std::chrono::milliseconds>(limit), &loop,
                           &QEventLoop::quit);
        loop.exec();
        running = nullptr;
    }
    void stop() {
        if (running != nullptr) running->quit();
    }
};
#endif

// Sixteenth notes at 120 BPM for 10 s, released by a 10 ms tick on the real
// clock, and with `withWakeUp` also by the precise wake-up the tick keeps up
// to date. Lateness = the moment of release − the Link time of the target
// beat, in ms; `wakes` counts the wake-ups that fired. Runs the loop on the
// calling thread.
struct LatenessRun {
    std::vector<double> latenessMs;
    std::size_t wakes = 0;
};

template <typename Loop>
LatenessRun runLateness(bool withWakeUp) {
    constexpr auto kTick = 10ms;
    Loop loop;
    MainQueue& queue = loop.queue;
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
    auto timeOfBeat = [&](double beat) {
        return static_cast<double>(t0.count()) + (beat - b0) * microsPerBeat;
    };

    const double first = std::ceil((b0 + 0.5) * 4.0) / 4.0;
    constexpr int kEvents = 80;  // 10 s of sixteenths at 120 BPM
    for (int i = 0; i < kEvents; ++i) scheduler.schedule(eventAt(first + 0.25 * i));
    scheduler.dueEvents();  // the start path, nothing due yet

    LatenessRun run;
    run.latenessMs.reserve(kEvents);
    std::vector<ScheduledMIDIEvent> due;
    std::optional<LinkBeatWakeUp> wakeUp;
    auto poll = [&] {
        due.clear();
        scheduler.collectDueEvents(due);
        const auto released = static_cast<double>(session.clockMicros().count());
        for (const auto& e : due) run.latenessMs.push_back((released - timeOfBeat(e.targetBeat)) / 1000.0);
        if (wakeUp) wakeUp->update();
        if (run.latenessMs.size() >= static_cast<std::size_t>(kEvents)) loop.stop();
    };
    if (withWakeUp) {
        wakeUp.emplace(queue, scheduler, clock, kTick, [&] {
            ++run.wakes;
            poll();
        });
        wakeUp->update();
    }
    auto tick = queue.every(kTick, poll);
    loop.run(12s);
    tick.cancel();
    if (wakeUp) wakeUp->cancel();
    return run;
}

template <typename Loop>
void measureLateness(benchmark::State& state, bool withWakeUp) {
    for (auto _ : state) {
        const LatenessRun run = runLateness<Loop>(withWakeUp);
        const std::vector<double>& latenessMs = run.latenessMs;
        if (latenessMs.empty()) {
            state.SkipWithError("no event was released");
            return;
        }
        state.counters["events"] = static_cast<double>(latenessMs.size());
        state.counters["p50_late_ms"] = percentile(latenessMs, 0.50);
        state.counters["p99_late_ms"] = percentile(latenessMs, 0.99);
        state.counters["max_late_ms"] = *std::max_element(latenessMs.begin(), latenessMs.end());
        state.counters["min_late_ms"] = *std::min_element(latenessMs.begin(), latenessMs.end());
        state.counters["wakes"] = static_cast<double>(run.wakes);
    }
}

// The floor under the figures above, in the same run: how late the kernel
// wakes a thread that sleeps until each of the same 80 times, with nothing else
// to do.
void BM_SleepUntilLateness_Floor(benchmark::State& state) {
    constexpr int kTimes = 80;
    for (auto _ : state) {
        std::vector<double> latenessMs;
        const auto first = std::chrono::steady_clock::now() + 250ms;
        for (int i = 0; i < kTimes; ++i) {
            const auto target = first + i * 125ms;
            const auto sinceBoot =
                std::chrono::duration_cast<std::chrono::nanoseconds>(target.time_since_epoch());
            const timespec until{static_cast<time_t>(sinceBoot.count() / 1'000'000'000),
                                 static_cast<long>(sinceBoot.count() % 1'000'000'000)};
            while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
            }
            latenessMs.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - target).count());
        }
        state.counters["p50_late_ms"] = percentile(latenessMs, 0.50);
        state.counters["p99_late_ms"] = percentile(latenessMs, 0.99);
        state.counters["max_late_ms"] = *std::max_element(latenessMs.begin(), latenessMs.end());
        state.counters["min_late_ms"] = *std::min_element(latenessMs.begin(), latenessMs.end());
    }
}
BENCHMARK(BM_SleepUntilLateness_Floor)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_BeatScheduledTimingError_Poll(benchmark::State& state, bool withWakeUp) {
    measureLateness<PollLoop>(state, withWakeUp);
}
BENCHMARK_CAPTURE(BM_BeatScheduledTimingError_Poll, 10msTick, false)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_BeatScheduledTimingError_Poll, 10msTickAndWakeUp, true)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

#if VELORIN_BENCH_REALTIME
// Processes that keep a core busy at normal priority until they are killed.
class Spinners {
public:
    explicit Spinners(int count) {
        for (int i = 0; i < count; ++i) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                volatile std::uint64_t turns = 0;
                for (;;) turns = turns + 1;
            }
            if (pid > 0) pids_.push_back(pid);
        }
    }
    ~Spinners() {
        for (const pid_t pid : pids_) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    Spinners(const Spinners&) = delete;
    Spinners& operator=(const Spinners&) = delete;
    std::size_t count() const { return pids_.size(); }

private:
    std::vector<pid_t> pids_;
};

// The poll-loop lateness (10 ms tick and wake-up) on a thread of its own,
// raised to SCHED_FIFO first when `realtime`.
struct ThreadLateness {
    LatenessRun run;
    RealtimePriority priority;
};

ThreadLateness latenessOnThread(bool realtime) {
    ThreadLateness out;
    std::thread worker([&] {
        if (realtime) out.priority = RealtimePriority::request(RealtimeThread::current(), 20);
        out.run = runLateness<PollLoop>(true);
    });
    worker.join();
    return out;
}

// The same measurement under load, twice in one run: two busy processes at
// normal priority beside it throughout, first with the loop's thread at normal
// priority, then with it raised to SCHED_FIFO 20 (directly or through
// RealtimeKit; the run fails when neither grants it). Counters in µs:
// normal_* and fifo_* (p50, p99, max late), p50_ratio and p99_ratio = fifo /
// normal, and the priority obtained.
void BM_BeatScheduledTimingError_PollUnderLoad(benchmark::State& state) {
    for (auto _ : state) {
        const Spinners load(2);
        if (load.count() != 2) {
            state.SkipWithError("could not start the busy processes");
            return;
        }
        const ThreadLateness normal = latenessOnThread(false);
        const ThreadLateness fifo = latenessOnThread(true);
        if (fifo.priority.method == RealtimePriority::Method::none) {
            state.SkipWithError(fifo.priority.logLine("the measuring thread").c_str());
            return;
        }
        if (normal.run.latenessMs.empty() || fifo.run.latenessMs.empty()) {
            state.SkipWithError("no event was released");
            return;
        }
        const auto report = [&](const std::string& name, const std::vector<double>& latenessMs) {
            const double p50 = percentile(latenessMs, 0.50) * 1000.0;
            const double p99 = percentile(latenessMs, 0.99) * 1000.0;
            state.counters[name + "_p50_late_us"] = p50;
            state.counters[name + "_p99_late_us"] = p99;
            state.counters[name + "_max_late_us"] =
                *std::max_element(latenessMs.begin(), latenessMs.end()) * 1000.0;
            state.counters[name + "_events"] = static_cast<double>(latenessMs.size());
        };
        report("normal", normal.run.latenessMs);
        report("fifo", fifo.run.latenessMs);
        state.counters["p50_ratio"] =
            percentile(fifo.run.latenessMs, 0.50) / percentile(normal.run.latenessMs, 0.50);
        state.counters["p99_ratio"] =
            percentile(fifo.run.latenessMs, 0.99) / percentile(normal.run.latenessMs, 0.99);
        state.counters["fifo_priority"] = fifo.priority.priority;
    }
}
BENCHMARK(BM_BeatScheduledTimingError_PollUnderLoad)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
#endif

#if VELORIN_BENCH_QT
void BM_BeatScheduledTimingError_Qt(benchmark::State& state, bool withWakeUp) {
    measureLateness<QtLoop>(state, withWakeUp);
}
BENCHMARK_CAPTURE(BM_BeatScheduledTimingError_Qt, 10msTick, false)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_BeatScheduledTimingError_Qt, 10msTickAndWakeUp, true)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
#endif

}  // namespace

// The Qt loop's runs need an application object on the main thread.
int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
#if VELORIN_BENCH_QT
    QCoreApplication app(argc, argv);
#endif
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
