// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "core/PollMainQueue.hpp"
#include "usb/UsbTestSupport.hpp"
#include "usb/VLUSBService.hpp"
#include "usb/channel/VLUSBPeerTalkBridge.hpp"
#include "usb/support/FakeControllerDevice.hpp"
#include "usb/support/FakeUSBMuxDaemon.hpp"

namespace velorin::testing {

// The real service and bridge against the fake daemon and devices, over real
// Unix sockets on a poll loop.
struct UsbServiceHarness : UsbLoggingHarness<PollMainQueue> {
    UsbTempDir dir;
    std::string socketPath = dir.file("usbmuxd");
    std::unique_ptr<FakeUSBMuxDaemon> daemon = std::make_unique<FakeUSBMuxDaemon>(queue, socketPath);
    std::vector<VLUSBInboundMIDI> inbound;
    std::unique_ptr<VLUSBService> service;

    // Fast timers are short enough for tests on real time.
    explicit UsbServiceHarness(bool fastTimers = true) {
        service = std::make_unique<VLUSBService>(
            queue, *log,
            std::make_unique<VLUSBPeerTalkBridgeAdapter>(VLUSBPeerTalkBridge::create(queue, socketPath)),
            std::make_unique<VLUSBProcessLock>(dir.path() / "data" / "vl-usb.lock"),
            fastTimers ? VLUSBServiceTiming{.connection = {.retryDelay = 20ms,
                                                           .handshakeTimeout = 300ms,
                                                           .heartbeatInterval = 100ms,
                                                           .heartbeatTimeout = 200ms}}
                       : VLUSBServiceTiming{});
        service->midiHandler = [this](const VLUSBInboundMIDI& m) { inbound.push_back(m); };
    }
    ~UsbServiceHarness() {
        service.reset();
        queue.runFor(std::chrono::milliseconds(5));
    }

    // Runs the loop in short slices (a slice may sleep in poll after the
    // condition became true) until `pred` holds or `limit` has passed. The
    // default limit is far above what any condition takes on an idle machine,
    // so that a loaded one slows the tests down but does not fail them.
    template <typename Pred>
    bool waitFor(Pred pred, MainQueue::Duration limit = kUsbWaitLimit) {
        const auto end = MainQueue::Clock::now() + limit;
        while (!pred()) {
            if (MainQueue::Clock::now() >= end) return false;
            queue.runFor(std::chrono::milliseconds(2));
        }
        return true;
    }
    std::size_t connectedDevices() const {
        return static_cast<std::size_t>(std::count_if(service->devices().begin(), service->devices().end(),
                                                      [](const auto& d) { return d->isConnected(); }));
    }
};

}  // namespace velorin::testing
