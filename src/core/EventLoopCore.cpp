// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/EventLoopCore.hpp"

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cerrno>

namespace velorin {

EventLoopCore::EventLoopCore() : mainThread_(std::this_thread::get_id()) {}
EventLoopCore::~EventLoopCore() = default;

void EventLoopCore::post(std::function<void()> job) {
    {
        std::lock_guard lock(postedMutex_);
        posted_.push_back(std::move(job));
        anyPosted_ = true;
    }
    wakeUp();
}

void EventLoopCore::pushTimer(Timer timer) {
    timers_.push_back(std::move(timer));
    std::push_heap(timers_.begin(), timers_.end(), later);
}

TaskHandle EventLoopCore::postAfter(Duration delay, std::function<void()> job) {
    auto state = makeTaskState();
    pushTimer(Timer{now() + std::max(delay, Duration::zero()), nextSeq_++, Duration::zero(), state,
                    std::make_shared<std::function<void()>>(std::move(job))});
    return TaskHandle(state);
}

TaskHandle EventLoopCore::every(Duration interval, std::function<void()> job) {
    auto state = makeTaskState();
    // A zero interval would never let time pass; treat it as the smallest step.
    const Duration step = std::max(interval, Duration(1));
    pushTimer(Timer{now() + step, nextSeq_++, step, state,
                    std::make_shared<std::function<void()>>(std::move(job))});
    return TaskHandle(state);
}

TaskHandle EventLoopCore::watch(int fd, IoEvents events, std::function<void(IoEvents)> onReady) {
    auto state = makeTaskState();
    watches_.push_back(
        Watch{fd, events, state, std::make_shared<std::function<void(IoEvents)>>(std::move(onReady))});
    return TaskHandle(state);
}

std::size_t EventLoopCore::pendingTimerCount() const {
    return static_cast<std::size_t>(std::count_if(timers_.begin(), timers_.end(),
                                                  [](const Timer& t) { return !t.state->cancelled.load(); }));
}

std::size_t EventLoopCore::watchCount() const {
    return static_cast<std::size_t>(std::count_if(watches_.begin(), watches_.end(),
                                                  [](const Watch& w) { return !w.state->cancelled.load(); }));
}

bool EventLoopCore::hasPosted() const {
    return anyPosted_.load();
}

bool EventLoopCore::runPosted() {
    bool ranAny = false;
    for (;;) {
        // Most turns of a busy loop find nothing posted: they take no lock.
        if (!anyPosted_.load()) return ranAny;
        std::vector<std::function<void()>> batch;
        {
            std::lock_guard lock(postedMutex_);
            batch.swap(posted_);
            anyPosted_ = false;
        }
        if (batch.empty()) return ranAny;
        for (auto& job : batch) {
            ranAny = true;
            job();
        }
    }
}

std::optional<MainQueue::TimePoint> EventLoopCore::nextDue() {
    // The heap's front is the earliest once the cancelled ones before it are gone.
    while (!timers_.empty() && timers_.front().state->cancelled.load()) {
        std::pop_heap(timers_.begin(), timers_.end(), later);
        timers_.pop_back();
    }
    if (timers_.empty()) return std::nullopt;
    return timers_.front().due;
}

bool EventLoopCore::watchesOnly(int fd) {
    std::erase_if(watches_, [](const Watch& w) { return w.state->cancelled.load(); });
    return !watches_.empty() &&
           std::all_of(watches_.begin(), watches_.end(), [fd](const Watch& w) { return w.fd == fd; });
}

bool EventLoopCore::pollWatches(Duration timeout, int extraFD, bool* extraReady) {
    if (extraReady != nullptr) *extraReady = false;
    std::erase_if(watches_, [](const Watch& w) { return w.state->cancelled.load(); });
    std::vector<pollfd>& fds = pollFDs_;
    fds.clear();
    for (const auto& w : watches_) {
        short ev = 0;
        if (any(w.events & IoEvents::readable)) ev = static_cast<short>(ev | POLLIN);
        if (any(w.events & IoEvents::writable)) ev = static_cast<short>(ev | POLLOUT);
        fds.push_back(pollfd{w.fd, ev, 0});
    }
    if (extraFD >= 0) fds.push_back(pollfd{extraFD, POLLIN, 0});
    if (fds.empty()) return false;
    // ppoll takes the timeout in nanoseconds, where poll would round it to
    // whole milliseconds; the kernel never ends the wait before it.
    timespec wait{};
    if (timeout >= Duration::zero()) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
        wait.tv_sec = static_cast<time_t>(seconds.count());
        wait.tv_nsec = static_cast<long>(std::chrono::nanoseconds(timeout - seconds).count());
    }
    int n = ::ppoll(fds.data(), fds.size(), timeout >= Duration::zero() ? &wait : nullptr, nullptr);
    if (n <= 0) return false;
    if (extraFD >= 0 && extraReady != nullptr) *extraReady = (fds.back().revents & POLLIN) != 0;
    // Copy the ready watches first: callbacks may add or cancel watches. A
    // callback that polls again gets a list of its own.
    std::vector<std::pair<Watch, IoEvents>> ready = std::move(readyWatches_);
    ready.clear();
    for (std::size_t i = 0; i < watches_.size(); ++i) {
        const short re = fds[i].revents;
        if (re == 0) continue;
        IoEvents got = IoEvents::none;
        // Errors and hang-ups are reported as readiness so the owner reads the
        // failure from the descriptor itself.
        if (re & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) got = got | IoEvents::readable;
        if (re & (POLLOUT | POLLERR | POLLHUP)) got = got | IoEvents::writable;
        got = got & watches_[i].events;
        if (any(got)) ready.emplace_back(watches_[i], got);
    }
    bool ran = false;
    for (auto& [w, got] : ready) {
        if (w.state->cancelled.load()) continue;
        (*w.callback)(got);
        ran = true;
    }
    ready.clear();
    readyWatches_ = std::move(ready);
    return ran;
}

}  // namespace velorin
