// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/MIDIClockTempoEstimator.hpp"

#include <bit>
#include <cmath>

namespace velorin {

void MIDIClockTempoEstimator::reset() {
    head_ = 0;
    count_ = 0;
    slope_ = 0;
    intercept_ = 0;
    outlierHistory_ = 0;
}

void MIDIClockTempoEstimator::restartAt(TimePoint time) {
    reset();
    origin_ = time;
    push(0, 0);
}

void MIDIClockTempoEstimator::push(std::int64_t index, double seconds) {
    ticks_[head_] = {index, seconds};
    head_ = (head_ + 1) % kWindowTicks;
    if (count_ < kWindowTicks) ++count_;
    fit();
}

void MIDIClockTempoEstimator::fit() {
    if (count_ < 2) return;
    // Centred sums keep the arithmetic exact enough over long runs.
    double meanIndex = 0;
    double meanSeconds = 0;
    for (std::size_t i = 0; i < count_; ++i) {
        meanIndex += static_cast<double>(ticks_[i].index);
        meanSeconds += ticks_[i].seconds;
    }
    meanIndex /= static_cast<double>(count_);
    meanSeconds /= static_cast<double>(count_);
    double sxx = 0;
    double sxy = 0;
    for (std::size_t i = 0; i < count_; ++i) {
        const double dx = static_cast<double>(ticks_[i].index) - meanIndex;
        sxx += dx * dx;
        sxy += dx * (ticks_[i].seconds - meanSeconds);
    }
    if (sxx <= 0) return;
    slope_ = sxy / sxx;
    intercept_ = meanSeconds - slope_ * meanIndex;
}

bool MIDIClockTempoEstimator::addTick(TimePoint time) {
    if (count_ == 0) {
        restartAt(time);
        return true;
    }
    const Tick& last = ticks_[(head_ + kWindowTicks - 1) % kWindowTicks];
    const double seconds = std::chrono::duration<double>(time - origin_).count();
    const double sinceLast = seconds - last.seconds;
    if (!(sinceLast > 0) || sinceLast > kMaxTickSeconds * 2.5) {
        // Time went back, or too long a gap to be a tick or two of this clock.
        restartAt(time);
        return false;
    }
    if (count_ == 1) {
        if (sinceLast < kMinTickSeconds || sinceLast > kMaxTickSeconds) {
            restartAt(time);
            return false;
        }
        push(last.index + 1, seconds);
        return true;
    }
    // Where the line puts this tick, in ticks after the last one kept.
    const double predicted = (seconds - (intercept_ + slope_ * static_cast<double>(last.index))) / slope_;
    const double steps = std::round(predicted);
    const bool onGrid = std::abs(predicted - steps) <= kTolerance;
    // A lost tick is believed only once the line stands on enough ticks.
    const bool plausible = steps == 1 || (steps == 2 && count_ >= kMinTicksForEstimate);
    const bool kept = onGrid && plausible;
    constexpr std::uint32_t historyMask = (1u << kOutlierHistoryTicks) - 1;
    outlierHistory_ = ((outlierHistory_ << 1) | (kept ? 0u : 1u)) & historyMask;
    if (kept) {
        push(last.index + static_cast<std::int64_t>(steps), seconds);
        // Ticks creeping a little faster (or slower) each time can lead the
        // line out of any tempo a session can take: start again.
        if (slope_ < kMinTickSeconds || slope_ > kMaxTickSeconds) restartAt(time);
        return true;
    }
    if (std::popcount(outlierHistory_) >= kOutliersBeforeRestart) restartAt(time);
    return false;
}

std::optional<double> MIDIClockTempoEstimator::tickSeconds() const {
    if (count_ < 2 || !(slope_ > 0)) return std::nullopt;
    return slope_;
}

std::optional<double> MIDIClockTempoEstimator::bpm() const {
    if (count_ < kMinTicksForEstimate || !(slope_ > 0)) return std::nullopt;
    return 60.0 / (slope_ * 24.0);
}

}  // namespace velorin
