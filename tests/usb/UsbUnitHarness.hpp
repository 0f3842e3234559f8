// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/ManualMainQueue.hpp"
#include "usb/FakeUSBTransport.hpp"
#include "usb/UsbTestSupport.hpp"
#include "usb/VLUSBService.hpp"
#include "usb/channel/PTPropertyList.hpp"

namespace velorin::testing {

// A lock whose availability the test decides.
class FakeProcessLock final : public VLUSBProcessLocking {
public:
    bool tryAcquire() override {
        ++attempts;
        if (available) held = true;
        return available;
    }
    void release() override { held = false; }
    bool available = true;
    bool held = false;
    int attempts = 0;
};

inline std::vector<std::uint8_t> deviceInfoXML(const std::string& name, const std::string& model = "iPad",
                                               const std::string& version = "17.4") {
    PTPlist info = PTPlist::makeDictionary();
    info.set("model", PTPlist::makeString(model));
    info.set("name", PTPlist::makeString(name));
    info.set("systemVersion", PTPlist::makeString(version));
    const auto xml = PTPlistToXML(info);
    return {xml.begin(), xml.end()};
}

// The service on virtual time with a scripted transport.
struct UsbUnitHarness : UsbLoggingHarness<ManualMainQueue> {
    FakeUSBTransport* transport = nullptr;
    FakeProcessLock* lock = nullptr;
    std::vector<VLUSBInboundMIDI> inbound;
    int publishCount = 0;
    std::unique_ptr<VLUSBService> service;

    UsbUnitHarness() {
        auto t = std::make_unique<FakeUSBTransport>(queue);
        auto l = std::make_unique<FakeProcessLock>();
        transport = t.get();
        lock = l.get();
        service = std::make_unique<VLUSBService>(queue, *log, std::move(t), std::move(l));
        service->midiHandler = [this](const VLUSBInboundMIDI& m) { inbound.push_back(m); };
        service->devicesHandler = [this](const VLUSBDeviceList&) { ++publishCount; };
    }

    void run() { queue.runPending(); }
    void advance(MainQueue::Duration d) { queue.advance(d); }
    // Attach, open and hand over device info: the device ends connected.
    VLUSBChannelIdentifier connectDevice(std::uint32_t n, const std::string& name) {
        transport->attach(n);
        run();
        const auto ch = transport->lastChannel(n);
        transport->complete(ch);
        run();
        transport->frame(ch, 100, 0, deviceInfoXML(name));
        run();
        return ch;
    }
    VLUSBSession& session(std::uint32_t n) { return service->connections().at(n)->session(); }
    std::shared_ptr<VLUSBDevice> device(const std::string& key) const {
        for (const auto& d : service->devices()) {
            if (d->id() == key) return d;
        }
        return nullptr;
    }
};

}  // namespace velorin::testing
