// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Latency samples in microseconds, their percentiles and their benchmark counters.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <vector>

namespace velorin::bench {

struct LatencySummary {
    double p50 = 0;
    double p99 = 0;
    double max = 0;
};

inline double micros(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// Nearest-rank percentiles.
inline LatencySummary summarize(std::vector<double> samples) {
    if (samples.empty()) return {};
    std::sort(samples.begin(), samples.end());
    auto rank = [&](double p) {
        const auto index = static_cast<std::size_t>(std::ceil(p * static_cast<double>(samples.size())));
        return samples[std::max<std::size_t>(index, 1) - 1];
    };
    return {rank(0.50), rank(0.99), samples.back()};
}

// Counters "<name>_p50_us", "<name>_p99_us" and "<name>_max_us".
inline void reportLatency(benchmark::State& state, const std::string& name, const LatencySummary& summary) {
    state.counters[name + "_p50_us"] = summary.p50;
    state.counters[name + "_p99_us"] = summary.p99;
    state.counters[name + "_max_us"] = summary.max;
}

}  // namespace velorin::bench
