// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/EventLoopCore.hpp"
#include "core/PriorityInheritanceMutex.hpp"

namespace velorin {

// A real main queue on the monotonic clock and ppoll(2), for tools and
// integration tests that run without Qt, and the engine thread's loop. post()
// wakes the loop through an eventfd, only while the loop waits: a job posted
// while it runs (by its own thread above all) is seen before the next wait.
// When its only descriptor belongs to a blocking reader, the loop sleeps in
// that reader instead; posts and stop() then wake it through the reader, and
// a thread of the queue's own wakes it when the next timer falls due.
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
    bool setBlockingReader(std::optional<BlockingReader> reader) override;

protected:
    void wakeUp() override;

private:
    // Runs what is due, then waits for a descriptor, a post, the next timer or
    // `deadline`, but at most a second.
    void runOnce(std::optional<TimePoint> deadline);
    void signalWakeFD();
    // Calls the blocking reader's `wake`, when there is a reader.
    void wakeReader();
    // Starts the timer thread on first use; whether it runs at the loop's priority.
    bool timerThreadKeepsTime();
    // Has the timer thread wake the reader at `due` (none: never).
    void armTimer(std::optional<TimePoint> due);
    void timerLoop();
    int wakeFD_ = -1;
    // Changed on the queue's thread under `readerMutex_`, which a caller of
    // its `wake` on any other thread holds.
    std::optional<BlockingReader> reader_;
    PriorityInheritanceMutex readerMutex_;
    // The queue's thread: set while the loop waits in the reader, and the
    // reader withdrawn meanwhile, kept until that wait has returned.
    bool inReader_ = false;
    std::optional<BlockingReader> retiredReader_;
    // Started by the first wait in the reader that has a timer to keep, from
    // the queue's thread, which then gives it that thread's priority.
    std::thread timerThread_;
    // Whether it got the loop's priority (the queue's thread only).
    bool timerMatchesLoop_ = true;
    std::mutex timerMutex_;
    std::condition_variable timerChanged_;
    std::optional<TimePoint> timerDue_;
    bool timerStop_ = false;
    std::atomic<bool> stopRequested_{false};
    // Set from just before the loop's last look for posted jobs until its
    // wait ends; a poster that sees it clear knows the loop will see the job.
    std::atomic<bool> waiting_{false};
};

}  // namespace velorin
