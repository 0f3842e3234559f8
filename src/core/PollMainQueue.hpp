// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>

#include "core/EventLoopCore.hpp"

namespace velorin {

// A real main queue on the monotonic clock and ppoll(2), for tools and
// integration tests that run without Qt. post() wakes the loop through an eventfd.
class PollMainQueue final : public EventLoopCore {
public:
    PollMainQueue();
    ~PollMainQueue() override;

    TimePoint now() const override { return Clock::now(); }

    // Runs until stop() is called (from any thread, or from a job).
    void run();
    // Runs for at most `d`, or until `done()` holds when given. Returns done() (true without it).
    bool runFor(Duration d, const std::function<bool()>& done = {});
    void stop();

protected:
    void wakeUp() override;

private:
    void runOnce(TimePoint deadline);
    int wakeFD_ = -1;
    std::atomic<bool> stopRequested_{false};
};

}  // namespace velorin
