// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>

#include <atomic>
#include <filesystem>
#include <thread>

#include "platform/qt/QtMainQueue.hpp"

using namespace std::chrono_literals;
using velorin::IoEvents;
using velorin::QtMainQueue;
using velorin::TaskHandle;

namespace {

// Runs the Qt event loop until `done` holds or a generous real-time bound passes
// (every condition here holds within milliseconds on an idle machine).
bool spinUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 30000ms) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents | QEventLoop::AllEvents, 10);
    }
    return true;
}

// Runs the event loop for a short real-time span (to show that something does NOT happen).
void spinFor(std::chrono::milliseconds span) {
    const auto deadline = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents | QEventLoop::AllEvents, 5);
    }
}

int openDescriptorCount() {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                          std::filesystem::directory_iterator()));
}

struct SocketPair {
    int fds[2] = {-1, -1};
    SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0); }
    ~SocketPair() {
        for (int fd : fds) {
            if (fd >= 0) ::close(fd);
        }
    }
};

}  // namespace

TEST(QtMainQueue, PostRunsLaterOnTheEventLoopNeverInlineAndInOrder) {
    QtMainQueue q;
    std::vector<int> seen;
    q.post([&] { seen.push_back(1); });
    q.post([&] {
        seen.push_back(2);
        q.post([&] { seen.push_back(4); });  // posted from a job: still not inline
        seen.push_back(3);
    });
    EXPECT_TRUE(seen.empty());
    ASSERT_TRUE(spinUntil([&] { return seen.size() == 4; }));
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4}));
}

TEST(QtMainQueue, PostsFromOtherThreadsRunOnTheMainThread) {
    QtMainQueue q;
    EXPECT_TRUE(q.isMainThread());
    std::atomic<int> ran{0};
    std::atomic<int> offMain{0};
    std::atomic<bool> workerSawMain{true};
    std::thread worker([&] {
        workerSawMain = q.isMainThread();
        for (int i = 0; i < 200; ++i) {
            q.post([&] {
                if (!q.isMainThread()) ++offMain;
                ++ran;
            });
        }
    });
    worker.join();
    ASSERT_TRUE(spinUntil([&] { return ran.load() == 200; }));
    EXPECT_EQ(offMain.load(), 0);
    EXPECT_FALSE(workerSawMain.load());
}

TEST(QtMainQueue, DelayedJobWaitsForItsDelayAndRunsOnceEvenWithoutAHandle) {
    QtMainQueue q;
    const auto start = q.now();
    std::chrono::steady_clock::duration ranAfter{};
    int ran = 0;
    auto handle = q.postAfter(30ms, [&] {
        ++ran;
        ranAfter = q.now() - start;
    });
    int releasedRan = 0;
    q.postAfter(5ms, [&] { ++releasedRan; }).release();
    ASSERT_TRUE(spinUntil([&] { return ran == 1 && releasedRan == 1; }));
    EXPECT_GE(ranAfter, 30ms);
    spinFor(50ms);
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(releasedRan, 1);
}

// Delays that are not whole milliseconds are rounded up, never down: a job
// never runs before its delay has passed.
TEST(QtMainQueue, DelaysBetweenWholeMillisecondsNeverRunEarly) {
    QtMainQueue q;
    std::vector<std::chrono::steady_clock::duration> early;
    int ran = 0;
    std::vector<TaskHandle> handles;
    for (const auto delay : {1500us, 2500us, 2900us}) {
        const auto start = q.now();
        handles.push_back(q.postAfter(delay, [&, start, delay] {
            ++ran;
            if (q.now() - start < delay) early.push_back(q.now() - start);
        }));
    }
    ASSERT_TRUE(spinUntil([&] { return ran == 3; }));
    EXPECT_TRUE(early.empty());
}

TEST(QtMainQueue, CancellingByHandleOrDestructionStopsDelayedJobs) {
    QtMainQueue q;
    int ran = 0;
    auto cancelled = q.postAfter(10ms, [&] { ++ran; });
    cancelled.cancel();
    {
        auto dropped = q.postAfter(10ms, [&] { ++ran; });
    }
    TaskHandle replaced = q.postAfter(10ms, [&] { ++ran; });
    replaced = TaskHandle();
    bool sentinel = false;
    auto last = q.postAfter(40ms, [&] { sentinel = true; });
    ASSERT_TRUE(spinUntil([&] { return sentinel; }));
    EXPECT_EQ(ran, 0);
}

TEST(QtMainQueue, RepeatingTimerFiresUntilItCancelsItself) {
    QtMainQueue q;
    int ticks = 0;
    TaskHandle h;
    h = q.every(2ms, [&] {
        if (++ticks == 3) h.cancel();
    });
    ASSERT_TRUE(spinUntil([&] { return ticks >= 3; }));
    spinFor(30ms);
    EXPECT_EQ(ticks, 3);
    EXPECT_FALSE(h.isActive());
}

// A repeating job with a zero interval runs at most once a millisecond, so it
// cannot take every turn of the event loop.
TEST(QtMainQueue, ARepeatingJobWithAZeroIntervalRunsAtMostOnceAMillisecond) {
    QtMainQueue q;
    int ticks = 0;
    const auto start = std::chrono::steady_clock::now();
    TaskHandle h = q.every(0ms, [&] { ++ticks; });
    spinFor(30ms);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    h.cancel();
    EXPECT_GE(ticks, 1);
    EXPECT_LE(ticks, std::chrono::ceil<std::chrono::milliseconds>(elapsed).count() + 1);
}

TEST(QtMainQueue, WatchReportsReadableAndWritableUntilCancelled) {
    QtMainQueue q;
    SocketPair pair;
    int readable = 0;
    std::string received;
    TaskHandle readWatch = q.watch(pair.fds[0], IoEvents::readable, [&](IoEvents ev) {
        EXPECT_EQ(ev, IoEvents::readable);
        char buf[64];
        ssize_t n = ::read(pair.fds[0], buf, sizeof buf);
        if (n > 0) received.append(buf, static_cast<std::size_t>(n));
        ++readable;
    });
    spinFor(20ms);
    EXPECT_EQ(readable, 0);  // nothing to read yet

    ASSERT_EQ(::write(pair.fds[1], "hello", 5), 5);
    ASSERT_TRUE(spinUntil([&] { return received == "hello"; }));

    int writable = 0;
    TaskHandle writeWatch = q.watch(pair.fds[1], IoEvents::writable, [&](IoEvents ev) {
        EXPECT_EQ(ev, IoEvents::writable);
        ++writable;
        writeWatch.cancel();  // cancelling from inside the callback is safe
    });
    ASSERT_TRUE(spinUntil([&] { return writable == 1; }));

    readWatch.cancel();
    const int before = readable;
    ASSERT_EQ(::write(pair.fds[1], "x", 1), 1);
    spinFor(30ms);
    EXPECT_EQ(readable, before);
    EXPECT_EQ(writable, 1);
}

TEST(QtMainQueue, HandlesOutlivingTheQueueCancelNothing) {
    TaskHandle timer;
    TaskHandle watch;
    SocketPair pair;
    {
        QtMainQueue q;
        timer = q.postAfter(1h, [] {});
        watch = q.watch(pair.fds[0], IoEvents::readable, [](IoEvents) {});
    }
    timer.cancel();
    watch.cancel();
    SUCCEED();
}

TEST(QtMainQueue, PreciseJobRunsOnceNotBeforeItsTimeAndClosesItsTimerWhenDoneOrCancelled) {
    QtMainQueue q;
    const int descriptorsBefore = openDescriptorCount();
    const auto due = q.now() + 3300us;
    std::vector<QtMainQueue::TimePoint> ranAt;
    auto handle = q.postAtPrecisely(due, [&] { ranAt.push_back(q.now()); });
    int cancelledRan = 0;
    auto cancelled = q.postAtPrecisely(due - 2ms, [&] { ++cancelledRan; });
    cancelled.cancel();
    int selfCancellingRan = 0;
    TaskHandle selfCancelling;
    selfCancelling = q.postAtPrecisely(due, [&] {
        ++selfCancellingRan;
        selfCancelling.cancel();
    });
    bool pastRan = false;
    auto past = q.postAtPrecisely(q.now() - 1s, [&] { pastRan = true; });
    EXPECT_FALSE(pastRan);  // never inline

    ASSERT_TRUE(spinUntil([&] { return !ranAt.empty() && selfCancellingRan == 1 && pastRan; }));
    spinFor(20ms);
    ASSERT_EQ(ranAt.size(), 1u);
    EXPECT_GE(ranAt[0], due);
    EXPECT_EQ(selfCancellingRan, 1);
    EXPECT_EQ(cancelledRan, 0);
    EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
}
