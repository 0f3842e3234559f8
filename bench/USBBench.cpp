// SPDX-License-Identifier: GPL-3.0-or-later
// MIDI through the USB transport over real Unix sockets: a fake device sends a
// 3-byte note through the fake usbmuxd tunnel, the service hands it to its MIDI
// handler, the handler sends it back to the device's key, and the device
// receives it. Measures the round trip (p50, p99) and one-way throughput.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <vector>

#include "core/MemorySettingsStore.hpp"
#include "core/PollMainQueue.hpp"
#include "log/LogStore.hpp"
#include "usb/VLUSBService.hpp"
#include "usb/channel/VLUSBPeerTalkBridge.hpp"
#include "usb/support/FakeControllerDevice.hpp"
#include "usb/support/FakeUSBMuxDaemon.hpp"

namespace {

using namespace velorin;
using velorin::testing::FakeControllerDevice;
using velorin::testing::FakeUSBMuxDaemon;

struct Rig {
    std::filesystem::path dir;
    PollMainQueue queue;
    MemorySettingsStore settings;
    std::shared_ptr<LogStore> log = LogStore::create(queue, settings);
    std::unique_ptr<FakeUSBMuxDaemon> daemon;
    std::unique_ptr<FakeControllerDevice> device;
    std::unique_ptr<VLUSBService> service;
    std::size_t inbound = 0;
    bool echo = true;

    Rig() {
        char pattern[] = "/tmp/vlusb-bench-XXXXXX";
        dir = ::mkdtemp(pattern);
        const std::string socket = (dir / "usbmuxd").string();
        daemon = std::make_unique<FakeUSBMuxDaemon>(queue, socket);
        device = std::make_unique<FakeControllerDevice>(queue, "Bench");
        service = std::make_unique<VLUSBService>(
            queue, *log,
            std::make_unique<VLUSBPeerTalkBridgeAdapter>(VLUSBPeerTalkBridge::create(queue, socket)),
            std::make_unique<VLUSBProcessLock>(dir / "vl-usb.lock"));
        service->midiHandler = [this](const VLUSBInboundMIDI& m) {
            ++inbound;
            if (echo) service->send(0, 0, m.bytes, m.deviceKey);
        };
        service->start();
        daemon->attach(1, device.get());
        waitUntil([&] { return !service->devices().empty() && service->devices()[0]->isConnected(); });
    }
    ~Rig() {
        service.reset();
        device.reset();
        daemon.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    template <typename Pred>
    bool waitUntil(Pred pred) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!pred()) {
            if (std::chrono::steady_clock::now() > end) return false;
            queue.runFor(std::chrono::milliseconds(1), [&] { return pred(); });
        }
        return true;
    }
};

void BM_USBMIDIRoundTrip(benchmark::State& state) {
    Rig rig;
    std::vector<double> micros;
    micros.reserve(100000);
    const std::vector<std::uint8_t> note{0x90, 0x3C, 0x64};
    for (auto _ : state) {
        const std::size_t before = rig.device->receivedMIDI.size();
        const auto t0 = std::chrono::steady_clock::now();
        rig.device->sendMIDI(note);
        if (!rig.waitUntil([&] { return rig.device->receivedMIDI.size() > before; })) {
            state.SkipWithError("round trip timed out");
            break;
        }
        micros.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
        if (rig.device->receivedMIDI.size() > 4096) rig.device->receivedMIDI.clear();
    }
    if (!micros.empty()) {
        std::sort(micros.begin(), micros.end());
        state.counters["p50_us"] = micros[micros.size() / 2];
        state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    }
}
BENCHMARK(BM_USBMIDIRoundTrip)->Iterations(5000)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_USBMIDIOneWayThroughput(benchmark::State& state) {
    Rig rig;
    rig.echo = false;
    const std::vector<std::uint8_t> note{0x90, 0x3C, 0x64};
    const std::size_t batch = 1000;
    for (auto _ : state) {
        const std::size_t target = rig.inbound + batch;
        for (std::size_t i = 0; i < batch; ++i) rig.device->sendMIDI(note);
        if (!rig.waitUntil([&] { return rig.inbound >= target; })) {
            state.SkipWithError("frames did not arrive");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<benchmark::IterationCount>(batch));
}
BENCHMARK(BM_USBMIDIOneWayThroughput)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
BENCHMARK_MAIN();
