// SPDX-License-Identifier: GPL-3.0-or-later
// The engine's contact with the outside, on a fake MIDI service, a scripted USB
// transport and virtual time: start and stop with their rollbacks, the app's
// port pairs, the inventory, the receive paths, the send path and USB.
#include <gtest/gtest.h>

#include <thread>

#include "EngineTestSupport.hpp"
#include "support/FakeMIDIService.hpp"
#include "usb/UsbUnitHarness.hpp"
#include "usb/VLUSBProtocol.hpp"

namespace velorin {
namespace {

using namespace std::chrono_literals;
using Op = test::FakeMIDIService::Op;

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::vector<std::string> keysOf(const std::vector<MIDIInputEndpointRegistration>& list) {
    std::vector<std::string> keys;
    for (const auto& r : list) keys.push_back(r.presentation.id);
    return keys;
}

// An engine on a fake MIDI service (with one keyboard source and one synth
// destination) and, when asked, a USB service on a scripted transport.
struct SystemHarness {
    explicit SystemHarness(bool withUSB = false) {
        keys = midi.addSource("Keys", 7);
        synth = midi.addDestination("Synth", 8);
        if (withUSB) {
            usb = std::make_unique<testing::UsbUnitHarness>();
            usb->service->midiHandler = nullptr;
            usb->service->devicesHandler = nullptr;
        }
        auto fake = std::make_unique<test::FakeLinkSession>(queue());
        clock = std::make_unique<LinkClock>(std::move(fake), *log, settings, queue());
        scheduler = std::make_unique<LinkBeatScheduler>(*clock, *log);
        makeEngine();
    }
    ~SystemHarness() {
        engine.reset();
        scheduler.reset();
        clock.reset();
    }
    void makeEngine() {
        engine.reset();
        MIDIEngine::Dependencies deps{queue(), settings, *log, *clock, *scheduler, activity, true};
        deps.midiService = &midi;
        deps.usbService = usb ? usb->service.get() : nullptr;
        engine = std::make_unique<MIDIEngine>(deps);
    }
    ManualMainQueue& queue() { return usb ? usb->queue : ownQueue; }
    std::vector<std::string> takeLines() {
        queue().runPending();
        log->flush();
        std::vector<std::string> lines;
        for (const auto& entry : log->entries()) {
            if (const auto* m = std::get_if<LogEntry::Message>(&entry.kind)) lines.push_back(m->text);
        }
        log->clear();
        return lines;
    }
    void routeThroughRouter(const std::string& input, const std::string& output) {
        engine->setInputAssignment(true, input, "router", "inputs");
        engine->setOutputAssignment(true, output, "router", "outputs");
    }
    std::vector<std::vector<std::uint8_t>> bytesSentTo(MIDIObjectRef ref) const {
        std::vector<std::vector<std::uint8_t>> out;
        for (const auto& s : midi.sent) {
            if (s.destination == ref) out.push_back(s.bytes);
        }
        return out;
    }

    ManualMainQueue ownQueue;
    std::unique_ptr<testing::UsbUnitHarness> usb;
    MemorySettingsStore settings;
    std::shared_ptr<LogStore> log = LogStore::create(queue(), settings);
    test::FakeMIDIService midi;
    MIDIObjectRef keys = 0;
    MIDIObjectRef synth = 0;
    std::unique_ptr<LinkClock> clock;
    std::unique_ptr<LinkBeatScheduler> scheduler;
    MIDIActivityMonitor activity{[this] { return queue().uptimeSeconds(); }};
    std::unique_ptr<MIDIEngine> engine;
};

TEST(MIDIEngineStart, OpensClientPortsAndPort1AndConnectsSourcesThenStopsOnce) {
    SystemHarness h;
    h.engine->start();
    h.engine->start();
    const auto lines = h.takeLines();
    EXPECT_EQ(h.midi.clientName, "Velorin Server");
    EXPECT_TRUE(contains(lines, "[MIDI] Restored virtual port pair 1"));
    EXPECT_TRUE(contains(lines, "[MIDI] Virtual source and destination ready"));
    // The app's own port is listed first and not counted; the external source is connected
    // with its own reference as context.
    EXPECT_TRUE(contains(lines, "[MIDI] Inputs: 1, Outputs: 1"));
    EXPECT_EQ(keysOf(h.engine->endpointInventory().inputs()),
              (std::vector<std::string>{"app-virtual-input", "core-midi:7"}));
    EXPECT_EQ(h.midi.connections, (std::map<MIDIObjectRef, MIDIObjectRef>{{h.keys, h.keys}}));
    EXPECT_EQ(h.midi.ownEndpointNames(),
              (std::vector<std::string>{"source Velorin Server", "destination Velorin Server"}));

    h.engine->stop();
    h.engine->stop();
    const auto stopLines = h.takeLines();
    EXPECT_EQ(std::count(stopLines.begin(), stopLines.end(), "[MIDI] Stopped"), 1);
    EXPECT_TRUE(h.midi.ownEndpointNames().empty());
    EXPECT_TRUE(h.midi.connections.empty());
    EXPECT_EQ(h.midi.client, 0u);
    EXPECT_FALSE(h.engine->isStarted());
}

TEST(MIDIEngineStart, WithoutAMIDIServiceTheRestStillRuns) {
    SystemHarness h(true);
    h.midi.fail(Op::createClient, -2);
    h.engine->start();
    const auto lines = h.takeLines();
    EXPECT_TRUE(h.engine->isStarted());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[MIDI] Client creation failed: -2");
    EXPECT_EQ(lines[1], "[MIDI] No system MIDI service; running with USB devices only");
    // USB runs: the aggregate endpoint is there, and it is the only one counted.
    EXPECT_TRUE(h.usb->service->isRunning());
    EXPECT_TRUE(contains(lines, "[MIDI] Inputs: 1, Outputs: 1"));
    EXPECT_EQ(keysOf(h.engine->endpointInventory().inputs()),
              (std::vector<std::string>{"velorin-usb:aggregate:all"}));
}

TEST(MIDIEngineStart, PortFailuresRollBackAndALaterStartRetries) {
    SystemHarness h(true);
    h.midi.fail(Op::createInputPort, -12);
    h.engine->start();
    EXPECT_TRUE(contains(h.takeLines(), "[MIDI] Input port creation failed: -12"));
    EXPECT_FALSE(h.engine->isStarted());
    EXPECT_EQ(h.midi.disposedClients, 1);
    EXPECT_FALSE(h.usb->service->isRunning());

    h.midi.clearFailure(Op::createInputPort);
    h.midi.fail(Op::createOutputPort, -22);
    h.engine->start();
    EXPECT_TRUE(contains(h.takeLines(), "[MIDI] Output port creation failed: -22"));
    EXPECT_EQ(h.midi.inputPort, 0u);
    EXPECT_EQ(h.midi.disposedClients, 2);

    h.midi.clearFailure(Op::createOutputPort);
    h.engine->start();
    EXPECT_TRUE(h.engine->isStarted());
    EXPECT_TRUE(h.usb->service->isRunning());
}

TEST(MIDIEngineVirtualPorts, FailedCreationRollsBackAndResidualsBlockRecreation) {
    SystemHarness h;
    h.midi.leaveRefOnFailure = true;
    h.midi.fail(Op::createVirtualDestination, -5);
    h.engine->start();
    auto lines = h.takeLines();
    EXPECT_TRUE(contains(lines, "[MIDI] Virtual pair 1 destination creation failed: -5"));
    EXPECT_TRUE(contains(lines, "[MIDI] Failed to restore primary virtual port pair"));
    EXPECT_TRUE(h.engine->isStarted());  // running without its own ports
    EXPECT_TRUE(h.midi.ownEndpointNames().empty());
    EXPECT_EQ(keysOf(h.engine->endpointInventory().inputs()), (std::vector<std::string>{"core-midi:7"}));

    // A residual endpoint that cannot be disposed stays recorded and blocks re-creation.
    h.midi.clearFailure(Op::createVirtualDestination);
    h.midi.fail(Op::createVirtualSource, -5);
    const auto port2 = AppVirtualMIDIPortDescriptor::forNumber(2);
    const MIDIObjectRef residual = h.midi.peekNextRef();
    h.midi.failDispose(residual, -9);
    EXPECT_FALSE(h.engine->ensureVirtualPair(port2));
    lines = h.takeLines();
    EXPECT_TRUE(contains(lines, "[MIDI] Virtual pair 2 source rollback dispose failed for endpoint " +
                                    std::to_string(residual) + ": OSStatus -9"));
    EXPECT_EQ(h.engine->virtualPorts().pairs().at(2).source, residual);
    h.midi.clearFailure(Op::createVirtualSource);
    EXPECT_FALSE(h.engine->ensureVirtualPair(port2));
    EXPECT_TRUE(
        contains(h.takeLines(), "[MIDI] Virtual pair 2 cannot enable while residual owned endpoints remain"));
    h.midi.disposeFailures.clear();
    EXPECT_TRUE(h.engine->ensureVirtualPair(port2));
}

TEST(MIDIEngineVirtualPorts, RefusedUniqueIDKeepsAUsablePair) {
    SystemHarness h;
    h.midi.fail(Op::setUniqueID, -50);
    h.engine->start();
    const auto lines = h.takeLines();
    const auto& pair = h.engine->virtualPorts().pairs().at(1);
    EXPECT_TRUE(pair.isComplete());
    EXPECT_TRUE(contains(lines, "[MIDI] Unique ID 1447821315 rejected for endpoint " +
                                    std::to_string(pair.source) + " (OSStatus -50); keeping system ID"));
    EXPECT_TRUE(contains(lines, "[MIDI] Restored virtual port pair 1"));
}

TEST(MIDIEngineVirtualPorts, AdditionalPortsFollowTheStoredWishAndReconcileFailures) {
    SystemHarness h;
    h.settings.set("appVirtualMIDIPortEnabled.v1.3", true);  // an old per-port key alone
    h.engine->setAdditionalVirtualPortsEnabled(true);        // not started: nothing at all
    EXPECT_FALSE(h.settings.contains("appVirtualMIDIAdditionalPortsEnabled.v1"));
    h.engine->start();
    EXPECT_TRUE(h.engine->additionalPortsActive());
    EXPECT_TRUE(contains(h.takeLines(), "[MIDI] Restored additional virtual ports"));
    EXPECT_EQ(keysOf(h.engine->endpointInventory().inputs()),
              (std::vector<std::string>{"app-virtual-input", "app-virtual-input-2", "app-virtual-input-3",
                                        "core-midi:7"}));

    const auto revision = h.engine->routingRevision();
    h.engine->setAdditionalVirtualPortsEnabled(false);
    EXPECT_FALSE(h.engine->virtualPorts().pairs().contains(2));
    EXPECT_EQ(h.settings.boolValue("appVirtualMIDIPortEnabled.v1.2"), false);
    EXPECT_EQ(h.engine->routingRevision(), revision + 1);
    EXPECT_TRUE(contains(h.takeLines(), "[MIDI] Additional virtual ports disabled"));

    // Port 3 cannot be made: port 2, made by this attempt, goes again.
    h.midi.failVirtualNamed["Velorin Server 3"] = -5;
    h.engine->setAdditionalVirtualPortsEnabled(true);
    EXPECT_FALSE(h.engine->virtualPorts().pairs().contains(2));
    EXPECT_EQ(h.settings.boolValue("appVirtualMIDIAdditionalPortsEnabled.v1"), false);
    EXPECT_TRUE(contains(h.takeLines(), "[MIDI] Additional virtual ports enable failed; reconciled to off"));
}

TEST(AppVirtualMIDIPortPreferences, WritesOnlyTheKeysThatChange) {
    MemorySettingsStore store;
    store.set("appVirtualMIDIPortEnabled.v1.2", true);
    AppVirtualMIDIPortPreferences preferences(store);
    preferences.setAdditionalPortsEnabled(true);
    EXPECT_EQ(store.writeCount(), 3);  // the aggregate key and port 3's
    preferences.setAdditionalPortsEnabled(true);
    EXPECT_EQ(store.writeCount(), 3);
    EXPECT_EQ(store.boolValue("appVirtualMIDIPortEnabled.v1.3"), true);
}

TEST(MIDIEngineInventory, ScansKeysAndKeepsThePreviousInventoryOnDuplicates) {
    SystemHarness h;
    const auto nameless = h.midi.addSource("", 0);
    h.midi.endpoints[nameless].name.reset();
    h.engine->start();
    const auto& inputs = h.engine->endpointInventory().inputs();
    ASSERT_EQ(inputs.size(), 3u);
    EXPECT_EQ(inputs[2].presentation.id, "core-midi-runtime:" + std::to_string(nameless));
    EXPECT_EQ(inputs[2].presentation.title, "Source 1");
    EXPECT_EQ(inputs[1].presentation.detail, "External MIDI source");
    h.takeLines();

    const auto before = h.engine->endpointInventory();
    h.midi.addSource("Keys again", 7);
    h.engine->refreshInventory();
    EXPECT_EQ(h.engine->endpointInventory(), before);
    EXPECT_EQ(
        h.takeLines(),
        (std::vector<std::string>{"[MIDI] Endpoint inventory rejected: duplicateInputKey(\"core-midi:7\")"}));
}

TEST(MIDIEngineInventory, ABurstOfNotificationsRefreshesOnce250msAfterTheLast) {
    SystemHarness h;
    h.engine->start();
    h.takeLines();
    const auto pads = h.midi.addSource("Pads", 11);
    std::thread service([&] {
        for (int i = 0; i < 10; ++i) h.midi.notify(2);
        h.midi.notify(99);  // not a setup change
    });
    service.join();
    for (int i = 0; i < 10; ++i) {
        h.queue().advance(10ms);
        h.midi.notify(i % 2 == 0 ? 1 : 4);
    }
    h.queue().advance(249ms);
    EXPECT_TRUE(h.takeLines().empty());
    h.queue().advance(1ms);
    EXPECT_EQ(h.takeLines(), (std::vector<std::string>{"[MIDI] Inputs: 2, Outputs: 1"}));
    EXPECT_TRUE(h.midi.connections.contains(pads));
    // The source that stayed was not disconnected on the way.
    EXPECT_EQ(h.midi.disconnectCount, 0);
    h.queue().advance(1s);
    EXPECT_TRUE(h.takeLines().empty());
}

TEST(MIDIEngineReceive, SourceAndVirtualPortDataRouteOnTheMainThreadAndStopAtStop) {
    SystemHarness h;
    h.engine->start();
    h.routeThroughRouter("core-midi:7", "app-virtual-output");
    h.routeThroughRouter("app-virtual-input", "core-midi:8");
    const auto& pair = h.engine->virtualPorts().pairs().at(1);

    std::thread service([&] {
        h.midi.deliverFromSource(h.keys, {{0x90, 0x3C, 0x64}, {}, {0x80, 0x3C, 0x00}});
        h.midi.deliverToVirtualDestination(pair.destination, {{0xB0, 0x40, 0x7F}});
    });
    service.join();
    EXPECT_TRUE(h.midi.sent.empty());  // nothing happens on the service's thread
    h.queue().runPending();
    using Bytes = std::vector<std::vector<std::uint8_t>>;
    // The Router leaves out the output named like the source: the port's own
    // data does not go back out of it.
    EXPECT_EQ(h.bytesSentTo(pair.source), (Bytes{{0x90, 0x3C, 0x64}, {0x80, 0x3C, 0x00}}));
    EXPECT_EQ(h.bytesSentTo(h.synth), (Bytes{{0x90, 0x3C, 0x64}, {0x80, 0x3C, 0x00}, {0xB0, 0x40, 0x7F}}));

    const MIDIObjectRef destination = pair.destination;
    auto receiver = h.midi.virtualReceivers.at(destination);
    h.engine->stop();
    h.midi.sent.clear();
    receiver({{0x90, 0x40, 0x40}}, 0);
    h.queue().runPending();
    EXPECT_TRUE(h.midi.sent.empty());
}

TEST(MIDIEngineSend, EachRouteLogsItsOwnFailureAndLongSysExGoesWhole) {
    SystemHarness h;
    h.engine->start();
    h.takeLines();
    RoutingKeySet keys{"core-midi:8", "app-virtual-output"};
    std::vector<std::uint8_t> sysex(300, 0x11);
    sysex.front() = 0xF0;
    sysex.back() = 0xF7;
    const auto event = *makeSystemExclusive(sysex);
    EXPECT_TRUE(h.engine->sendEvent(event, keys));
    ASSERT_EQ(h.midi.sent.size(), 2u);
    EXPECT_EQ(h.midi.sent[0].bytes, sysex);

    h.midi.fail(Op::send, -32);
    EXPECT_TRUE(
        h.engine->sendEvent(MIDIEvent::noteOnEvent(60, 1, 0), keys));  // the virtual route still works
    h.midi.fail(Op::publish, -19);
    EXPECT_FALSE(h.engine->sendEvent(MIDIEvent::noteOnEvent(60, 1, 0), keys));
    EXPECT_FALSE(h.engine->sendEvent(MIDIEvent::noteOnEvent(60, 1, 0), RoutingKeySet{"morph:router"}));
    EXPECT_EQ(h.takeLines(), (std::vector<std::string>{"[MIDI Out] Send to Synth failed: -32",
                                                       "[MIDI Out] Virtual output failed: -19",
                                                       "[MIDI Out] Send to Synth failed: -32"}));
}

TEST(MIDIEngineUSB, AggregateEndpointFollowsDevicesAndCarriesMIDIBothWays) {
    SystemHarness h(true);
    h.engine->start();
    auto& inputs = h.engine->endpointInventory().inputs();
    ASSERT_EQ(inputs.back().presentation.id, "velorin-usb:aggregate:all");
    EXPECT_EQ(inputs.back().presentation.detail, "No devices connected");
    // Nothing connected: sending to the aggregate is refused silently.
    h.takeLines();
    EXPECT_FALSE(h.engine->sendEvent(MIDIEvent::noteOnEvent(60, 1, 0), "velorin-usb:aggregate:all"));
    EXPECT_TRUE(h.takeLines().empty());

    const auto revision = h.engine->routingRevision();
    const auto channel = h.usb->connectDevice(4, "Stage iPad");
    EXPECT_EQ(h.engine->endpointInventory().inputs().back().presentation.detail, "Stage iPad");
    EXPECT_EQ(h.engine->routingRevision(), revision + 1);

    h.routeThroughRouter("velorin-usb:aggregate:all", "core-midi:8");
    h.routeThroughRouter("core-midi:7", "velorin-usb:aggregate:all");
    h.usb->transport->frame(
        channel, 101, 0,
        std::get<0>(VLUSBEncodeMIDIFrame(0, 0, std::vector<std::uint8_t>{0x90, 0x3C, 0x64})));
    h.usb->run();
    EXPECT_EQ(h.bytesSentTo(h.synth), (std::vector<std::vector<std::uint8_t>>{{0x90, 0x3C, 0x64}}));

    h.midi.deliverFromSource(h.keys, {{0x91, 0x40, 0x50}});
    h.usb->run();
    const auto frames = h.usb->transport->sentOfType(101);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(std::get<0>(VLUSBDecodeMIDIFrame(frames[0].payload)).bytes,
              (std::vector<std::uint8_t>{0x91, 0x40, 0x50}));

    // Individual devices: the device's own key replaces the aggregate at once.
    h.engine->usbPresentationSettings().setShowsIndividualUSBDevices(true);
    EXPECT_EQ(h.engine->endpointInventory().inputs().back().presentation.id, "velorin-usb:name:Stage iPad");
    EXPECT_EQ(h.engine->endpointInventory().outputs().back().presentation.title, "Velorin USB: Stage iPad");

    h.engine->stop();
    EXPECT_FALSE(h.usb->service->isRunning());
    h.takeLines();
    EXPECT_FALSE(h.engine->sendEvent(MIDIEvent::noteOnEvent(60, 1, 0), "velorin-usb:name:Stage iPad"));
}

TEST(MIDIEngineUSB, NoHandlerForTheTransportIsLogged) {
    SystemHarness h(true);
    h.engine->start();
    h.engine->setTransportOutputHandler("velorin-usb", nullptr);
    h.takeLines();
    EXPECT_FALSE(h.engine->sendEvent(MIDIEvent::noteOnEvent(60, 1, 0), "velorin-usb:aggregate:all"));
    EXPECT_EQ(h.takeLines(),
              (std::vector<std::string>{"[MIDI Out] No dispatch handler for transport velorin-usb"}));
}

TEST(MIDIEngineTransports, AnotherTransportsEndpointsRouteAndReleaseTheirNotesWhenGone) {
    SystemHarness h;
    const MIDITransportKind kind{"network-midi"};
    const MIDIEndpointPresentation peer{"network-midi:iPad", "Network: iPad", "192.168.1.9:5004"};
    const MIDITransportRegistrations one{{{peer, MIDIInputEndpointRoute::transportOwned(kind)}},
                                         {{peer, MIDIOutputEndpointRoute::transportOwned(kind)}}};
    // Kept while stopped, listed from the start on.
    h.engine->setTransportEndpoints("network-midi", one);
    h.engine->start();
    EXPECT_EQ(keysOf(h.engine->endpointInventory().inputs()),
              (std::vector<std::string>{"app-virtual-input", "core-midi:7", "network-midi:iPad"}));
    std::vector<std::pair<std::string, MIDIEventType>> sent;
    h.engine->setTransportOutputHandler("network-midi", [&](const MIDIEvent& e, const std::string& key) {
        sent.emplace_back(key, e.type);
        return true;
    });
    h.routeThroughRouter("network-midi:iPad", "core-midi:8");
    h.routeThroughRouter("core-midi:7", "network-midi:iPad");
    const MIDIRawPacket noteOn{{0x90, 0x3C, 0x64}};
    h.engine->handleInput(std::span(&noteOn, 1), "network-midi:iPad", "iPad");
    h.midi.deliverFromSource(h.keys, {{0x91, 0x40, 0x50}});
    h.queue().runPending();
    // The Router takes both inputs to both outputs.
    EXPECT_EQ(h.bytesSentTo(h.synth),
              (std::vector<std::vector<std::uint8_t>>{{0x90, 0x3C, 0x64}, {0x91, 0x40, 0x50}}));
    EXPECT_EQ(sent, (std::vector<std::pair<std::string, MIDIEventType>>{
                        {"network-midi:iPad", MIDIEventType::noteOn},
                        {"network-midi:iPad", MIDIEventType::noteOn}}));

    // The peer leaves: the note it held through the Router is ended.
    const auto revision = h.engine->routingRevision();
    h.engine->setTransportEndpoints("network-midi", {});
    EXPECT_EQ(h.engine->routingRevision(), revision + 1);
    EXPECT_FALSE(h.engine->endpointInventory().inputIndex("network-midi:iPad"));
    ASSERT_EQ(h.bytesSentTo(h.synth).size(), 3u);
    EXPECT_EQ(h.bytesSentTo(h.synth)[2], (std::vector<std::uint8_t>{0x80, 0x3C, 0x00}));
}

}  // namespace
}  // namespace velorin
