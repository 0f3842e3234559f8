// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace velorin {

// The latency the hub adds: for each event, the time from its arrival (the
// MIDI service reader's receipt of the bytes, or a USB frame's arrival) to the
// return of the send call that carried it to an output. Summaries cover the
// last ten seconds: the 50th and 99th percentile and the maximum.
//
// record() belongs to the one thread that sends (the engine's); it neither
// allocates nor locks, and costs a few nanoseconds beyond the clock read.
// summary() may be called from any thread at any time: it reads the counters
// without stopping the writer, so a summary taken while a second rolls over
// may miss a few events, which a readout can afford.
class MIDILatencyMonitor {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kWindowSeconds = 10;

    struct Summary {
        std::uint64_t count = 0;
        std::chrono::nanoseconds p50{0};
        std::chrono::nanoseconds p99{0};
        std::chrono::nanoseconds max{0};
        friend bool operator==(const Summary&, const Summary&) = default;
    };

    MIDILatencyMonitor() = default;
    MIDILatencyMonitor(const MIDILatencyMonitor&) = delete;
    MIDILatencyMonitor& operator=(const MIDILatencyMonitor&) = delete;

    // Sending thread only. A negative latency (clocks of two threads read
    // out of order) counts as zero.
    void record(Clock::duration latency, Clock::time_point now) noexcept;
    // Any thread. Events recorded in the ten seconds up to `now`; percentiles
    // are accurate to about 6 % (the histogram's resolution), never above the maximum.
    Summary summary(Clock::time_point now) const noexcept;
    // Any thread. Every event recorded so far.
    std::uint64_t recordedCount() const noexcept { return recorded_.load(std::memory_order_relaxed); }

    // "p50 0.120 ms, p99 0.400 ms, max 1.300 ms (1234 events in 10 s)", or
    // "no events in 10 s".
    static std::string describe(const Summary& summary);

private:
    // Log-linear buckets: 16 per power of two of nanoseconds, up to about 18 minutes.
    static constexpr unsigned kSubBucketBits = 4;
    static constexpr std::uint64_t kSubBuckets = 1u << kSubBucketBits;
    static constexpr unsigned kMaxBit = 40;
    static constexpr std::size_t kBucketCount = (kMaxBit - kSubBucketBits + 2) * kSubBuckets;
    // One more than the window: the slot being filled and the ten before it.
    static constexpr std::size_t kSlotCount = kWindowSeconds + 1;

    struct Slot {
        std::atomic<std::int64_t> second{-1};
        std::atomic<std::uint64_t> maxNanoseconds{0};
        std::array<std::atomic<std::uint32_t>, kBucketCount> counts{};
    };

    static std::size_t bucketOf(std::uint64_t nanoseconds) noexcept;
    // The largest latency a bucket holds.
    static std::uint64_t upperEdgeOf(std::size_t bucket) noexcept;
    static std::int64_t secondOf(Clock::time_point t) noexcept;

    std::array<Slot, kSlotCount> slots_{};
    std::atomic<std::uint64_t> recorded_{0};
};

}  // namespace velorin
