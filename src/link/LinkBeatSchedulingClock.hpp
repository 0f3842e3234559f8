#pragma once

namespace velorin {

// The beat source the beat scheduler is written against.
class LinkBeatSchedulingClock {
public:
    virtual ~LinkBeatSchedulingClock() = default;
    virtual bool isActive() const = 0;
    virtual bool isPlaying() const = 0;
    // Beats (quarter notes), phase-aligned to a bar of 4.
    virtual double currentBeat() const = 0;
};

}  // namespace velorin
