// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/ManualMainQueue.hpp"

namespace velorin {

void ManualMainQueue::runPending() {
    for (int guard = 0; guard < 100000; ++guard) {
        bool ran = runPosted();
        ran = pollWatches(Duration::zero()) || ran;
        ran = runOneTimer(now_, [this](TimePoint t) { now_ = std::max(now_, t); }) || ran;
        if (!ran) return;
    }
}

void ManualMainQueue::advance(Duration d) {
    const TimePoint target = now_ + d;
    runPending();
    while (runOneTimer(target, [this](TimePoint t) { now_ = std::max(now_, t); })) {
        runPending();
    }
    now_ = target;
    runPending();
}

bool ManualMainQueue::advanceUntil(const std::function<bool()>& done, Duration limit, Duration step,
                                   int pollMs) {
    runPending();
    const TimePoint end = now_ + limit;
    while (!done() && now_ < end) {
        if (pollMs > 0 && !hasPosted()) pollWatches(std::chrono::milliseconds(pollMs));
        advance(step);
    }
    return done();
}

}  // namespace velorin
