// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "core/QueueThread.hpp"

using namespace std::chrono_literals;
using velorin::QueueThread;

namespace {

TEST(QueueThread, StartsWithItsStartJobThenRunsPostsAndTimersOnItsOwnThreadInOrder) {
    std::thread::id startedOn;
    QueueThread thread([&] { startedOn = std::this_thread::get_id(); });
    EXPECT_NE(startedOn, std::this_thread::get_id());
    EXPECT_FALSE(thread.queue().isMainThread());

    std::vector<int> order;  // touched on the queue's thread only
    std::atomic<bool> timerRan{false};
    for (int i = 0; i < 100; ++i) thread.queue().post([&order, i] { order.push_back(i); });
    bool onItsThread = false;
    ASSERT_TRUE(thread.runAndWait([&] {
        onItsThread = thread.queue().isMainThread() && std::this_thread::get_id() == startedOn;
        thread.queue().postAfter(5ms, [&timerRan] { timerRan = true; }).release();
    }));
    EXPECT_TRUE(onItsThread);
    EXPECT_EQ(order.size(), 100u);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!timerRan && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(timerRan);
}

TEST(QueueThread, StopRunsWhatWasPostedBeforeItAndNothingAfter) {
    std::atomic<int> ran{0};
    {
        QueueThread thread;
        // Posted from another thread right up to the stop.
        std::thread poster([&] {
            for (int i = 0; i < 1000; ++i) thread.queue().post([&ran] { ++ran; });
        });
        poster.join();
        thread.stop();
        EXPECT_FALSE(thread.isRunning());
        EXPECT_EQ(ran.load(), 1000);
        EXPECT_FALSE(thread.runAndWait([&ran] { ++ran; }));
        thread.stop();  // again: nothing
    }
    EXPECT_EQ(ran.load(), 1000);
}

// A stop right after the start, with a job posted just before it: the job
// runs and the thread ends, every time.
TEST(QueueThread, AStopRightAfterTheStartEndsTheThreadAfterWhatWasPosted) {
    for (int round = 0; round < 200; ++round) {
        std::atomic<int> ran{0};
        QueueThread thread;
        thread.queue().post([&ran] { ++ran; });
        thread.stop();
        ASSERT_EQ(ran.load(), 1) << "round " << round;
    }
}

}  // namespace
