// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>
#include <thread>

#include "core/MainQueue.hpp"

class QObject;

namespace velorin {

// The main queue on the Qt event loop of the thread that creates it (the GUI
// thread in the app). Posted jobs are queued invocations onto a private context
// object, delayed jobs and repeating timers are precise QTimers, and descriptor
// watches are QSocketNotifiers. QTimers count whole milliseconds, so jobs posted
// at a precise time each get a timerfd of their own, watched by a notifier.
// Everything still pending is dropped when the queue is destroyed; handles that
// outlive it cancel nothing.
class QtMainQueue final : public MainQueue {
public:
    QtMainQueue();
    ~QtMainQueue() override;
    QtMainQueue(const QtMainQueue&) = delete;
    QtMainQueue& operator=(const QtMainQueue&) = delete;

    void post(std::function<void()> job) override;
    TaskHandle postAfter(Duration delay, std::function<void()> job) override;
    TaskHandle postAtPrecisely(TimePoint due, std::function<void()> job) override;
    TaskHandle every(Duration interval, std::function<void()> job) override;
    TaskHandle watch(int fd, IoEvents events, std::function<void(IoEvents)> onReady) override;
    TimePoint now() const override { return Clock::now(); }
    bool isMainThread() const override { return std::this_thread::get_id() == mainThread_; }

private:
    TaskHandle startTimer(Duration interval, bool repeating, std::function<void()> job);

    std::unique_ptr<QObject> context_;
    std::thread::id mainThread_;
};

}  // namespace velorin
