// SPDX-License-Identifier: GPL-3.0-or-later
// A realtime thread waiting for a lock held by a normal thread must not wait
// for every busier realtime thread: the holder runs at the waiter's priority
// until it unlocks. All three threads share one CPU; needs the right to use
// SCHED_FIFO (root or CAP_SYS_NICE), else it is skipped.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "core/PriorityInheritanceMutex.hpp"

namespace velorin {
namespace {

using Clock = std::chrono::steady_clock;

bool pinAndSchedule(int cpu, int policy, int priority) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(static_cast<std::size_t>(cpu), &set);
    if (pthread_setaffinity_np(pthread_self(), sizeof(set), &set) != 0) return false;
    sched_param param{};
    param.sched_priority = priority;
    return pthread_setschedparam(pthread_self(), policy, &param) == 0;
}

TEST(PriorityInheritanceMutex,
     AHolderAtNormalPriorityRunsAheadOfABusyRealtimeThreadWhileARealtimeThreadWaits) {
    constexpr auto kHogTime = std::chrono::milliseconds(600);
    const int cpu = sched_getcpu();
    PriorityInheritanceMutex mutex;
    std::atomic<int> stage{0};  // 1: holder has the lock, 2: hog spins, 3: waiter is about to wait
    std::atomic<bool> refused{false};
    Clock::duration waited{};

    std::thread holder([&] {
        if (!pinAndSchedule(cpu, SCHED_OTHER, 0)) refused = true;
        const std::lock_guard lock(mutex);
        stage = 1;
        while (stage < 3 && !refused) std::this_thread::yield();
        // Some work after the waiter blocked: without inheritance it waits for the hog.
        const auto until = Clock::now() + std::chrono::milliseconds(5);
        while (Clock::now() < until) {
        }
    });
    while (stage < 1 && !refused) std::this_thread::yield();
    std::thread hog([&] {
        if (!pinAndSchedule(cpu, SCHED_FIFO, 10)) {
            refused = true;
            return;
        }
        stage = 2;
        const auto until = Clock::now() + kHogTime;
        while (Clock::now() < until) {
        }
    });
    std::thread waiter([&] {
        if (!pinAndSchedule(cpu, SCHED_FIFO, 20)) {
            refused = true;
            return;
        }
        while (stage < 2 && !refused) std::this_thread::sleep_for(std::chrono::microseconds(100));
        stage = 3;
        const auto start = Clock::now();
        const std::lock_guard lock(mutex);
        waited = Clock::now() - start;
    });
    waiter.join();
    hog.join();
    holder.join();
    if (refused) GTEST_SKIP() << "SCHED_FIFO or CPU affinity not permitted here";
    EXPECT_LT(waited, kHogTime / 3) << "the waiter waited "
                                    << std::chrono::duration<double, std::milli>(waited).count() << " ms";
}

}  // namespace
}  // namespace velorin
