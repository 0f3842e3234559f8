// SPDX-License-Identifier: GPL-3.0-or-later
// UDP sockets on the poll loop, over loopback: datagrams both ways with the
// sender's address as the peer would answer to, a busy port's error, names
// resolved without blocking the loop.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>

#include "core/PollMainQueue.hpp"
#include "core/SettingsStore.hpp"
#include "platform/linux/UDPDatagramSocket.hpp"

namespace velorin {
namespace {

using namespace std::chrono_literals;

TEST(UDPDatagramSocketTest, CarriesDatagramsBothWaysAndReportsABusyPort) {
    PollMainQueue queue;
    UDPDatagramSocketFactory factory(queue);
    std::vector<std::pair<ByteArray, NetworkMIDIAddress>> atA;
    std::vector<std::pair<ByteArray, NetworkMIDIAddress>> atB;
    auto openA = factory.open(0, [&](std::span<const std::uint8_t> d, const NetworkMIDIAddress& from) {
        atA.emplace_back(ByteArray(d.begin(), d.end()), from);
    });
    auto openB = factory.open(0, [&](std::span<const std::uint8_t> d, const NetworkMIDIAddress& from) {
        atB.emplace_back(ByteArray(d.begin(), d.end()), from);
    });
    auto& a = std::get<std::unique_ptr<DatagramSocket>>(openA);
    auto& b = std::get<std::unique_ptr<DatagramSocket>>(openB);
    ASSERT_NE(a->localPort(), 0);

    const ByteArray big(4000, 0x5A);
    EXPECT_EQ(a->sendTo(ByteArray{1, 2, 3}, {"127.0.0.1", b->localPort()}), 0);
    EXPECT_EQ(a->sendTo(big, {"127.0.0.1", b->localPort()}), 0);
    ASSERT_TRUE(queue.runFor(2s, [&] { return atB.size() == 2; }));
    EXPECT_EQ(atB[0].first, (ByteArray{1, 2, 3}));
    EXPECT_EQ(atB[1].first, big);
    // An IPv4 sender is shown as plain IPv4, and answering there reaches it.
    EXPECT_EQ(atB[0].second, (NetworkMIDIAddress{"127.0.0.1", a->localPort()}));
    EXPECT_EQ(b->sendTo(ByteArray{9}, atB[0].second), 0);
    ASSERT_TRUE(queue.runFor(2s, [&] { return atA.size() == 1; }));
    EXPECT_EQ(atA[0].first, ByteArray{9});

    EXPECT_EQ(a->sendTo(ByteArray{1}, {"not-numeric", 5004}), EAFNOSUPPORT);
    auto again =
        factory.open(b->localPort(), [](std::span<const std::uint8_t>, const NetworkMIDIAddress&) {});
    ASSERT_TRUE(std::holds_alternative<int>(again));
    EXPECT_EQ(std::get<int>(again), EADDRINUSE);
}

TEST(UDPDatagramSocketTest, ResolvesLiteralsAndNamesLaterOnTheLoop) {
    PollMainQueue queue;
    UDPDatagramSocketFactory factory(queue);
    std::vector<DatagramSocketFactory::Resolution> answers;
    factory.resolve({"::ffff:127.0.0.1", 5004}, [&](auto r) { answers.push_back(std::move(r)); });
    factory.resolve({"localhost", 5006}, [&](auto r) { answers.push_back(std::move(r)); });
    EXPECT_TRUE(answers.empty());  // never inline
    ASSERT_TRUE(queue.runFor(10s, [&] { return answers.size() == 2; }));
    const auto* literal = std::get_if<std::vector<NetworkMIDIAddress>>(&answers[0]);
    ASSERT_NE(literal, nullptr);
    EXPECT_EQ(literal->front(), (NetworkMIDIAddress{"127.0.0.1", 5004}));
    const auto* named = std::get_if<std::vector<NetworkMIDIAddress>>(&answers[1]);
    ASSERT_NE(named, nullptr);
    ASSERT_FALSE(named->empty());
    EXPECT_EQ(named->front().port, 5006);
}

TEST(UDPDatagramSocketTest, CarriesIPv6WhereTheSystemHasIt) {
    PollMainQueue queue;
    UDPDatagramSocketFactory factory(queue);
    std::vector<NetworkMIDIAddress> senders;
    auto openA = factory.open(0, [](std::span<const std::uint8_t>, const NetworkMIDIAddress&) {});
    auto openB = factory.open(
        0, [&](std::span<const std::uint8_t>, const NetworkMIDIAddress& from) { senders.push_back(from); });
    auto& a = std::get<std::unique_ptr<DatagramSocket>>(openA);
    auto& b = std::get<std::unique_ptr<DatagramSocket>>(openB);
    if (a->sendTo(ByteArray{1}, {"::1", b->localPort()}) != 0) GTEST_SKIP() << "no IPv6 loopback here";
    ASSERT_TRUE(queue.runFor(2s, [&] { return !senders.empty(); }));
    EXPECT_EQ(senders[0], (NetworkMIDIAddress{"::1", a->localPort()}));
    EXPECT_EQ(senders[0].text(), "[::1]:" + std::to_string(a->localPort()));
}

}  // namespace
}  // namespace velorin
