// SPDX-License-Identifier: GPL-3.0-or-later
// The socket writer of the framed channel and the usbmuxd client: its budget
// of bytes waiting for the socket, failed writes and discarded ones.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <vector>

#include "core/ManualMainQueue.hpp"
#include "usb/channel/PTSocketWriter.hpp"

namespace velorin::testing {
namespace {

class PTSocketWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        local = fds[0];
        peer = fds[1];
        ASSERT_TRUE(PTMakeNonBlocking(local));
    }
    void TearDown() override {
        if (local >= 0) ::close(local);
        if (peer >= 0) ::close(peer);
    }
    ManualMainQueue queue;
    int local = -1;
    int peer = -1;
};

// Bytes the socket has no room for count against the budget: a write that
// brings them to exactly the budget is queued, one byte more is refused.
TEST_F(PTSocketWriterTest, WritesUpToExactlyTheBudgetAreQueuedOneByteMoreIsRefused) {
    constexpr std::size_t kBig = 4 * 1024 * 1024;  // far more than the socket holds
    constexpr std::size_t kBudget = kBig + 100;
    PTSocketWriter writer(queue, local, kBudget);
    std::vector<PTOptionalError> done;
    writer.write(std::vector<std::uint8_t>(kBig, 1), [&](PTOptionalError e) { done.push_back(e); });
    ASSERT_FALSE(writer.isEmpty());
    writer.write(std::vector<std::uint8_t>(100, 2), [&](PTOptionalError e) { done.push_back(e); });
    std::optional<PTOptionalError> refused;
    writer.write(std::vector<std::uint8_t>(1, 3), [&](PTOptionalError e) { refused = e; });
    queue.runPending();
    ASSERT_TRUE(refused && *refused);
    EXPECT_TRUE((*refused)->isPOSIX(ENOBUFS));
    EXPECT_TRUE(done.empty());

    // The peer reads: both queued writes go out whole and complete without error.
    std::vector<std::uint8_t> buffer(256 * 1024);
    std::size_t total = 0;
    while (total < kBig + 100) {
        queue.runPending();
        const auto n = ::recv(peer, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n > 0) total += static_cast<std::size_t>(n);
        if (n == 0) break;
    }
    queue.runPending();
    EXPECT_EQ(total, kBig + 100);
    ASSERT_EQ(done.size(), 2u);
    EXPECT_FALSE(done[0]);
    EXPECT_FALSE(done[1]);
    EXPECT_TRUE(writer.isEmpty());
}

// A write the socket refuses fails with its errno, and so does every write
// after it: nothing is sent on a broken stream.
TEST_F(PTSocketWriterTest, AFailedWriteFailsItAndEveryLaterOne) {
    PTSocketWriter writer(queue, local);
    ::close(peer);
    peer = -1;
    std::vector<PTOptionalError> done;
    writer.write({1, 2, 3}, [&](PTOptionalError e) { done.push_back(e); });
    writer.write({4}, [&](PTOptionalError e) { done.push_back(e); });
    queue.runPending();
    ASSERT_EQ(done.size(), 2u);
    ASSERT_TRUE(done[0]);
    EXPECT_TRUE(done[0]->isPOSIX(EPIPE));
    ASSERT_TRUE(done[1]);
    EXPECT_TRUE(done[1]->isPOSIX(EPIPE));
}

// Discarding completes every waiting write with ECANCELED.
TEST_F(PTSocketWriterTest, DiscardedWritesCompleteWithECANCELED) {
    PTSocketWriter writer(queue, local);
    std::vector<PTOptionalError> done;
    writer.write(std::vector<std::uint8_t>(4 * 1024 * 1024, 1),
                 [&](PTOptionalError e) { done.push_back(e); });
    writer.write({2}, [&](PTOptionalError e) { done.push_back(e); });
    ASSERT_FALSE(writer.isEmpty());
    writer.discard();
    queue.runPending();
    EXPECT_TRUE(writer.isEmpty());
    ASSERT_EQ(done.size(), 2u);
    for (const auto& e : done) {
        ASSERT_TRUE(e);
        EXPECT_TRUE(e->isPOSIX(ECANCELED));
    }
}

}  // namespace
}  // namespace velorin::testing
