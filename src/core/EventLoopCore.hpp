// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include <optional>
#include <thread>
#include <vector>
#include "core/PriorityInheritanceMutex.hpp"

#include "core/MainQueue.hpp"

namespace velorin {

namespace detail {
// The calling thread's id, asked of the C library once per thread: the MIDI
// path checks its thread for every packet.
inline std::thread::id currentThreadID() {
    thread_local const std::thread::id id = std::this_thread::get_id();
    return id;
}
}  // namespace detail

// The bookkeeping shared by the non-Qt queues: posted jobs, timers ordered by due
// time (ties in scheduling order) and descriptor watches. Subclasses decide how
// time passes (virtual or real) and how long to wait for descriptors.
class EventLoopCore : public MainQueue {
public:
    EventLoopCore();
    ~EventLoopCore() override;

    void post(std::function<void()> job) override;
    TaskHandle postAfter(Duration delay, std::function<void()> job) override;
    TaskHandle every(Duration interval, std::function<void()> job) override;
    TaskHandle watch(int fd, IoEvents events, std::function<void(IoEvents)> onReady) override;
    bool isMainThread() const override { return detail::currentThreadID() == mainThread_; }

    // Makes the calling thread the main thread (for a loop created on one thread
    // and run on another).
    void adoptCurrentThread() { mainThread_ = std::this_thread::get_id(); }

    // Number of live (not cancelled) timers and watches; for leak checks in tests.
    std::size_t pendingTimerCount() const;
    std::size_t watchCount() const;

protected:
    // Runs every posted job, including jobs posted while running them.
    // Returns true if any ran.
    bool runPosted();
    // Runs the earliest timer due at or before `limit`, setting the clock via
    // `setTime` to its due time first. Returns false when none is due.
    template <typename SetTime>
    bool runOneTimer(TimePoint limit, SetTime&& setTime);
    // Earliest live timer's due time, if any (drops cancelled timers it meets).
    std::optional<TimePoint> nextDue();
    // Polls the watched descriptors (and `extraFD` when >= 0) for up to
    // `timeout` (negative: forever), to the nanosecond, and runs the callbacks
    // of the ready ones. Returns true if any callback ran; `extraReady`, when
    // given, says whether `extraFD` was readable.
    bool pollWatches(Duration timeout, int extraFD = -1, bool* extraReady = nullptr);
    bool hasPosted() const;
    // Whether `fd` is the one descriptor with a live watch (drops cancelled watches).
    bool watchesOnly(int fd);
    virtual void wakeUp() {}

private:
    struct Timer {
        TimePoint due;
        std::uint64_t seq;
        Duration interval;  // zero for one-shot
        std::shared_ptr<detail::TaskState> state;
        std::shared_ptr<std::function<void()>> job;
    };
    struct Watch {
        int fd;
        IoEvents events;
        std::shared_ptr<detail::TaskState> state;
        std::shared_ptr<std::function<void(IoEvents)>> callback;
    };
    void pushTimer(Timer timer);
    static bool later(const Timer& a, const Timer& b) {
        return a.due != b.due ? a.due > b.due : a.seq > b.seq;
    }

    std::thread::id mainThread_;
    mutable PriorityInheritanceMutex postedMutex_;
    std::vector<std::function<void()>> posted_;
    // Whether `posted_` holds a job; changed under `postedMutex_`, read
    // without it (sequentially consistent: a loop about to wait relies on it).
    std::atomic<bool> anyPosted_{false};
    std::vector<Timer> timers_;  // a min-heap by (due, seq)
    std::vector<Watch> watches_;
    // Kept between polls so a wake-up allocates nothing.
    std::vector<pollfd> pollFDs_;
    std::vector<std::pair<Watch, IoEvents>> readyWatches_;
    std::uint64_t nextSeq_ = 0;
};

template <typename SetTime>
bool EventLoopCore::runOneTimer(TimePoint limit, SetTime&& setTime) {
    while (!timers_.empty() && timers_.front().state->cancelled.load()) {
        std::pop_heap(timers_.begin(), timers_.end(), later);
        timers_.pop_back();
    }
    if (timers_.empty() || timers_.front().due > limit) return false;
    std::pop_heap(timers_.begin(), timers_.end(), later);
    Timer timer = std::move(timers_.back());
    timers_.pop_back();
    setTime(timer.due);
    if (timer.interval > Duration::zero()) {
        // Re-arm before running so the job may cancel its own handle.
        Timer next = timer;
        next.due = timer.due + timer.interval;
        next.seq = nextSeq_++;
        pushTimer(std::move(next));
    }
    (*timer.job)();
    return true;
}

}  // namespace velorin
