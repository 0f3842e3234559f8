// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "core/MainQueue.hpp"
#include "core/PollMainQueue.hpp"

namespace velorin {

// A thread of its own with a poll loop as its queue. Objects confined to the
// thread are built, used and destroyed through that queue; other threads reach
// them only by posting to it.
//
// The thread starts in the constructor, which returns once `onStart` has run
// on it (the place to ask for realtime priority) and the queue answers
// isMainThread() there. It ends at stop() or destruction, after the jobs
// posted before that call. Every method may be called from any thread except
// the queue's own, unless said otherwise.
class QueueThread {
public:
    explicit QueueThread(const std::function<void()>& onStart = {});
    ~QueueThread();
    QueueThread(const QueueThread&) = delete;
    QueueThread& operator=(const QueueThread&) = delete;

    // Any thread.
    MainQueue& queue() { return queue_; }
    // Runs `job` on the thread and returns after it has run. For start-up and
    // shutdown, when the caller may wait; false (and the job not run) once
    // the thread has stopped. Not concurrently with stop().
    bool runAndWait(const std::function<void()>& job);
    // Runs the jobs posted so far, ends the loop and joins the thread. Later
    // calls do nothing.
    void stop();
    bool isRunning() const { return running_.load(); }

private:
    PollMainQueue queue_;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

}  // namespace velorin
