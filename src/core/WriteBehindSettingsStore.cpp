// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/WriteBehindSettingsStore.hpp"

#include <algorithm>
#include <utility>

namespace velorin {

WriteBehindSettingsStore::WriteBehindSettingsStore(SettingsStore& backing)
    : WriteBehindSettingsStore(backing, Options{}) {}

WriteBehindSettingsStore::WriteBehindSettingsStore(SettingsStore& backing, Options options)
    : backing_(backing), options_(std::move(options)) {
    // Read here, before the writer exists: from now on only the writer
    // touches the backing store.
    for (std::string& key : backing_.keys()) {
        SettingsReading reading = SettingsReading::of(backing_, key);
        readings_.emplace(std::move(key), std::move(reading));
    }
    writer_ = std::thread([this] { runWriter(); });
}

WriteBehindSettingsStore::~WriteBehindSettingsStore() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    // The writer drains what is pending before it ends.
    writer_.join();
}

template <typename T>
std::optional<T> WriteBehindSettingsStore::read(std::string_view key,
                                                std::optional<T> SettingsReading::*field) const {
    const std::lock_guard lock(mutex_);
    const auto it = readings_.find(key);
    if (it == readings_.end()) return std::nullopt;
    return it->second.*field;
}

std::optional<bool> WriteBehindSettingsStore::boolValue(std::string_view key) const {
    return read(key, &SettingsReading::boolean);
}

std::optional<std::int64_t> WriteBehindSettingsStore::integerValue(std::string_view key) const {
    return read(key, &SettingsReading::integer);
}

std::optional<double> WriteBehindSettingsStore::doubleValue(std::string_view key) const {
    return read(key, &SettingsReading::real);
}

std::optional<ByteArray> WriteBehindSettingsStore::dataValue(std::string_view key) const {
    return read(key, &SettingsReading::data);
}

std::optional<std::vector<bool>> WriteBehindSettingsStore::boolListValue(std::string_view key) const {
    return read(key, &SettingsReading::boolList);
}

std::optional<std::string> WriteBehindSettingsStore::stringValue(std::string_view key) const {
    return read(key, &SettingsReading::text);
}

bool WriteBehindSettingsStore::contains(std::string_view key) const {
    const std::lock_guard lock(mutex_);
    return readings_.find(key) != readings_.end();
}

std::vector<std::string> WriteBehindSettingsStore::keys() const {
    const std::lock_guard lock(mutex_);
    std::vector<std::string> all;
    all.reserve(readings_.size());
    for (const auto& [key, reading] : readings_) all.push_back(key);
    return all;
}

SettingsReading WriteBehindSettingsStore::readingOf(const SettingsValue& value) const {
    return backing_.readingOf(value);
}

void WriteBehindSettingsStore::set(std::string_view key, SettingsValue value) {
    if (key.empty()) return;
    // Worked out before the lock is taken; it reads nothing of the backing
    // store's contents, so it is safe beside the writer.
    SettingsReading reading = backing_.readingOf(value);
    std::unique_lock lock(mutex_);
    const auto it = readings_.find(key);
    if (it != readings_.end()) {
        if (it->second == reading) return;
        it->second = std::move(reading);
    } else {
        readings_.emplace(std::string(key), std::move(reading));
    }
    enqueue(lock, key, std::move(value));
}

void WriteBehindSettingsStore::remove(std::string_view key) {
    std::unique_lock lock(mutex_);
    const auto it = readings_.find(key);
    if (it == readings_.end()) return;
    readings_.erase(it);
    enqueue(lock, key, std::nullopt);
}

void WriteBehindSettingsStore::enqueue(std::unique_lock<PriorityInheritanceMutex>& lock, std::string_view key,
                                       std::optional<SettingsValue> value) {
    if (pending_.empty()) firstPendingAt_ = Clock::now();
    pending_.insert_or_assign(std::string(key), std::move(value));
    ++changesMade_;
    lock.unlock();
    wake_.notify_one();
}

void WriteBehindSettingsStore::flush() {
    std::unique_lock lock(mutex_);
    const std::uint64_t target = changesMade_;
    if (changesPersisted_ >= target) return;
    flushTarget_ = std::max(flushTarget_, target);
    wake_.notify_one();
    persisted_.wait(lock, [&] { return changesPersisted_ >= target; });
}

std::uint64_t WriteBehindSettingsStore::changesMade() const {
    const std::lock_guard lock(mutex_);
    return changesMade_;
}

std::uint64_t WriteBehindSettingsStore::changesPersisted() const {
    const std::lock_guard lock(mutex_);
    return changesPersisted_;
}

void WriteBehindSettingsStore::runWriter() {
    std::vector<SettingsChange> batch;
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || !pending_.empty(); });
        if (pending_.empty()) return;  // stopping, nothing left to write
        // Changes arriving during the delay join this batch; a flush or the
        // end cuts the delay short.
        const auto urgent = [&] { return stopping_ || flushTarget_ > changesPersisted_; };
        wake_.wait_until(lock, firstPendingAt_ + options_.coalescingDelay, urgent);

        const std::uint64_t through = changesMade_;
        // Taken over whole, so the callers' lock is held only for the swap.
        auto taken = std::exchange(pending_, {});

        lock.unlock();
        batch.clear();
        batch.reserve(taken.size());
        for (auto& [key, value] : taken) batch.push_back(SettingsChange{key, std::move(value)});
        backing_.apply(batch);
        taken.clear();
        lock.lock();

        changesPersisted_ = through;
        persisted_.notify_all();
        if (options_.onPersisted) {
            lock.unlock();
            options_.onPersisted(through);
            lock.lock();
        }
    }
}

}  // namespace velorin
