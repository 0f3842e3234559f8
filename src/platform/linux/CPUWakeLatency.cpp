// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/CPUWakeLatency.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace velorin {

CPUWakeLatency::CPUWakeLatency(std::filesystem::path device) : device_(std::move(device)) {}

CPUWakeLatency::~CPUWakeLatency() {
    release();
}

std::optional<std::string> CPUWakeLatency::update(std::uint64_t eventsSoFar, Clock::time_point now) {
    if (eventsSoFar != lastCount_) {
        lastCount_ = eventsSoFar;
        lastActivity_ = now;
        if (isHeld() || failed_) return std::nullopt;
        // The request lasts as long as the descriptor stays open: the kernel
        // drops it when the process ends, however it ends.
        const int fd = ::open(device_.c_str(), O_WRONLY | O_CLOEXEC);
        const std::int32_t microseconds = 0;
        if (fd >= 0 && ::write(fd, &microseconds, sizeof microseconds) == sizeof microseconds) {
            fd_ = fd;
            if (std::exchange(reported_, true)) return std::nullopt;
            return "[MIDI] CPUs kept out of deep sleep while MIDI flows (" + device_.string() + ")";
        }
        const std::string why = std::strerror(errno);
        if (fd >= 0) ::close(fd);
        failed_ = true;
        return "[MIDI] CPUs may sleep deeply between notes: " + device_.string() + " cannot be written (" +
               why + "); a udev rule giving the audio group write access to it lets the hub keep them awake";
    }
    if (isHeld() && now - lastActivity_ >= kIdleRelease) release();
    return std::nullopt;
}

void CPUWakeLatency::release() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

}  // namespace velorin
