// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>

#include "core/EventLoopCore.hpp"

namespace velorin {

// A real main queue on the monotonic clock and ppoll(2), for tools and
// integration tests that run without Qt, and the engine thread's loop. post()
// wakes the loop through an eventfd, only while the loop waits: a job posted
// while it runs (by its own thread above all) is seen before the next wait.
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
    // Runs what is due, then waits for a descriptor, a post, the next timer or
    // `deadline`, but at most a second.
    void runOnce(std::optional<TimePoint> deadline);
    void signalWakeFD();
    int wakeFD_ = -1;
    std::atomic<bool> stopRequested_{false};
    // Set from just before the loop's last look for posted jobs until its
    // wait ends; a poster that sees it clear knows the loop will see the job.
    std::atomic<bool> waiting_{false};
};

}  // namespace velorin
