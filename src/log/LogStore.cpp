// SPDX-License-Identifier: GPL-3.0-or-later
#include "log/LogStore.hpp"

#include <algorithm>

namespace velorin {

std::shared_ptr<LogStore> LogStore::create(MainQueue& queue, SettingsStore& settings,
                                           std::chrono::nanoseconds flushInterval) {
    return std::shared_ptr<LogStore>(new LogStore(queue, settings, flushInterval));
}

LogStore::LogStore(MainQueue& queue, SettingsStore& settings, std::chrono::nanoseconds flushInterval)
    : queue_(queue), settings_(settings), flushInterval_(flushInterval) {
    loggingAll_ = settings_.boolValue(kLoggingAllMIDIEventsKey).value_or(false);
    pending_.reserve(64);
}

void LogStore::append(LogEntry entry) {
    bool mustSchedule = false;
    {
        std::lock_guard lock(pendingMutex_);
        pending_.push_back(std::move(entry));
        // While the main thread does not publish (a long job, a flood of
        // entries within one flush interval), the batch must not grow without
        // bound: past twice the cap, drop the oldest entries beyond the cap.
        // Publication keeps only the newest kMaxEntries, so the log shows the
        // same; only the terminal mirror misses the dropped lines.
        if (pending_.size() >= 2 * kMaxEntries) {
            pending_.erase(pending_.begin(), pending_.end() - static_cast<std::ptrdiff_t>(kMaxEntries));
        }
        if (!hasScheduledFlush_) {
            hasScheduledFlush_ = true;
            mustSchedule = true;
        }
    }
    if (mustSchedule) scheduleFlush();
}

void LogStore::scheduleFlush() {
    std::weak_ptr<LogStore> weak = weak_from_this();
    auto arm = [weak, interval = flushInterval_, queue = &queue_] {
        queue
            ->postAfter(std::chrono::duration_cast<MainQueue::Duration>(interval),
                        [weak] {
                            if (auto store = weak.lock()) store->publishSlice();
                        })
            .release();
    };
    // Timers belong to the main thread; a writer elsewhere asks it to arm one.
    if (queue_.isMainThread()) {
        arm();
    } else {
        queue_.post(std::move(arm));
    }
}

void LogStore::publishBatchUpTo(std::size_t end) {
    if (end <= batchOffset_) return;
    for (std::size_t i = batchOffset_; i < end; ++i) {
        if (publishedHandler_) publishedHandler_(batch_[i]);
        entries_.push_back(std::move(batch_[i]));
    }
    batchOffset_ = end;
    // Observers (the window) take the batch in one piece, once it is all out;
    // until then the entries they show stay where they are.
    if (batchOffset_ < batch_.size()) return;
    // Keep the newest entries only, so a long session cannot exhaust memory.
    while (entries_.size() > kMaxEntries) entries_.pop_front();
    notifyObservers();
}

void LogStore::publishSlice() {
    if (batchOffset_ >= batch_.size()) {
        batch_.clear();
        batchOffset_ = 0;
        std::lock_guard lock(pendingMutex_);
        hasScheduledFlush_ = false;
        batch_.swap(pending_);
    }
    publishBatchUpTo(std::min(batch_.size(), batchOffset_ + kPublishSliceEntries));
    if (batchOffset_ < batch_.size()) {
        queue_.post([weak = weak_from_this()] {
            if (auto store = weak.lock()) store->publishSlice();
        });
    }
}

void LogStore::flush() {
    publishBatchUpTo(batch_.size());
    batch_.clear();
    batchOffset_ = 0;
    {
        std::lock_guard lock(pendingMutex_);
        hasScheduledFlush_ = false;
        batch_.swap(pending_);
    }
    publishBatchUpTo(batch_.size());
    batch_.clear();
    batchOffset_ = 0;
}

void LogStore::clear() {
    batch_.clear();
    batchOffset_ = 0;
    {
        std::lock_guard lock(pendingMutex_);
        pending_.clear();
        hasScheduledFlush_ = false;
    }
    entries_.clear();
    notifyObservers();
}

void LogStore::toggleLoggingAllMIDIEvents() {
    const bool value = !loggingAll_.load();
    loggingAll_ = value;
    notifyObservers();
    settings_.set(kLoggingAllMIDIEventsKey, value);
}

std::string LogStore::exportText() {
    flush();
    std::string text;
    bool first = true;
    for (const auto& entry : entries_) {
        if (!first) text += '\n';
        first = false;
        text += formattedLine(entry);
    }
    return text;
}

void LogStore::setPublishedEntryHandler(std::function<void(const LogEntry&)> handler) {
    publishedHandler_ = std::move(handler);
}

}  // namespace velorin
