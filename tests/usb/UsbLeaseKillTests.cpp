// SPDX-License-Identifier: GPL-3.0-or-later
// The per-user USB lease when its holder dies by SIGKILL, again and again:
// real server processes (the lease helper, a VLUSBService on the lock file)
// take turns. While one holds the lease, the next one starts, finds it taken
// and retries every 2 s; the holder is killed at a random moment of that
// period, and the waiter takes the lease over within 2.1 s, then holds it for
// the next round. Rounds: VELORIN_CHAOS_ROUNDS (see ChaosRun.hpp).
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <memory>
#include <random>

#include "core/PollMainQueue.hpp"
#include "support/ChaosRun.hpp"
#include "support/ChildProcess.hpp"
#include "usb/UsbTestSupport.hpp"
#include "usb/support/FakeUSBMuxDaemon.hpp"

namespace velorin::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kTakeoverBudget = 2100ms;

TEST(UsbLeaseKill, AWaitingServerTakesTheLeaseOverAfterEveryKill) {
    const std::string helper = chaosHelperProgram("VELORIN_USB_LEASE_HELPER", "usb_lease_helper");
    ASSERT_FALSE(helper.empty()) << "usb_lease_helper not found";
    const std::size_t rounds = chaosRounds(10);
    const std::uint64_t seed = chaosSeed();
    std::mt19937_64 random(seed);
    std::printf("[lease kill] %zu kills, seed %llu\n", rounds, static_cast<unsigned long long>(seed));
    std::fflush(stdout);

    UsbTempDir dir;
    PollMainQueue queue;
    FakeUSBMuxDaemon daemon(queue, dir.file("usbmuxd"));
    const std::vector<std::string> server{helper, dir.file("data/Velorin Server/vl-usb.lock"),
                                          dir.file("usbmuxd")};
    const auto pump = [&] { queue.runFor(1ms); };

    auto holder = std::make_unique<ChildProcess>(server);
    ASSERT_TRUE(holder->nextLine("[VL USB] Starting device observation", 5s, pump));
    std::vector<Clock::duration> takeovers;
    for (std::size_t round = 1; round <= rounds; ++round) {
        SCOPED_TRACE("kill " + std::to_string(round));
        auto waiter = std::make_unique<ChildProcess>(server);
        ASSERT_TRUE(waiter->nextLine("[VL USB] VL USB in Use by Another Server", 5s, pump));
        queue.runFor(
            std::chrono::microseconds(std::uniform_int_distribution<std::int64_t>(0, 1999999)(random)));
        const auto killedAt = Clock::now();
        holder->kill(SIGKILL);
        ASSERT_TRUE(waiter->nextLine("[VL USB] Lease acquired; starting device observation", 4s, pump));
        takeovers.push_back(Clock::now() - killedAt);
        EXPECT_LE(takeovers.back(), kTakeoverBudget);
        // One line when the lease was taken, silent retries after it.
        EXPECT_EQ(waiter->countOccurrences("[VL USB] VL USB in Use by Another Server"), 1u);
        holder = std::move(waiter);
    }
    const auto summary = summarize(takeovers);
    std::printf("[lease kill] takeovers after SIGKILL: %s (budget 2100 ms); load %s\n",
                describe(summary).c_str(), loadAverages().c_str());
    std::fflush(stdout);
}

}  // namespace
}  // namespace velorin::testing
