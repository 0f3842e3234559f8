// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "core/ManualMainQueue.hpp"
#include "core/SnapshotChannel.hpp"

using velorin::ManualMainQueue;
using velorin::SnapshotChannel;

namespace {

TEST(SnapshotChannel, ABurstFromAnotherThreadReachesTheReaderAsOneNotificationOfTheLastValue) {
    ManualMainQueue reader;
    SnapshotChannel<int> channel(reader, std::make_shared<const int>(0));
    int notified = 0;
    int seen = -1;
    const auto subscription = channel.observe([&] {
        ++notified;
        seen = *channel.latest();
    });
    std::thread writer([&] {
        for (int i = 1; i <= 1000; ++i) channel.publish(std::make_shared<const int>(i));
    });
    writer.join();
    EXPECT_EQ(notified, 0);  // never inline, always on the reader's queue
    reader.runPending();
    EXPECT_EQ(notified, 1);
    EXPECT_EQ(seen, 1000);

    channel.publish(std::make_shared<const int>(7));
    reader.runPending();
    EXPECT_EQ(notified, 2);
    EXPECT_EQ(seen, 7);
}

TEST(SnapshotChannel, ANotificationForAChannelGoneMeanwhileDoesNothing) {
    ManualMainQueue reader;
    int notified = 0;
    {
        SnapshotChannel<int> channel(reader, std::make_shared<const int>(0));
        const auto subscription = channel.observe([&] { ++notified; });
        channel.publish(std::make_shared<const int>(1));
    }
    reader.runPending();
    EXPECT_EQ(notified, 0);
}

}  // namespace
