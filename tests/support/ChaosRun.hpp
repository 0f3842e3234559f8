// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velorin::testing {

// The settings of a chaos run. Each chaos test is registered twice with
// CTest: a short run that CI takes and a long one under the label "chaos".
//
// Rounds (cycles, kills): VELORIN_CHAOS_ROUNDS, else `fallback`.
std::size_t chaosRounds(std::size_t fallback);
// Seed of the run's random choices: VELORIN_CHAOS_SEED to repeat a run, else
// a fresh one. The test prints it.
std::uint64_t chaosSeed();

// The helper program a chaos test starts: the path in `environmentVariable`
// (CTest sets it), else `name` beside the test's own executable, else empty.
std::string chaosHelperProgram(const char* environmentVariable, const std::string& name);

// What the process holds: open descriptors (/proc/self/fd), resident memory
// (/proc/self/statm, after returning free heap pages to the system) and heap
// bytes in use (mallinfo2).
struct ProcessFootprint {
    std::size_t openFDs = 0;
    std::size_t residentBytes = 0;
    std::size_t heapBytesInUse = 0;
};
ProcessFootprint currentProcessFootprint();

// Nearest-rank percentiles of measured durations, in milliseconds.
struct DurationSummary {
    std::size_t count = 0;
    double p50Ms = 0;
    double p99Ms = 0;
    double maxMs = 0;
};
DurationSummary summarize(std::vector<std::chrono::steady_clock::duration> durations);
std::string describe(const DurationSummary& summary);

// The machine's load averages over 1, 5 and 15 minutes, as uptime prints them.
std::string loadAverages();

}  // namespace velorin::testing
