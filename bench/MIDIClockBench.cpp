// SPDX-License-Identifier: GPL-3.0-or-later
// MIDI clock figures. Out: how far each tick's send time lies from the time
// the Link timeline gives for its beat, for the sender woken by the poll
// loop's precise wake-up, next to a bare thread sleeping until the same times
// (the floor the kernel sets), in one run. In: after how many beats the tempo
// estimate stays within ±0.1 BPM of a jittered steady clock, and its error
// once settled, next to the plain average of the last beat's tick intervals.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "LatencySamples.hpp"
#include "core/ManualMainQueue.hpp"
#include "core/MemorySettingsStore.hpp"
#include "core/PollMainQueue.hpp"
#include "link/LinkManager.hpp"
#include "link/MIDIClockSender.hpp"
#include "link/MIDIClockTempoEstimator.hpp"
#include "log/LogStore.hpp"

using namespace std::chrono_literals;
using namespace velorin;

namespace {

// The library's local timeline (never enabled: no sockets), transport running.
struct LibraryTimeline final : LinkBeatSchedulingClock {
    explicit LibraryTimeline(const LinkManager& m) : manager(m) {}
    const LinkManager& manager;
    bool isActive() const override { return true; }
    bool isPlaying() const override { return manager.isPlaying(); }
    double currentBeat() const override { return manager.currentBeat(); }
    std::optional<std::chrono::microseconds> timeUntilBeat(double beat) const override {
        return manager.timeUntilBeat(beat);
    }
};

// Ticks at 120 BPM for state.range(0) seconds. Error = the library clock when
// the tick is handed to the send path − the library time of its beat, in µs
// (the library's clock and timeAtBeat() are both whole microseconds).
void BM_MIDIClockSendError_EngineWakeUpVsBareSleep(benchmark::State& state) {
    const auto seconds = static_cast<int>(state.range(0));
    for (auto _ : state) {
        PollMainQueue queue;
        MemorySettingsStore settings;
        auto log = LogStore::create(queue, settings);
        LinkManager manager;
        manager.setPlaying(true);
        LibraryTimeline timeline(manager);
        const LinkSession& session = *manager.session();

        std::vector<double> errors;
        std::vector<std::chrono::microseconds> idealTimes;
        errors.reserve(static_cast<std::size_t>(seconds) * 48 + 64);
        const std::size_t wanted = static_cast<std::size_t>(seconds) * 48;
        std::optional<double> tick;
        MIDIClockSender sender(queue, timeline, *log, [&](const MIDIEvent& message, MIDIClockAudience) {
            if (message.note != 0xF8) return;
            const auto now = session.clockMicros();
            // The first is the tick nearest to now; the timeline never jumps
            // here, so each further one is the next.
            tick = tick ? *tick + 1 : std::round(session.beatAtTime(now, LinkManager::kQuantum) * 24);
            const auto ideal = session.timeAtBeat(*tick / 24, LinkManager::kQuantum);
            errors.push_back(static_cast<double>((now - ideal).count()));
            idealTimes.push_back(ideal);
            if (errors.size() >= wanted) queue.stop();
        });
        sender.setRunning(true);
        queue.runFor(std::chrono::seconds(seconds + 2));
        sender.setRunning(false);
        if (errors.size() < 2) {
            state.SkipWithError("no ticks");
            return;
        }
        errors.erase(errors.begin());  // the first is sent at once, whenever the run began

        // The floor: a thread doing nothing else sleeps until each tick's time
        // again, one run of the same length later.
        const auto start = std::chrono::steady_clock::now() + 500ms;
        std::vector<double> floorErrors;
        floorErrors.reserve(idealTimes.size());
        for (std::size_t i = 1; i < idealTimes.size(); ++i) {
            const auto target = start + (idealTimes[i] - idealTimes.front());
            const auto sinceBoot =
                std::chrono::duration_cast<std::chrono::nanoseconds>(target.time_since_epoch());
            const timespec until{static_cast<time_t>(sinceBoot.count() / 1'000'000'000),
                                 static_cast<long>(sinceBoot.count() % 1'000'000'000)};
            while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
            }
            floorErrors.push_back(bench::micros(std::chrono::steady_clock::now() - target));
        }

        const auto ours = bench::summarize(errors);
        const auto floor = bench::summarize(floorErrors);
        bench::reportLatency(state, "clock", ours);
        bench::reportLatency(state, "sleep_floor", floor);
        state.counters["ticks"] = static_cast<double>(errors.size());
        state.counters["clock_min_us"] = *std::min_element(errors.begin(), errors.end());
        state.counters["p99_ratio_to_floor"] = floor.p99 > 0 ? ours.p99 / floor.p99 : 0;
    }
}
BENCHMARK(BM_MIDIClockSendError_EngineWakeUpVsBareSleep)
    ->Arg(30)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

// The plain estimate the line is measured against: the mean tick interval over the last beat.
struct MeanOfLastBeat {
    std::vector<double> times;
    void add(double t) {
        times.push_back(t);
        if (times.size() > 25) times.erase(times.begin());
    }
    std::optional<double> bpm() const {
        if (times.size() < 13) return std::nullopt;
        return 60.0 / ((times.back() - times.front()) / static_cast<double>(times.size() - 1) * 24);
    }
};

// state.range(0) BPM with ±0.5 ms uniform jitter, 200 runs of 12 beats, each
// with its own seed. "Settled" = the beat count after which every later
// estimate of the run is within ±0.1 BPM; error = |estimate − tempo| over the
// last 4 beats of every run.
void BM_MIDIClockInSettle(benchmark::State& state) {
    const auto bpm = static_cast<double>(state.range(0));
    constexpr int kRuns = 200;
    constexpr int kBeats = 12;
    for (auto _ : state) {
        std::vector<double> settleLine;
        std::vector<double> settleMean;
        std::vector<double> errorLine;
        std::vector<double> errorMean;
        for (int run = 0; run < kRuns; ++run) {
            std::mt19937 random(static_cast<unsigned>(run) + 1);
            std::uniform_real_distribution<double> jitter(-0.0005, 0.0005);
            ManualMainQueue queue;
            const auto origin = queue.now();
            MIDIClockTempoEstimator line;
            MeanOfLastBeat mean;
            double lastOutLine = 0;
            double lastOutMean = 0;
            const int ticks = kBeats * 24;
            for (int n = 0; n < ticks; ++n) {
                const double t = n * 60.0 / bpm / 24 + jitter(random) + 0.001;
                const auto at = origin + std::chrono::duration_cast<MainQueue::Duration>(
                                             std::chrono::duration<double>(t));
                line.addTick(at);
                mean.add(t);
                const double beat = static_cast<double>(n + 1) / 24;
                const auto l = line.bpm();
                const auto m = mean.bpm();
                if (!l || std::abs(*l - bpm) > 0.1) lastOutLine = beat;
                if (!m || std::abs(*m - bpm) > 0.1) lastOutMean = beat;
                if (n >= ticks - 4 * 24) {
                    if (l) errorLine.push_back(std::abs(*l - bpm));
                    if (m) errorMean.push_back(std::abs(*m - bpm));
                }
            }
            settleLine.push_back(lastOutLine);
            settleMean.push_back(lastOutMean);
        }
        const auto sl = bench::summarize(settleLine);
        const auto sm = bench::summarize(settleMean);
        const auto el = bench::summarize(errorLine);
        const auto em = bench::summarize(errorMean);
        state.counters["settle_beats_p50"] = sl.p50;
        state.counters["settle_beats_max"] = sl.max;
        state.counters["runs_settled_in_2_beats"] =
            static_cast<double>(
                std::count_if(settleLine.begin(), settleLine.end(), [](double b) { return b <= 2.0; })) /
            kRuns;
        state.counters["mean_settle_beats_p50"] = sm.p50;
        state.counters["mean_settle_beats_max"] = sm.max;
        state.counters["settled_error_bpm_p99"] = el.p99;
        state.counters["settled_error_bpm_max"] = el.max;
        state.counters["mean_settled_error_bpm_p99"] = em.p99;
        state.counters["error_p99_ratio_to_mean"] = em.p99 > 0 ? el.p99 / em.p99 : 0;
    }
}
BENCHMARK(BM_MIDIClockInSettle)->Arg(60)->Arg(120)->Arg(240)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
