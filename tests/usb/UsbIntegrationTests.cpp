// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "usb/UsbServiceHarness.hpp"

namespace velorin::testing {
namespace {

using Behaviour = FakeControllerDevice::Behaviour;

TEST(UsbIntegration, AttachHandshakeMIDIBothWaysAndDetach) {
    UsbServiceHarness h(false);
    FakeControllerDevice ipad(h.queue, "Stage iPad", "iPad", "17.4");
    std::vector<std::size_t> publishedCounts;
    h.service->devicesHandler = [&](const VLUSBDeviceList& list) { publishedCounts.push_back(list.size()); };
    h.service->start();
    ASSERT_TRUE(h.waitFor([&] { return h.hasLine("[VL USB] Device observation ready"); }));
    h.daemon->attach(7, &ipad);
    ASSERT_TRUE(h.waitFor([&] { return h.connectedDevices() == 1; }));
    EXPECT_TRUE(h.hasLine("[VL USB] Device attached: 7"));
    EXPECT_TRUE(h.hasLine("[VL USB] Connecting to device 7 on port 17036"));
    EXPECT_TRUE(h.hasLine("[VL USB] Channel open; awaiting device info"));
    EXPECT_TRUE(h.hasLine("[VL USB] Stage iPad connected"));
    EXPECT_EQ(h.service->devices()[0]->id(), "velorin-usb:name:Stage iPad");
    EXPECT_EQ(h.service->statusTitle(), "1 VL USB Device");

    // The daemon saw "Connect" with the port in network byte order.
    const auto connect =
        std::find_if(h.daemon->requests.begin(), h.daemon->requests.end(),
                     [](const PTPlist& r) { return r.find("MessageType")->string == "Connect"; });
    ASSERT_NE(connect, h.daemon->requests.end());
    EXPECT_EQ(connect->find("PortNumber")->integerValue(), 35906);
    EXPECT_EQ(connect->find("DeviceID")->integerValue(), 7);

    // Device -> server.
    ipad.sendMIDI({0x90, 0x3C, 0x64}, 2, 12345);
    ASSERT_TRUE(h.waitFor([&] { return h.inbound.size() == 1; }));
    EXPECT_EQ(h.inbound[0].deviceKey, "velorin-usb:name:Stage iPad");
    EXPECT_EQ(h.inbound[0].portIndex, 2);
    EXPECT_EQ(h.inbound[0].timestamp, 12345u);
    EXPECT_EQ(h.inbound[0].bytes, (std::vector<std::uint8_t>{0x90, 0x3C, 0x64}));
    EXPECT_EQ(h.inbound[0].deviceInfo.localizedModel, "iPad");

    // Server -> device, by key and through the aggregate.
    const std::vector<std::uint8_t> noteOff{0x80, 0x3C, 0x00};
    EXPECT_FALSE(h.service->send(0, 0, noteOff, "velorin-usb:name:Stage iPad"));
    EXPECT_FALSE(h.service->send(0, 0, noteOff, "velorin-usb:aggregate:all"));
    ASSERT_TRUE(h.waitFor([&] { return ipad.receivedMIDI.size() == 2; }));
    EXPECT_EQ(ipad.receivedMIDI[0].bytes, noteOff);

    h.daemon->detach(7);
    ASSERT_TRUE(h.waitFor([&] { return h.connectedDevices() == 0; }));
    EXPECT_TRUE(h.hasLine("[VL USB] Stage iPad disconnected"));
    EXPECT_EQ(h.service->devices().size(), 1u);  // name-keyed devices stay listed
    EXPECT_TRUE(h.service->connections().empty());
    h.service->stop();
    EXPECT_TRUE(publishedCounts.size() >= 3);
}

TEST(UsbIntegration, HeartbeatKeepsAHealthyDeviceConnected) {
    UsbServiceHarness h;
    FakeControllerDevice ipad(h.queue, "Pad");
    h.service->start();
    h.daemon->attach(1, &ipad);
    ASSERT_TRUE(h.waitFor([&] { return ipad.pingTags.size() >= 3; }));
    EXPECT_EQ(ipad.pingTags[0], 1u);
    EXPECT_EQ(ipad.pingTags[1], 2u);
    EXPECT_EQ(h.connectedDevices(), 1u);
    EXPECT_EQ(ipad.connectionsAccepted(), 1u);
}

struct Misbehaviour {
    Behaviour behaviour;
    const char* expectedLine;
    const char* name;
};

class UsbMisbehavingDevice : public ::testing::TestWithParam<Misbehaviour> {};

TEST_P(UsbMisbehavingDevice, EndsInALoggedErrorAndARetry) {
    UsbServiceHarness h;
    FakeControllerDevice device(h.queue, "Broken");
    device.behaviour = GetParam().behaviour;
    h.service->start();
    h.daemon->attach(3, &device);
    ASSERT_TRUE(h.waitFor([&] {
        return device.connectionsAccepted() >= 2 && h.hasLine(GetParam().expectedLine);
    })) << "lines: "
        << ::testing::PrintToString(h.lines());
    // Still alive, and the session keeps trying.
    EXPECT_EQ(h.service->connections().count(3), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Behaviours, UsbMisbehavingDevice,
    ::testing::Values(
        Misbehaviour{Behaviour::silent, "[VL USB] device info handshake timed out", "Silent"},
        Misbehaviour{Behaviour::noPong, "[VL USB] heartbeat timed out waiting for pong", "NoPong"},
        Misbehaviour{Behaviour::wrongTagPong, "[VL USB] heartbeat timed out waiting for pong",
                     "WrongTagPong"},
        Misbehaviour{Behaviour::malformedDeviceInfo,
                     "[VL USB] invalid device info handshake: malformedDeviceInfo", "MalformedDeviceInfo"},
        Misbehaviour{Behaviour::missingNameDeviceInfo,
                     "[VL USB] invalid device info handshake: missingDeviceInfoField(\"name\")",
                     "MissingName"},
        Misbehaviour{Behaviour::closeAfterDeviceInfo, "[VL USB] Broken disconnected", "CloseAfterDeviceInfo"},
        Misbehaviour{Behaviour::hugePayload, "[VL USB] channel ended: Frame payload exceeds", "HugePayload"},
        Misbehaviour{Behaviour::badVersionFrame, "[VL USB] channel ended: Unsupported frame protocol version",
                     "BadVersionFrame"}),
    [](const ::testing::TestParamInfo<Misbehaviour>& param) { return std::string(param.param.name); });

TEST(UsbIntegration, MalformedMIDIFramesAreLoggedAndTheConnectionStays) {
    UsbServiceHarness h(false);
    FakeControllerDevice device(h.queue, "Pad");
    h.service->start();
    h.daemon->attach(4, &device);
    ASSERT_TRUE(h.waitFor([&] { return h.connectedDevices() == 1; }));
    device.sendFrame(101, 0, std::vector<std::uint8_t>(15, 0));
    device.sendFrame(104, 0, {});
    device.sendMIDI({0xB0, 1, 2});
    ASSERT_TRUE(h.waitFor([&] { return h.inbound.size() == 1; }));
    EXPECT_TRUE(h.hasLine("[VL USB] ignored malformed frame: truncatedMIDIHeader(15)"));
    EXPECT_TRUE(h.hasLine("[VL USB] Ignored unknown frame type 104"));
    EXPECT_EQ(device.connectionsAccepted(), 1u);
}

TEST(UsbIntegration, RefusedConnectionsAreRetriedSilently) {
    UsbServiceHarness h;
    FakeControllerDevice device(h.queue, "Pad");
    device.behaviour = Behaviour::refuseConnections;
    h.service->start();
    h.daemon->attach(5, &device);
    ASSERT_TRUE(h.waitFor([&] {
        return h.countLines("[VL USB] Connecting to device 5") == 1 &&
               std::count_if(h.daemon->requests.begin(), h.daemon->requests.end(), [](const PTPlist& r) {
                   return r.find("MessageType")->string == "Connect";
               }) >= 3;
    }));
    EXPECT_FALSE(h.hasLine("connection failed"));
    device.behaviour = Behaviour::normal;
    ASSERT_TRUE(h.waitFor([&] { return h.connectedDevices() == 1; }));
    EXPECT_EQ(h.countLines("[VL USB] Connecting to device 5"), 1u);
}

TEST(UsbIntegration, OversizedDaemonPacketFailsTheListenConnectionAndObservationRestarts) {
    UsbServiceHarness h;
    h.service->start();
    ASSERT_TRUE(h.waitFor([&] { return h.daemon->listenerCount() == 1; }));
    std::vector<std::uint8_t> header(16, 0);
    const std::uint32_t size = 4u * 1024u * 1024u + 17u;
    header[0] = static_cast<std::uint8_t>(size);
    header[1] = static_cast<std::uint8_t>(size >> 8);
    header[2] = static_cast<std::uint8_t>(size >> 16);
    header[3] = static_cast<std::uint8_t>(size >> 24);
    ::testing::internal::CaptureStderr();
    h.daemon->sendRawToListeners(header);
    const bool dropped = h.waitFor([&] { return h.daemon->listenerCount() == 0; });
    const std::string systemLog = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(dropped);
    EXPECT_NE(systemLog.find("usbmuxd connection failed: Packet larger than 4 MiB"), std::string::npos);
    // A new listen cycle starts a second later and still sees devices.
    FakeControllerDevice device(h.queue, "Pad");
    h.daemon->attach(9, &device);
    ASSERT_TRUE(h.waitFor([&] { return h.connectedDevices() == 1; }));
}

// usbmuxd restarts; meanwhile one device went away (its "Detached" is lost)
// and another came back under a new number. The first is removed after one
// "unknown device" answer instead of being retried for good, the second's
// old session gives way to the new number, and a device the daemon still
// knows reconnects on its old session.
TEST(UsbIntegration, AfterADaemonRestartForgottenAndRenumberedDevicesDoNotLinger) {
    UsbServiceHarness h(false);
    FakeControllerDevice gone(h.queue, "Gone"), moved(h.queue, "Moved"), kept(h.queue, "Kept");
    h.service->start();
    ASSERT_TRUE(h.waitFor([&] { return h.hasLine("[VL USB] Device observation ready"); }));
    h.daemon->attach(5, &gone);
    h.daemon->attach(6, &moved);
    h.daemon->attach(7, &kept);
    ASSERT_TRUE(h.waitFor([&] { return h.connectedDevices() == 3; }));

    h.daemon->forget(5);
    h.daemon->renumber(6, 16);
    h.daemon->restart();
    ASSERT_TRUE(h.waitFor([&] {
        const auto& c = h.service->connections();
        return !c.count(5) && !c.count(6) && c.count(16) && c.count(7) && h.connectedDevices() == 2;
    }));
    EXPECT_EQ(h.countLines("connection failed: unknown device"), 1u);
    h.waitFor([] { return false; }, 2500ms);
    EXPECT_EQ(h.countLines("connection failed: unknown device"), 1u);
    EXPECT_EQ(h.connectedDevices(), 2u);
}

TEST(UsbIntegration, NoDescriptorLeaksAfterTwoHundredAttachDetachCycles) {
    UsbServiceHarness h;
    FakeControllerDevice device(h.queue, "Pad");
    h.service->start();
    ASSERT_TRUE(h.waitFor([&] { return h.daemon->listenerCount() == 1; }));
    // One warm-up cycle so lazily opened descriptors are counted in the baseline.
    h.daemon->attach(1, &device);
    ASSERT_TRUE(h.waitFor([&] { return h.connectedDevices() == 1; }));
    h.daemon->detach(1);
    ASSERT_TRUE(h.waitFor([&] { return h.connectedDevices() == 0 && h.service->connections().empty(); }));
    // The baseline is taken once the device side has closed the warm-up tunnel too.
    ASSERT_TRUE(h.waitFor([&] { return device.openConnectionCount() == 0; }));
    const std::size_t baseline = UsbOpenFDCount();
    for (std::uint32_t i = 0; i < 200; ++i) {
        const std::uint32_t id = 100 + i;
        h.daemon->attach(id, &device);
        ASSERT_TRUE(h.waitFor([&] { return h.connectedDevices() == 1; })) << "cycle " << i;
        h.daemon->detach(id);
        ASSERT_TRUE(h.waitFor([&] { return h.connectedDevices() == 0 && h.service->connections().empty(); }))
            << "cycle " << i;
    }
    // Closing finishes on later turns of the loop: wait for it rather than for a set time.
    h.waitFor([&] { return UsbOpenFDCount() == baseline && device.openConnectionCount() == 0; });
    EXPECT_EQ(UsbOpenFDCount(), baseline);
    EXPECT_EQ(device.openConnectionCount(), 0u);
    h.service->stop();
}

TEST(UsbIntegration, NoDaemonReportsTheSocketErrorOnceAndRetriesEverySecond) {
    UsbServiceHarness h;
    h.daemon.reset();  // nothing listens on the socket path
    h.service->start();
    ASSERT_TRUE(h.waitFor([&] { return h.hasLine("[VL USB] Observation failed: "); }));
    h.daemon = std::make_unique<FakeUSBMuxDaemon>(h.queue, h.socketPath);
    FakeControllerDevice device(h.queue, "Late");
    h.daemon->attach(2, &device);
    // A retry every second (timed on virtual time in the bridge's own tests) finds it.
    ASSERT_TRUE(h.waitFor([&] { return h.connectedDevices() == 1; }));
    EXPECT_EQ(h.countLines("[VL USB] Observation failed: "), 1u);
    EXPECT_FALSE(h.hasLine("[VL USB] Device observation ready"));
}

}  // namespace
}  // namespace velorin::testing
