#include "log/LogStore.hpp"

namespace velorin {

namespace {
std::mutex sharedMutex;
std::shared_ptr<LogStore> sharedStore;
}  // namespace

std::shared_ptr<LogStore> LogStore::shared() {
    std::lock_guard lock(sharedMutex);
    return sharedStore;
}

void LogStore::installShared(std::shared_ptr<LogStore> store) {
    std::lock_guard lock(sharedMutex);
    sharedStore = std::move(store);
}

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
                            if (auto store = weak.lock()) store->flush();
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

void LogStore::flush() {
    batch_.clear();
    {
        std::lock_guard lock(pendingMutex_);
        hasScheduledFlush_ = false;
        batch_.swap(pending_);
    }
    if (batch_.empty()) return;
    for (auto& entry : batch_) {
        if (publishedHandler_) publishedHandler_(entry);
        entries_.push_back(std::move(entry));
    }
    batch_.clear();
    // Keep the newest entries only, so a long session cannot exhaust memory.
    while (entries_.size() > kMaxEntries) entries_.pop_front();
    notifyObservers();
}

void LogStore::clear() {
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
