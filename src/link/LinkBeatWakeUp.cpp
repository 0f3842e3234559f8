// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/LinkBeatWakeUp.hpp"

#include <algorithm>
#include <utility>

#include "link/LinkBeatScheduler.hpp"
#include "link/LinkBeatSchedulingClock.hpp"

namespace velorin {

LinkBeatWakeUp::LinkBeatWakeUp(MainQueue& queue, const LinkBeatScheduler& scheduler,
                               const LinkBeatSchedulingClock& clock, Duration pollInterval,
                               std::function<void()> onWake)
    : queue_(queue),
      scheduler_(scheduler),
      clock_(clock),
      pollInterval_(pollInterval),
      onWake_(std::move(onWake)) {}

void LinkBeatWakeUp::update() {
    const auto head = scheduler_.firstTargetBeat();
    if (!head || !clock_.isActive() || !clock_.isPlaying()) return cancel();
    const auto until = clock_.timeUntilBeat(*head);
    // Due no earlier than the next poll: the poll releases it.
    if (!until || *until >= pollInterval_) return cancel();

    const TimePoint now = queue_.now();
    TimePoint wanted = now + std::max<Duration>(*until, Duration::zero());
    if (wokeForBeat_ == *head) {
        // The last wake came for this beat and it is still queued.
        wanted = std::max(wanted, wokeAt_ + retryDelay_);
        if (wanted - now >= pollInterval_) return cancel();
    }
    if (armedAt_ && std::chrono::abs(wanted - *armedAt_) <= kRearmTolerance) return;
    armedBeat_ = *head;
    armedAt_ = wanted;
    armed_ = queue_.postAtPrecisely(wanted, [this] { fire(); });
}

void LinkBeatWakeUp::cancel() {
    armed_.cancel();
    armedAt_.reset();
}

void LinkBeatWakeUp::fire() {
    armed_.release();  // the one-shot job has run
    armedAt_.reset();
    retryDelay_ = wokeForBeat_ == armedBeat_ ? std::min(retryDelay_ * 2, kMaxRetryDelay) : kFirstRetryDelay;
    wokeForBeat_ = armedBeat_;
    wokeAt_ = queue_.now();
    onWake_();
}

}  // namespace velorin
