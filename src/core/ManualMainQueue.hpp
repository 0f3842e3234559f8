// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "core/EventLoopCore.hpp"

namespace velorin {

// A main queue on virtual time, for tests. Time moves only in advance(); due jobs
// run in time order (ties in scheduling order) with now() equal to their due
// time. Posts from any thread are picked up by advance() and runPending().
// Watched descriptors are polled without waiting whenever jobs run.
class ManualMainQueue final : public EventLoopCore {
public:
    ManualMainQueue() = default;

    TimePoint now() const override { return now_; }

    // Runs posted jobs and ready descriptors at the current time until none is left.
    void runPending();
    // Moves virtual time forward by `d`, running everything that falls due.
    void advance(Duration d);
    // Runs pending work, then advances in `step`s until `done()` holds or `limit`
    // of virtual time has passed; returns done(). For tests that wait on real
    // sockets, pass a real-time `poll` budget via `pollMs`.
    bool advanceUntil(const std::function<bool()>& done, Duration limit, Duration step, int pollMs = 0);

private:
    // Starts well away from zero so uptime stamps are positive.
    TimePoint now_ = TimePoint(std::chrono::seconds(1000));
};

}  // namespace velorin
