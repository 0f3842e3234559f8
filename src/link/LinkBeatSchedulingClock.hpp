// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <optional>

namespace velorin {

// The beat source the beat scheduler is written against.
class LinkBeatSchedulingClock {
public:
    virtual ~LinkBeatSchedulingClock() = default;
    virtual bool isActive() const = 0;
    virtual bool isPlaying() const = 0;
    // Beats (quarter notes), phase-aligned to a bar of 4.
    virtual double currentBeat() const = 0;
    // How long until currentBeat() reaches `beat` (negative once it has
    // passed), or none when the clock cannot tell; then nothing wakes up for a
    // beat ahead of the scheduler's poll.
    virtual std::optional<std::chrono::microseconds> timeUntilBeat(double /*beat*/) const {
        return std::nullopt;
    }
};

}  // namespace velorin
