// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/PollMainQueue.hpp"

#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace velorin {

PollMainQueue::PollMainQueue() : wakeFD_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

PollMainQueue::~PollMainQueue() {
    {
        const std::lock_guard lock(timerMutex_);
        timerStop_ = true;
    }
    timerChanged_.notify_one();
    if (timerThread_.joinable()) timerThread_.join();
    if (wakeFD_ >= 0) ::close(wakeFD_);
}

void PollMainQueue::wakeUp() {
    // The job was marked posted before this load, and the loop sets
    // `waiting_` before it looks for posted jobs (both sequentially
    // consistent): either the loop finds the job or this finds the flag set.
    if (!waiting_.load()) return;
    signalWakeFD();
    wakeReader();
}

bool PollMainQueue::setBlockingReader(std::optional<BlockingReader> reader) {
    std::optional<BlockingReader> previous;
    {
        const std::lock_guard lock(readerMutex_);
        previous = std::exchange(reader_, std::move(reader));
    }
    // A reader that withdraws itself from inside its own wait is still running.
    if (inReader_) retiredReader_ = std::move(previous);
    return true;
}

void PollMainQueue::wakeReader() {
    const std::lock_guard lock(readerMutex_);
    if (reader_ && reader_->wake) reader_->wake();
}

bool PollMainQueue::timerThreadKeepsTime() {
    if (!timerThread_.joinable()) {
        timerThread_ = std::thread([this] { timerLoop(); });
        // The thread wakes the loop for its timers, so it runs at the loop's
        // priority. Threads do not inherit a realtime one (it is reset on
        // creation); where it cannot be had, the loop polls for its timers.
        int policy = SCHED_OTHER;
        sched_param priority{};
        if (::pthread_getschedparam(::pthread_self(), &policy, &priority) == 0 &&
            (policy & ~SCHED_RESET_ON_FORK) != SCHED_OTHER) {
            timerMatchesLoop_ = ::pthread_setschedparam(timerThread_.native_handle(), policy, &priority) == 0;
        }
    }
    return timerMatchesLoop_;
}

void PollMainQueue::armTimer(std::optional<TimePoint> due) {
    const std::lock_guard lock(timerMutex_);
    if (timerDue_ == due) return;
    // A later time needs no wake-up now: the thread wakes at the earlier one,
    // finds it moved and sleeps on.
    const bool sooner = due && (!timerDue_ || *due < *timerDue_);
    timerDue_ = due;
    if (sooner) timerChanged_.notify_one();
}

void PollMainQueue::timerLoop() {
    // A timed wait of this thread ends when due, as the loop's own poll would,
    // not within the default 50 µs of slack.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::unique_lock lock(timerMutex_);
    while (!timerStop_) {
        if (!timerDue_) {
            timerChanged_.wait(lock);
            continue;
        }
        const TimePoint due = *timerDue_;
        if (Clock::now() < due) {
            timerChanged_.wait_until(lock, due);
            continue;
        }
        timerDue_.reset();
        lock.unlock();
        wakeReader();
        lock.lock();
    }
}

void PollMainQueue::signalWakeFD() {
    if (wakeFD_ < 0) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wakeFD_, &one, sizeof one);
}

void PollMainQueue::stop() {
    stopRequested_ = true;
    signalWakeFD();
    wakeReader();
}

void PollMainQueue::runOnce(std::optional<TimePoint> deadline) {
    // The clock is read again only after something ran: a turn that finds
    // nothing to do (most turns of a busy loop) reads it once.
    runPosted();
    TimePoint time = now();
    while (runOneTimer(time, [](TimePoint) {})) {
        runPosted();
        time = now();
    }
    waiting_ = true;
    if (hasPosted()) {
        waiting_ = false;
        return;
    }
    std::optional<TimePoint> wakeAt = deadline;
    if (auto due = nextDue()) wakeAt = wakeAt ? std::min(*wakeAt, *due) : *due;
    // The wait is exact to the nanosecond and the kernel never ends it early,
    // so a timer due in the future is due when the wait ends: nothing spins,
    // however close the timer is.
    constexpr Duration kLongestWait = std::chrono::seconds(1);
    const Duration wait =
        wakeAt ? std::clamp<Duration>(*wakeAt - time, Duration::zero(), kLongestWait) : kLongestWait;
    if (reader_ && wait > Duration::zero() && (!wakeAt || timerThreadKeepsTime()) &&
        watchesOnly(reader_->fd)) {
        armTimer(wakeAt);
        inReader_ = true;
        reader_->readBlocking();
        inReader_ = false;
        retiredReader_.reset();
        waiting_ = false;
        return;
    }
    bool woken = false;
    pollWatches(wait, wakeFD_, &woken);
    waiting_ = false;
    if (woken) {
        std::uint64_t drained = 0;
        [[maybe_unused]] auto n = ::read(wakeFD_, &drained, sizeof drained);
    }
}

void PollMainQueue::run() {
    stopRequested_ = false;
    while (!stopRequested_) runOnce(std::nullopt);
}

bool PollMainQueue::runFor(Duration d, const std::function<bool()>& done) {
    stopRequested_ = false;
    const TimePoint end = now() + d;
    while (!stopRequested_ && now() < end) {
        if (done && done()) return true;
        runOnce(end);
    }
    return done ? done() : true;
}

}  // namespace velorin
