// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/CPUWakeLatency.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace velorin {
namespace {

using namespace std::chrono_literals;

std::size_t openDescriptors() {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                                  std::filesystem::directory_iterator{}));
}

// A plain file stands in for the PM QoS device: what is written to it, and
// whether it is still open, is what the kernel would see.
TEST(CPUWakeLatency, HeldFromTheFirstEventUntilTenQuietSecondsThenAgain) {
    const auto device =
        std::filesystem::temp_directory_path() / ("velorin-qos-" + std::to_string(::getpid()));
    { std::ofstream create(device); }
    const std::size_t before = openDescriptors();
    const auto t0 = CPUWakeLatency::Clock::now();
    {
        CPUWakeLatency wake(device);
        EXPECT_EQ(wake.update(0, t0), std::nullopt);
        EXPECT_FALSE(wake.isHeld());

        const auto line = wake.update(3, t0 + 1s);
        EXPECT_TRUE(wake.isHeld());
        ASSERT_TRUE(line);
        EXPECT_NE(line->find("kept out of deep sleep"), std::string::npos);
        EXPECT_EQ(std::filesystem::file_size(device), 4u);  // a 32-bit zero: no sleep state's exit latency

        EXPECT_EQ(wake.update(3, t0 + 10s), std::nullopt);  // 9 s quiet: still held
        EXPECT_TRUE(wake.isHeld());
        wake.update(3, t0 + 11s);
        EXPECT_FALSE(wake.isHeld());
        EXPECT_EQ(openDescriptors(), before);

        EXPECT_EQ(wake.update(4, t0 + 12s), std::nullopt);  // held again, said only once
        EXPECT_TRUE(wake.isHeld());
    }
    EXPECT_EQ(openDescriptors(), before);
    std::filesystem::remove(device);

    // Where it cannot be written: said once, not tried again.
    CPUWakeLatency denied("/nonexistent/cpu_dma_latency");
    const auto line = denied.update(1, t0);
    ASSERT_TRUE(line);
    EXPECT_NE(line->find("cannot be written (No such file or directory)"), std::string::npos);
    EXPECT_EQ(denied.update(2, t0 + 1s), std::nullopt);
    EXPECT_FALSE(denied.isHeld());
}

}  // namespace
}  // namespace velorin
