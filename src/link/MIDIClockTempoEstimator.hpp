// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/MainQueue.hpp"

namespace velorin {

// The tempo of an incoming MIDI clock: a least-squares line through the
// arrival times of the last two beats of ticks (time against tick number), so
// jitter of single ticks averages out. The line spans the last four beats of
// ticks (one to four: it starts again when the tempo jumps). A tick far from where the line puts the
// next one is left out — an extra tick, or one delayed by more than a quarter
// of a tick; one where the line puts the tick after next counts as a tick lost
// on the way. Three such ticks among the last eight mean the tempo really
// moved: the line starts again from the latest tick. Fixed storage; no allocation. Engine
// thread only.
class MIDIClockTempoEstimator {
public:
    using TimePoint = MainQueue::TimePoint;

    static constexpr std::size_t kWindowTicks = 96;
    // An estimate is given from this many ticks on (half a beat).
    static constexpr std::size_t kMinTicksForEstimate = 12;
    static constexpr double kTolerance = 0.25;  // of one tick's interval
    static constexpr int kOutliersBeforeRestart = 3;
    static constexpr int kOutlierHistoryTicks = 8;
    // Tick intervals outside the tempo range Link accepts (20–999 BPM) restart the line.
    static constexpr double kMinTickSeconds = 60.0 / 999.0 / 24.0;
    static constexpr double kMaxTickSeconds = 60.0 / 20.0 / 24.0;

    // Takes one tick; false when it was left out.
    bool addTick(TimePoint time);
    void reset();

    // BPM, once kMinTicksForEstimate ticks are in the line.
    std::optional<double> bpm() const;
    // Seconds per tick as the line says (none before a second tick).
    std::optional<double> tickSeconds() const;
    std::size_t tickCount() const { return count_; }

private:
    struct Tick {
        std::int64_t index = 0;
        double seconds = 0;  // since origin_
    };
    void push(std::int64_t index, double seconds);
    void fit();
    void restartAt(TimePoint time);

    std::array<Tick, kWindowTicks> ticks_{};
    std::size_t head_ = 0;  // where the next tick goes
    std::size_t count_ = 0;
    TimePoint origin_{};
    double slope_ = 0;      // seconds per tick
    double intercept_ = 0;  // seconds at index 0
    // One bit per tick received lately, newest lowest: set when it was left out.
    std::uint32_t outlierHistory_ = 0;
};

}  // namespace velorin
