// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "core/MainQueue.hpp"
#include "core/Observable.hpp"
#include "core/PriorityInheritanceMutex.hpp"
#include "core/SettingsStore.hpp"
#include "log/LogEntry.hpp"

namespace velorin {

// The one place every subsystem writes diagnostics to. append() may be called
// from any thread; entries are gathered in a locked batch and published to
// `entries()` on the main thread `flushInterval` after the first append of a
// batch, a large batch in slices of kPublishSliceEntries, one main-thread job
// each. Everything else is main-thread only. Observers are notified once per
// published batch (after its last slice), per clear, and when the log-all flag
// changes.
class LogStore final : public Observable, public std::enable_shared_from_this<LogStore> {
public:
    static constexpr const char* kLoggingAllMIDIEventsKey = "isLoggingAllMIDIEvents";
    static constexpr std::size_t kMaxEntries = 20000;
    static constexpr std::chrono::milliseconds kDefaultFlushInterval{67};
    // Entries published per main-thread job. A large batch ("log all" at a
    // high event rate) goes out in slices, one job each, so MIDI waiting on
    // the main thread runs in between instead of behind the whole batch.
    static constexpr std::size_t kPublishSliceEntries = 32;

    static std::shared_ptr<LogStore> create(MainQueue& queue, SettingsStore& settings,
                                            std::chrono::nanoseconds flushInterval = kDefaultFlushInterval);

    // Any thread.
    void append(LogEntry entry);
    void log(std::string text) { append(LogEntry::message(std::move(text))); }
    void logTyped(MessageType type, std::optional<std::string> source, std::string text) {
        append(LogEntry::typedMessage(type, std::move(source), std::move(text)));
    }
    void logMIDI(MIDIEventLogDirection direction, std::optional<std::string> source, const MIDIEvent& event) {
        append(LogEntry::midi(direction, std::move(source), event));
    }
    // Any thread; a stale read only means one entry more or less.
    bool isLoggingAllMIDIEvents() const { return loggingAll_.load(std::memory_order_relaxed); }

    // Main thread.
    const std::deque<LogEntry>& entries() const { return entries_; }
    // Publishes everything appended so far, at once.
    void flush();
    void clear();
    void toggleLoggingAllMIDIEvents();
    std::string exportText();
    // Called on the main thread with every published entry, in order (the app
    // mirrors the log to standard error through it).
    void setPublishedEntryHandler(std::function<void(const LogEntry&)> handler);

private:
    LogStore(MainQueue& queue, SettingsStore& settings, std::chrono::nanoseconds flushInterval);
    void scheduleFlush();
    // The timer's job: publishes one slice and posts itself for the rest.
    void publishSlice();
    // Publishes batch_ from batchOffset_ up to `end`.
    void publishBatchUpTo(std::size_t end);

    MainQueue& queue_;
    SettingsStore& settings_;
    std::chrono::nanoseconds flushInterval_;
    std::atomic<bool> loggingAll_{false};
    PriorityInheritanceMutex pendingMutex_;
    std::vector<LogEntry> pending_;
    std::vector<LogEntry> batch_;  // main thread: the batch being published, reused
    std::size_t batchOffset_ = 0;  // how much of batch_ is published
    bool hasScheduledFlush_ = false;
    std::deque<LogEntry> entries_;
    std::function<void(const LogEntry&)> publishedHandler_;
};

}  // namespace velorin
