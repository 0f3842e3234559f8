// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/MainQueue.hpp"
#include "usb/VLUSBDevice.hpp"
#include "usb/channel/PTPropertyList.hpp"
#include "usb/channel/VLUSBTransport.hpp"

namespace velorin {

// The connection state of one attached device, driven by its controller.
struct VLUSBSession {
    enum class State { attached, connecting, awaitingDeviceInfo, connected, retrying, stopped };

    VLUSBSession(std::uint32_t number, PTPlist properties)
        : transientIdentifier(number), attachmentProperties(std::move(properties)) {}

    std::uint32_t transientIdentifier;
    PTPlist attachmentProperties;
    State state = State::attached;
    std::optional<VLUSBChannelIdentifier> channelIdentifier;
    std::optional<std::string> attemptIdentifier;
    // Pending timers on the main queue; the controller cancels them when it goes.
    TaskHandle retry;
    TaskHandle handshakeWatchdog;
    TaskHandle heartbeatProbe;
    TaskHandle heartbeatWatchdog;
    std::optional<std::uint32_t> pendingHeartbeatTag;
    std::uint32_t nextHeartbeatTag = 1;
    // When the pending ping left, and how long the last answered one took.
    std::optional<MainQueue::TimePoint> pingSentAt;
    std::optional<MainQueue::Duration> lastPingRoundTrip;
    std::shared_ptr<VLUSBDevice> device;
};

const char* VLUSBSessionStateName(VLUSBSession::State state);

}  // namespace velorin
