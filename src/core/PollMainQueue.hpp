// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <time.h>

#include <atomic>
#include <memory>
#include <thread>

#include "core/EventLoopCore.hpp"
#include "core/PriorityInheritanceMutex.hpp"

namespace velorin {

namespace detail {
struct TimerWake;
}

// A real main queue on the monotonic clock and ppoll(2), for tools and
// integration tests that run without Qt, and the engine thread's loop. post()
// wakes the loop through an eventfd, only while the loop waits: a job posted
// while it runs (by its own thread above all) is seen before the next wait.
// When its only descriptor belongs to a blocking reader, the loop sleeps in
// that reader instead; posts and stop() then wake it with the reader's wake
// message, and so does a timer signal sent to the loop's thread when the next
// timer falls due.
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
    // Writes the blocking reader's wake message, when there is a reader.
    void wakeReader();
    // The queue's thread: whether a timer signal can end a wait in the reader
    // on this thread (creating the timer on first use).
    bool timerSignalReady();
    // Has the timer signal this thread at `due` (none: never).
    void armTimer(std::optional<TimePoint> due);
    void deleteTimer();
    int wakeFD_ = -1;
    // Changed on the queue's thread under `readerMutex_`, which a writer of
    // its wake message on any other thread holds.
    std::optional<BlockingReader> reader_;
    PriorityInheritanceMutex readerMutex_;
    // The queue's thread: set while the loop waits in the reader, and the
    // reader withdrawn meanwhile, kept until that wait has returned.
    bool inReader_ = false;
    std::optional<BlockingReader> retiredReader_;
    // What the timer signal's handler writes, and where (see the .cpp).
    std::unique_ptr<detail::TimerWake> timerWake_;
    // The queue's thread: the timer, the thread it signals, and when it is set to fire.
    std::optional<timer_t> timer_;
    std::thread::id timerThread_;
    std::optional<TimePoint> armedDue_;
    std::atomic<bool> stopRequested_{false};
    // Set from just before the loop's last look for posted jobs until its
    // wait ends; a poster that sees it clear knows the loop will see the job.
    std::atomic<bool> waiting_{false};
};

}  // namespace velorin
