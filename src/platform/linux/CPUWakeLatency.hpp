// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace velorin {

// Keeps the CPUs out of their deep idle states while MIDI flows, through the
// kernel's PM QoS interface: while /dev/cpu_dma_latency is held open with a
// zero written to it, no CPU sleeps deeper than it can leave at once. A thread
// woken on a CPU in deep sleep (or, in a virtual machine, on a halted virtual
// CPU) starts tens of microseconds late, which is most of what a note spends
// in the hub. Holding it costs power, so it is held only from the first event
// until `kIdleRelease` passes without one.
//
// update() is called now and then (about once a second) with the number of
// events sent so far; it is cheap when nothing changes. One thread only.
class CPUWakeLatency {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration kIdleRelease = std::chrono::seconds(10);
    static constexpr const char* kDevice = "/dev/cpu_dma_latency";

    explicit CPUWakeLatency(std::filesystem::path device = kDevice);
    ~CPUWakeLatency();
    CPUWakeLatency(const CPUWakeLatency&) = delete;
    CPUWakeLatency& operator=(const CPUWakeLatency&) = delete;

    // Holds or releases by the activity. Answers a log line the first time a
    // hold succeeds or fails, nothing otherwise; after a failure it is not
    // tried again.
    std::optional<std::string> update(std::uint64_t eventsSoFar, Clock::time_point now);
    bool isHeld() const { return fd_ >= 0; }

private:
    void release();

    std::filesystem::path device_;
    int fd_ = -1;
    bool failed_ = false;
    bool reported_ = false;
    std::uint64_t lastCount_ = 0;
    Clock::time_point lastActivity_{};
};

}  // namespace velorin
