// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/PollMainQueue.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

namespace velorin {

PollMainQueue::PollMainQueue() : wakeFD_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

PollMainQueue::~PollMainQueue() {
    if (wakeFD_ >= 0) ::close(wakeFD_);
}

void PollMainQueue::wakeUp() {
    // The job was marked posted before this load, and the loop sets
    // `waiting_` before it looks for posted jobs (both sequentially
    // consistent): either the loop finds the job or this finds the flag set.
    if (waiting_.load()) signalWakeFD();
}

void PollMainQueue::signalWakeFD() {
    if (wakeFD_ < 0) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wakeFD_, &one, sizeof one);
}

void PollMainQueue::stop() {
    stopRequested_ = true;
    signalWakeFD();
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
