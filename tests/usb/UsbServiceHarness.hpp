#pragma once

#include <algorithm>
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
struct UsbServiceHarness {
    PollMainQueue queue;
    UsbTempDir dir;
    std::string socketPath = dir.file("usbmuxd");
    std::unique_ptr<FakeUSBMuxDaemon> daemon = std::make_unique<FakeUSBMuxDaemon>(queue, socketPath);
    std::vector<std::string> lines;
    std::vector<VLUSBInboundMIDI> inbound;
    std::unique_ptr<VLUSBService> service;

    explicit UsbServiceHarness(bool fastTimers = true) {
        VLUSBService::Dependencies deps;
        deps.transport =
            std::make_unique<VLUSBPeerTalkBridgeAdapter>(VLUSBPeerTalkBridge::create(queue, socketPath));
        deps.processLock = std::make_unique<VLUSBProcessLock>(dir.path() / "data" / "vl-usb.lock");
        deps.retryClock = std::make_unique<VLUSBDispatchRetryClock>(queue);
        deps.lifecycleLog = [this](const std::string& line) { lines.push_back(line); };
        deps.diagnosticLog = [this](const std::string& line) { lines.push_back(line); };
        service = std::make_unique<VLUSBService>(std::move(deps));
        service->midiHandler = [this](const VLUSBInboundMIDI& m) { inbound.push_back(m); };
        if (fastTimers) {
            service->retryDelay = 0.02;
            service->handshakeTimeout = 0.3;
            service->heartbeatInterval = 0.1;
            service->heartbeatTimeout = 0.2;
        }
    }
    ~UsbServiceHarness() {
        service.reset();
        queue.runFor(std::chrono::milliseconds(5));
    }

    // Runs the loop in short slices (a slice may sleep in poll after the
    // condition became true) until `pred` holds or `seconds` have passed.
    template <typename Pred>
    bool waitFor(Pred pred, double seconds = 5.0) {
        const auto end = MainQueue::Clock::now() + std::chrono::duration_cast<MainQueue::Duration>(
                                                       std::chrono::duration<double>(seconds));
        while (!pred()) {
            if (MainQueue::Clock::now() >= end) return false;
            queue.runFor(std::chrono::milliseconds(2));
        }
        return true;
    }
    void runFor(double seconds) {
        queue.runFor(std::chrono::duration_cast<MainQueue::Duration>(std::chrono::duration<double>(seconds)));
    }
    std::size_t countLines(const std::string& text) const {
        return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.find(text) != std::string::npos;
        }));
    }
    bool hasLine(const std::string& text) const { return countLines(text) > 0; }
    std::size_t connectedDevices() const {
        return static_cast<std::size_t>(std::count_if(service->devices().begin(), service->devices().end(),
                                                      [](const auto& d) { return d->isConnected(); }));
    }
};

}  // namespace velorin::testing
