// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/MIDILatencyMonitor.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <system_error>

namespace velorin {

namespace {

// Milliseconds to the microsecond, written the same whatever the locale.
std::string milliseconds(std::chrono::nanoseconds value) {
    char text[32];
    const double ms = static_cast<double>(value.count()) / 1e6;
    const auto result = std::to_chars(text, text + sizeof text, ms, std::chars_format::fixed, 3);
    return std::string(text, result.ec == std::errc{} ? result.ptr : text) + " ms";
}

}  // namespace

std::size_t MIDILatencyMonitor::bucketOf(std::uint64_t nanoseconds) noexcept {
    const std::uint64_t value = std::min<std::uint64_t>(nanoseconds, (std::uint64_t{1} << (kMaxBit + 1)) - 1);
    if (value < kSubBuckets) return static_cast<std::size_t>(value);
    const unsigned top = static_cast<unsigned>(std::bit_width(value)) - 1;  // >= kSubBucketBits
    const unsigned shift = top - kSubBucketBits;
    const std::uint64_t sub = (value >> shift) & (kSubBuckets - 1);
    return static_cast<std::size_t>((shift + 1) * kSubBuckets + sub);
}

std::uint64_t MIDILatencyMonitor::upperEdgeOf(std::size_t bucket) noexcept {
    if (bucket < kSubBuckets) return bucket;
    const std::uint64_t shift = bucket / kSubBuckets - 1;
    const std::uint64_t sub = bucket % kSubBuckets;
    return ((kSubBuckets + sub + 1) << shift) - 1;
}

std::int64_t MIDILatencyMonitor::secondOf(Clock::time_point t) noexcept {
    return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

void MIDILatencyMonitor::record(Clock::duration latency, Clock::time_point now) noexcept {
    const std::int64_t second = secondOf(now);
    Slot& slot = slots_[static_cast<std::size_t>(second) % kSlotCount];
    if (slot.second.load(std::memory_order_relaxed) != second) {
        // The slot last held a second that has left the window: start it afresh.
        slot.second.store(-1, std::memory_order_release);
        for (auto& count : slot.counts) count.store(0, std::memory_order_relaxed);
        slot.maxNanoseconds.store(0, std::memory_order_relaxed);
        slot.second.store(second, std::memory_order_release);
    }
    const auto nanoseconds =
        static_cast<std::uint64_t>(std::max<std::int64_t>(0, std::chrono::nanoseconds(latency).count()));
    // One writer: a load and a store are enough, and cheaper than a locked add.
    auto& count = slot.counts[bucketOf(nanoseconds)];
    count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    if (nanoseconds > slot.maxNanoseconds.load(std::memory_order_relaxed)) {
        slot.maxNanoseconds.store(nanoseconds, std::memory_order_relaxed);
    }
    recorded_.store(recorded_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

MIDILatencyMonitor::Summary MIDILatencyMonitor::summary(Clock::time_point now) const noexcept {
    const std::int64_t newest = secondOf(now);
    std::array<std::uint64_t, kBucketCount> counts{};
    Summary result;
    std::uint64_t maxNanoseconds = 0;
    for (const Slot& slot : slots_) {
        const std::int64_t second = slot.second.load(std::memory_order_acquire);
        if (second < 0 || second > newest || newest - second >= kWindowSeconds) continue;
        for (std::size_t i = 0; i < kBucketCount; ++i) {
            const std::uint32_t n = slot.counts[i].load(std::memory_order_relaxed);
            counts[i] += n;
            result.count += n;
        }
        maxNanoseconds = std::max(maxNanoseconds, slot.maxNanoseconds.load(std::memory_order_relaxed));
    }
    if (result.count == 0) return result;
    const auto percentile = [&](std::uint64_t perMille) {
        // The smallest bucket at or below which perMille/1000 of the events lie.
        const std::uint64_t rank = std::max<std::uint64_t>(1, (result.count * perMille + 999) / 1000);
        std::uint64_t seen = 0;
        for (std::size_t i = 0; i < kBucketCount; ++i) {
            seen += counts[i];
            if (seen >= rank) return std::min(upperEdgeOf(i), maxNanoseconds);
        }
        return maxNanoseconds;
    };
    result.p50 = std::chrono::nanoseconds(percentile(500));
    result.p99 = std::chrono::nanoseconds(percentile(990));
    result.max = std::chrono::nanoseconds(maxNanoseconds);
    return result;
}

std::string MIDILatencyMonitor::describe(const Summary& summary) {
    const std::string window = std::to_string(kWindowSeconds) + " s";
    if (summary.count == 0) return "no events in " + window;
    return "p50 " + milliseconds(summary.p50) + ", p99 " + milliseconds(summary.p99) + ", max " +
           milliseconds(summary.max) + " (" + std::to_string(summary.count) + " events in " + window + ")";
}

}  // namespace velorin
