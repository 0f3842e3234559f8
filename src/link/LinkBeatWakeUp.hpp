// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <functional>
#include <optional>

#include "core/MainQueue.hpp"

namespace velorin {

class LinkBeatScheduler;
class LinkBeatSchedulingClock;

// Wakes the beat scheduler's owner when the first queued event falls due, if
// that comes before the owner's next regular poll: a poll every `pollInterval`
// alone lets an event leave up to one interval late. The owner calls update()
// after each poll and whenever the queue's head, the tempo or the timeline may
// have changed; the wake-up then calls `onWake`, where the owner polls the
// scheduler and calls update() again. The scheduler itself compares beats, so
// a wake only has to come on time: one that comes a hair early (the beat's time
// is rounded to microseconds) releases nothing and is followed by another a
// little later. Engine thread only.
class LinkBeatWakeUp {
public:
    using Duration = MainQueue::Duration;
    using TimePoint = MainQueue::TimePoint;

    // An armed time this close to the wanted one is kept, so a poll that finds
    // the head where it was leaves the wake-up alone.
    static constexpr Duration kRearmTolerance = std::chrono::microseconds(5);
    // After a wake for a beat that is still queued, the next wake for that beat
    // comes this much later at the earliest, twice as long each further time
    // up to kMaxRetryDelay: a clock that keeps answering "now" costs a handful
    // of wakes, never a spin.
    static constexpr Duration kFirstRetryDelay = std::chrono::microseconds(20);
    static constexpr Duration kMaxRetryDelay = std::chrono::seconds(1);

    LinkBeatWakeUp(MainQueue& queue, const LinkBeatScheduler& scheduler, const LinkBeatSchedulingClock& clock,
                   Duration pollInterval, std::function<void()> onWake);
    LinkBeatWakeUp(const LinkBeatWakeUp&) = delete;
    LinkBeatWakeUp& operator=(const LinkBeatWakeUp&) = delete;

    // Arms the wake-up for the head of the scheduler's queue when the clock is
    // running and the head falls due within one poll interval; moves it when
    // the head's time changed; cancels it otherwise. When nothing is due
    // within the interval it only reads the clock and compares, without allocating.
    void update();
    // Cancels an armed wake-up (the transport or its owner stopped).
    void cancel();
    // When the armed wake-up fires, if one is armed.
    std::optional<TimePoint> armedFor() const { return armedAt_; }

private:
    void fire();

    MainQueue& queue_;
    const LinkBeatScheduler& scheduler_;
    const LinkBeatSchedulingClock& clock_;
    Duration pollInterval_;
    std::function<void()> onWake_;
    TaskHandle armed_;
    std::optional<TimePoint> armedAt_;
    double armedBeat_ = 0;
    // The last wake: the beat it came for, when, and the least delay before
    // another for the same beat.
    std::optional<double> wokeForBeat_;
    TimePoint wokeAt_{};
    Duration retryDelay_{};
};

}  // namespace velorin
