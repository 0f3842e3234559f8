// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/QueueThread.hpp"

#include <cassert>
#include <future>

namespace velorin {

QueueThread::QueueThread(const std::function<void()>& onStart) {
    std::promise<void> started;
    std::future<void> hasStarted = started.get_future();
    running_ = true;
    thread_ = std::thread([this, &onStart, &started] {
        queue_.adoptCurrentThread();
        if (onStart) onStart();
        started.set_value();  // `onStart` and `started` are not touched after this
        queue_.run();
    });
    hasStarted.wait();
}

QueueThread::~QueueThread() {
    stop();
}

bool QueueThread::runAndWait(const std::function<void()>& job) {
    assert(!queue_.isMainThread());
    if (!running_) return false;
    std::promise<void> ran;
    std::future<void> hasRun = ran.get_future();
    queue_.post([&job, &ran] {
        job();
        ran.set_value();
    });
    hasRun.wait();
    return true;
}

void QueueThread::stop() {
    assert(!queue_.isMainThread());
    if (!running_.exchange(false)) return;
    // Posted rather than called: a stop that arrived before the loop first
    // ran would be forgotten by it, and jobs posted earlier still run first.
    queue_.post([queue = &queue_] { queue->stop(); });
    thread_.join();
}

}  // namespace velorin
