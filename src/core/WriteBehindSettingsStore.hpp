// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "core/PriorityInheritanceMutex.hpp"
#include "core/SettingsStore.hpp"

namespace velorin {

// A settings store whose changes take effect in memory at once and reach the
// store below it (the backing store, typically the settings file) from a
// writer thread of its own, so that no caller ever waits for a disk.
//
// At construction it reads every key the backing store holds, as each typed
// getter answers for it; afterwards the backing store is used by the writer
// thread alone. A value set here reads back as the backing store's readingOf()
// says, so getters answer "absent" for a mismatched type exactly as the
// backing store would. A set that leaves every getter's answer unchanged, and
// a remove of a key that is not there, write nothing.
//
// The writer waits `coalescingDelay` after the first change it has not yet
// written, then hands everything changed meanwhile to the backing store's
// apply() as one batch: a burst of changes becomes one write. The default
// delay leaves most of the 100 ms a change may take to reach the disk to the
// write itself, which waits for the file lock when another process writes the
// same file. flush() and destruction write everything pending before they
// return.
//
// Thread-safe: getters, setters and flush() may be called from any thread.
// The lock they take is never held while the backing store writes.
class WriteBehindSettingsStore final : public SettingsStore {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration kDefaultCoalescingDelay = std::chrono::milliseconds(25);

    struct Options {
        Clock::duration coalescingDelay = kDefaultCoalescingDelay;
        // Called on the writer thread after each batch reached the backing
        // store, with changesPersisted(). Must not call back into this store's
        // flush().
        std::function<void(std::uint64_t changesPersisted)> onPersisted;
    };

    explicit WriteBehindSettingsStore(SettingsStore& backing);
    WriteBehindSettingsStore(SettingsStore& backing, Options options);
    // Writes everything pending, then stops the writer.
    ~WriteBehindSettingsStore() override;
    WriteBehindSettingsStore(const WriteBehindSettingsStore&) = delete;
    WriteBehindSettingsStore& operator=(const WriteBehindSettingsStore&) = delete;

    std::optional<bool> boolValue(std::string_view key) const override;
    std::optional<std::int64_t> integerValue(std::string_view key) const override;
    std::optional<double> doubleValue(std::string_view key) const override;
    std::optional<ByteArray> dataValue(std::string_view key) const override;
    std::optional<std::vector<bool>> boolListValue(std::string_view key) const override;
    std::optional<std::string> stringValue(std::string_view key) const override;
    bool contains(std::string_view key) const override;
    std::vector<std::string> keys() const override;

    void set(std::string_view key, SettingsValue value) override;
    void remove(std::string_view key) override;
    SettingsReading readingOf(const SettingsValue& value) const override;

    // Returns once every change made before the call is in the backing store.
    // Waits for the disk: never call it on a thread that must not.
    void flush();

    // Changes accepted so far (sets and removes that changed something), and
    // how many of them are in the backing store. Any thread.
    std::uint64_t changesMade() const;
    std::uint64_t changesPersisted() const;

private:
    template <typename T>
    std::optional<T> read(std::string_view key, std::optional<T> SettingsReading::*field) const;
    // Records one change under the lock and wakes the writer.
    void enqueue(std::unique_lock<PriorityInheritanceMutex>& lock, std::string_view key,
                 std::optional<SettingsValue> value);
    void runWriter();

    SettingsStore& backing_;
    const Options options_;

    mutable PriorityInheritanceMutex mutex_;
    std::condition_variable_any wake_;       // the writer: a change, a flush or the end
    std::condition_variable_any persisted_;  // flush(): a batch was written
    // Every key as the getters answer for it now.
    std::map<std::string, SettingsReading, std::less<>> readings_;
    // Changes not yet handed to the writer, by key (the last change wins).
    std::map<std::string, std::optional<SettingsValue>, std::less<>> pending_;
    Clock::time_point firstPendingAt_;
    std::uint64_t changesMade_ = 0;
    std::uint64_t changesPersisted_ = 0;
    std::uint64_t flushTarget_ = 0;
    bool stopping_ = false;

    // Started last, once everything it reads is in place.
    std::thread writer_;
};

}  // namespace velorin
