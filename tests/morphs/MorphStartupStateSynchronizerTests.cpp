// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "core/ManualMainQueue.hpp"
#include "morphs/MorphStartupStateSynchronizer.hpp"

namespace velorin {
namespace {

using namespace std::chrono_literals;

struct SynchronizerFixture : ::testing::Test {
    ManualMainQueue queue;
    MorphStartupStateSynchronizer sync{queue};
    int runs = 0;
    bool started = true;
    void start() {
        sync.schedule([this] { return started; }, [this] { ++runs; });
    }
};

TEST_F(SynchronizerFixture, RunsOnceTwoSecondsAfterTheRequest) {
    start();
    EXPECT_EQ(sync.generation(), 2);
    queue.advance(1999ms);
    EXPECT_EQ(runs, 0);
    queue.advance(1ms);
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(sync.hasPendingTask());
    queue.advance(10s);
    EXPECT_EQ(runs, 1);
}

TEST_F(SynchronizerFixture, CancelAfterOneSecondPreventsTheRun) {
    start();
    queue.advance(1s);
    sync.cancel();
    queue.advance(5s);
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(sync.generation(), 3);
}

TEST_F(SynchronizerFixture, StartStopStartGivesExactlyOneRunAfterTheSecondStart) {
    start();
    queue.advance(500ms);
    sync.cancel();
    queue.advance(500ms);
    start();
    queue.advance(1999ms);
    EXPECT_EQ(runs, 0);
    queue.advance(1ms);
    EXPECT_EQ(runs, 1);
    queue.advance(5s);
    EXPECT_EQ(runs, 1);
}

TEST_F(SynchronizerFixture, NewerRequestReplacesOlder) {
    start();
    queue.advance(500ms);
    start();
    queue.advance(1500ms);
    EXPECT_EQ(runs, 0);
    queue.advance(500ms);
    EXPECT_EQ(runs, 1);
}

TEST_F(SynchronizerFixture, FalseConditionSkipsTheActionAndClearsThePendingTask) {
    start();
    started = false;
    queue.advance(2s);
    EXPECT_EQ(runs, 0);
    EXPECT_FALSE(sync.hasPendingTask());
}

TEST_F(SynchronizerFixture, ActionMayRescheduleItself) {
    sync.schedule([] { return true; },
                  [this] {
                      if (++runs == 1) start();
                  });
    queue.advance(2s);
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(sync.hasPendingTask());  // the new request keeps its task
    queue.advance(2s);
    EXPECT_EQ(runs, 2);
}

TEST(MorphStartupStateSynchronizer, DestructionCancelsThePendingRun) {
    ManualMainQueue queue;
    int runs = 0;
    {
        MorphStartupStateSynchronizer sync(queue);
        sync.schedule([] { return true; }, [&runs] { ++runs; });
    }
    queue.advance(3s);
    EXPECT_EQ(runs, 0);
}

}  // namespace
}  // namespace velorin
