#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "core/ManualMainQueue.hpp"
#include "usb/FakeUSBTransport.hpp"
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
struct UsbUnitHarness {
    ManualMainQueue queue;
    FakeUSBTransport* transport = nullptr;
    FakeProcessLock* lock = nullptr;
    std::vector<std::string> lines;
    std::vector<VLUSBInboundMIDI> inbound;
    int publishCount = 0;
    std::unique_ptr<VLUSBService> service;

    UsbUnitHarness() {
        VLUSBService::Dependencies deps;
        auto t = std::make_unique<FakeUSBTransport>(queue);
        transport = t.get();
        auto l = std::make_unique<FakeProcessLock>();
        lock = l.get();
        deps.transport = std::move(t);
        deps.processLock = std::move(l);
        deps.retryClock = std::make_unique<VLUSBDispatchRetryClock>(queue);
        deps.lifecycleLog = [this](const std::string& line) { lines.push_back(line); };
        deps.diagnosticLog = [this](const std::string& line) { lines.push_back(line); };
        service = std::make_unique<VLUSBService>(std::move(deps));
        service->midiHandler = [this](const VLUSBInboundMIDI& m) { inbound.push_back(m); };
        service->devicesHandler = [this](const VLUSBDeviceList&) { ++publishCount; };
    }

    void run() { queue.runPending(); }
    void advance(double seconds) {
        queue.advance(
            std::chrono::duration_cast<MainQueue::Duration>(std::chrono::duration<double>(seconds)));
    }
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
    std::size_t countLines(const std::string& text) const {
        return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.find(text) != std::string::npos;
        }));
    }
    bool hasLine(const std::string& text) const { return countLines(text) > 0; }
    std::shared_ptr<VLUSBDevice> device(const std::string& key) const {
        for (const auto& d : service->devices()) {
            if (d->id() == key) return d;
        }
        return nullptr;
    }
};

}  // namespace velorin::testing
