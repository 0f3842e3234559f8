// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/ChaosRun.hpp"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>

namespace velorin::testing {

namespace {
std::optional<std::uint64_t> environmentNumber(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return std::nullopt;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (end == nullptr || *end != '\0') return std::nullopt;
    return value;
}
}  // namespace

std::size_t chaosRounds(std::size_t fallback) {
    const auto rounds = environmentNumber("VELORIN_CHAOS_ROUNDS");
    return rounds && *rounds > 0 ? static_cast<std::size_t>(*rounds) : fallback;
}

std::uint64_t chaosSeed() {
    if (const auto seed = environmentNumber("VELORIN_CHAOS_SEED")) return *seed;
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) | device();
}

std::string chaosHelperProgram(const char* environmentVariable, const std::string& name) {
    if (const char* path = std::getenv(environmentVariable); path != nullptr && *path != '\0') return path;
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    const auto sibling = self.parent_path() / name;
    return ::access(sibling.c_str(), X_OK) == 0 ? sibling.string() : std::string();
}

ProcessFootprint currentProcessFootprint() {
    ProcessFootprint footprint;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        ++footprint.openFDs;
    }
    --footprint.openFDs;  // the directory iterator's own descriptor
    ::malloc_trim(0);
    std::ifstream statm("/proc/self/statm");
    std::size_t size = 0;
    std::size_t resident = 0;
    statm >> size >> resident;
    footprint.residentBytes = resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const struct mallinfo2 info = ::mallinfo2();
    footprint.heapBytesInUse = info.uordblks + info.hblkhd;
    return footprint;
}

DurationSummary summarize(std::vector<std::chrono::steady_clock::duration> durations) {
    DurationSummary summary;
    summary.count = durations.size();
    if (durations.empty()) return summary;
    std::sort(durations.begin(), durations.end());
    const auto at = [&](double fraction) {
        const auto rank =
            static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(durations.size())));
        const auto& d = durations[std::clamp<std::size_t>(rank, 1, durations.size()) - 1];
        return std::chrono::duration<double, std::milli>(d).count();
    };
    summary.p50Ms = at(0.50);
    summary.p99Ms = at(0.99);
    summary.maxMs = at(1.0);
    return summary;
}

std::string describe(const DurationSummary& summary) {
    char text[160];
    std::snprintf(text, sizeof text, "%zu measured: p50 %.1f ms, p99 %.1f ms, max %.1f ms", summary.count,
                  summary.p50Ms, summary.p99Ms, summary.maxMs);
    return text;
}

std::string loadAverages() {
    std::ifstream loadavg("/proc/loadavg");
    std::string one;
    std::string five;
    std::string fifteen;
    loadavg >> one >> five >> fifteen;
    return one + ", " + five + ", " + fifteen;
}

}  // namespace velorin::testing
