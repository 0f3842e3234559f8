// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "core/MemorySettingsStore.hpp"
#include "core/WriteBehindSettingsStore.hpp"

namespace velorin {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A backing store that records each batch the writer hands it and can hold a
// write in progress (a slow disk). The getters serve the store under test as
// it is built, before its writer runs; the test looks at the values through
// snapshot(). A text of digits also reads as that integer, so the test can
// tell this store's reading from the strict one.
class RecordingStore final : public MemorySettingsStore {
public:
    void apply(std::span<const SettingsChange> changes) override {
        std::unique_lock lock(mutex_);
        ++writesStarted_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return !held_; });
        batches_.emplace_back(changes.begin(), changes.end());
        SettingsStore::apply(changes);
        changed_.notify_all();
    }
    SettingsReading readingOf(const SettingsValue& value) const override {
        SettingsReading reading = SettingsReading::strict(value);
        const auto* text = std::get_if<std::string>(&value);
        if (text != nullptr && !text->empty() && text->size() < 18 &&
            text->find_first_not_of("0123456789") == std::string::npos) {
            reading.integer = std::stoll(*text);
        }
        return reading;
    }

    MemorySettingsStore snapshot() const {
        const std::lock_guard lock(mutex_);
        return MemorySettingsStore(*this);
    }
    std::vector<std::vector<SettingsChange>> batches() const {
        const std::lock_guard lock(mutex_);
        return batches_;
    }
    void hold(bool held) {
        const std::lock_guard lock(mutex_);
        held_ = held;
        changed_.notify_all();
    }
    // Wait until a write has started / `key` holds true, or the deadline passed.
    bool waitForWriteStart(Clock::time_point deadline, int count = 1) {
        std::unique_lock lock(mutex_);
        return changed_.wait_until(lock, deadline, [&] { return writesStarted_ >= count; });
    }
    bool waitForTrue(std::string_view key, Clock::time_point deadline) {
        std::unique_lock lock(mutex_);
        return changed_.wait_until(lock, deadline, [&] { return boolValue(key) == true; });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::vector<SettingsChange>> batches_;
    int writesStarted_ = 0;
    bool held_ = false;
};

// Long enough that nothing is written by the delay during a test that relies
// on flush() or destruction.
constexpr auto kNever = std::chrono::hours(1);

WriteBehindSettingsStore::Options delayed(Clock::duration delay) {
    return WriteBehindSettingsStore::Options{.coalescingDelay = delay, .onPersisted = nullptr};
}

TEST(WriteBehindSettingsStore, ValuesReadAtOnceAndAsTheBackingStoreWouldReadThem) {
    RecordingStore backing;
    backing.set("loaded", std::string("12"));
    backing.set("flag", true);
    WriteBehindSettingsStore store(backing, delayed(kNever));
    // Keys already there read as the backing store's getters answer (its
    // integer getter is strict); values set here as its readingOf() says.
    EXPECT_EQ(store.integerValue("loaded"), std::nullopt);
    EXPECT_EQ(store.stringValue("loaded"), "12");
    EXPECT_EQ(store.boolValue("flag"), true);
    EXPECT_EQ(store.integerValue("flag"), std::nullopt);

    store.set("text", std::string("34"));
    store.set("flag", false);
    store.set("size", 1090.5);
    EXPECT_EQ(store.integerValue("text"), 34);
    EXPECT_EQ(store.boolValue("text"), std::nullopt);
    EXPECT_EQ(store.boolValue("flag"), false);
    EXPECT_EQ(store.doubleValue("size"), 1090.5);
    EXPECT_EQ(store.integerValue("size"), std::nullopt);
    EXPECT_FALSE(store.contains("missing"));
    EXPECT_EQ(store.keys(), (std::vector<std::string>{"flag", "loaded", "size", "text"}));
    EXPECT_TRUE(backing.batches().empty());
}

TEST(WriteBehindSettingsStore, AChangeReachesTheBackingStoreWithinTheWindowWithoutAFlush) {
    RecordingStore backing;
    WriteBehindSettingsStore store(backing);
    const auto deadline = Clock::now() + 100ms;
    store.set("isLoggingAllMIDIEvents", true);
    EXPECT_TRUE(backing.waitForTrue("isLoggingAllMIDIEvents", deadline));
}

TEST(WriteBehindSettingsStore, ABurstOfChangesIsOneWrite) {
    RecordingStore backing;
    WriteBehindSettingsStore store(backing, delayed(500ms));
    for (int i = 0; i < 50; ++i) store.set("width", 1000.0 + i);
    store.set("isLoggingAllMIDIEvents", true);
    store.remove("width");
    store.set("width", 2000.0);
    ASSERT_TRUE(backing.waitForTrue("isLoggingAllMIDIEvents", Clock::now() + 10s));
    const auto batches = backing.batches();
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_EQ(batches[0], (std::vector<SettingsChange>{{"isLoggingAllMIDIEvents", true}, {"width", 2000.0}}));
}

TEST(WriteBehindSettingsStore, SettingTheValueAKeyHoldsWritesNothing) {
    RecordingStore backing;
    backing.set("flag", true);
    WriteBehindSettingsStore store(backing, delayed(kNever));
    store.set("flag", true);
    store.remove("missing");
    store.set("size", 3.0);
    store.flush();
    store.set("size", 3.0);
    store.flush();
    EXPECT_EQ(store.changesMade(), 1u);
    EXPECT_EQ(backing.batches().size(), 1u);
}

TEST(WriteBehindSettingsStore, FlushAndDestructionWriteEverythingPendingIncludingRemoves) {
    RecordingStore backing;
    backing.set("old", true);
    backing.set("kept", true);
    {
        WriteBehindSettingsStore store(backing, delayed(kNever));
        store.remove("old");
        EXPECT_FALSE(store.contains("old"));
        store.set("first", true);
        store.flush();
        EXPECT_FALSE(backing.snapshot().contains("old"));
        EXPECT_EQ(backing.snapshot().boolValue("first"), true);
        EXPECT_EQ(store.changesPersisted(), 2u);

        store.set("second", std::int64_t{7});
    }
    EXPECT_EQ(backing.snapshot().integerValue("second"), 7);
    EXPECT_EQ(backing.snapshot().boolValue("kept"), true);
    EXPECT_EQ(backing.batches().size(), 2u);
}

// Behind a slow disk: a flush returns only once its changes are on it, and
// the end writes what was changed while the last write was in progress.
TEST(WriteBehindSettingsStore, FlushAndTheEndWaitForAWriteInProgressAndWhatCameDuringIt) {
    RecordingStore backing;
    backing.hold(true);
    auto store = std::make_unique<WriteBehindSettingsStore>(backing, delayed(0ms));
    store->set("first", true);
    ASSERT_TRUE(backing.waitForWriteStart(Clock::now() + 10s));
    auto flushed = std::async(std::launch::async, [&store] { store->flush(); });
    EXPECT_EQ(flushed.wait_for(50ms), std::future_status::timeout);
    backing.hold(false);
    flushed.get();
    EXPECT_EQ(backing.snapshot().boolValue("first"), true);

    backing.hold(true);
    store->set("second", true);
    ASSERT_TRUE(backing.waitForWriteStart(Clock::now() + 10s, 2));
    store->set("during", true);
    auto ended = std::async(std::launch::async, [&store] { store.reset(); });
    std::this_thread::sleep_for(50ms);  // the end has begun: the writer is told to stop
    backing.hold(false);
    ended.get();
    EXPECT_EQ(backing.snapshot().boolValue("during"), true);
}

TEST(WriteBehindSettingsStore, ReadsAndSetsDoNotWaitForAWriteInProgress) {
    RecordingStore backing;
    backing.hold(true);
    WriteBehindSettingsStore store(backing, delayed(0ms));
    store.set("first", true);
    ASSERT_TRUE(backing.waitForWriteStart(Clock::now() + 10s));
    // The writer is stuck in the backing store now.
    auto caller = std::async(std::launch::async, [s = &store] {
        s->set("second", true);
        return s->boolValue("second");
    });
    const bool returned = caller.wait_for(10s) == std::future_status::ready;
    backing.hold(false);
    ASSERT_TRUE(returned);
    EXPECT_EQ(caller.get(), true);
    store.flush();
    EXPECT_EQ(backing.snapshot().boolValue("second"), true);
}

TEST(WriteBehindSettingsStore, ChangesFromSeveralThreadsWhileTheWriterWritesAreAllPersisted) {
    RecordingStore backing;
    std::atomic<std::uint64_t> reported{0};
    auto store = std::make_unique<WriteBehindSettingsStore>(
        backing, WriteBehindSettingsStore::Options{
                     .coalescingDelay = 1ms, .onPersisted = [r = &reported](std::uint64_t n) { *r = n; }});
    constexpr int kThreads = 3;
    constexpr int kSteps = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([s = store.get(), t] {
            const std::string key = "thread." + std::to_string(t);
            for (int i = 1; i <= kSteps; ++i) {
                s->set(key, std::int64_t{i});
                EXPECT_EQ(s->integerValue(key), i);
                if (i % 50 == 0) s->remove(key + ".gone");
                if (i % 50 == 1) s->set(key + ".gone", true);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    const std::uint64_t made = store->changesMade();
    store.reset();
    for (int t = 0; t < kThreads; ++t) {
        const std::string key = "thread." + std::to_string(t);
        EXPECT_EQ(backing.snapshot().integerValue(key), kSteps);
        EXPECT_FALSE(backing.snapshot().contains(key + ".gone"));
    }
    EXPECT_EQ(made, std::uint64_t{kThreads * (kSteps + 2 * (kSteps / 50))});
    EXPECT_EQ(reported.load(), made);
}

}  // namespace
}  // namespace velorin
