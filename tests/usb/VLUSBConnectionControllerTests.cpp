// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cerrno>

#include "usb/UsbUnitHarness.hpp"
#include "usb/VLUSBProtocol.hpp"

namespace velorin::testing {
namespace {

using State = VLUSBSession::State;

class ConnectionControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        h.service->start();
        h.run();
    }
    UsbUnitHarness h;
};

TEST_F(ConnectionControllerTest, HandshakeTimesOutAfterFiveSecondsAndRetriesAfterOne) {
    h.transport->attach(4);
    h.run();
    EXPECT_TRUE(h.hasLine("[VL USB] Connecting to device 4 on port 17036"));
    h.transport->complete(h.transport->lastChannel(4));
    h.run();
    EXPECT_EQ(h.session(4).state, State::awaitingDeviceInfo);
    EXPECT_TRUE(h.hasLine("[VL USB] Channel open; awaiting device info"));
    h.advance(4900ms);
    EXPECT_FALSE(h.hasLine("handshake timed out"));
    h.advance(200ms);
    EXPECT_TRUE(h.hasLine("[VL USB] device info handshake timed out"));
    EXPECT_EQ(h.session(4).state, State::retrying);
    EXPECT_FALSE(h.transport->channels.at(h.transport->lastChannel(4)).open);
    h.advance(1s);
    EXPECT_EQ(h.session(4).state, State::connecting);
    EXPECT_EQ(h.transport->openCount(4), 2u);
    // A retry does not announce itself again.
    EXPECT_EQ(h.countLines("[VL USB] Connecting to device 4"), 1u);
}

// A Connect the daemon never answers fails after five seconds, closing its
// socket, and is retried a second later like any failed connect.
TEST_F(ConnectionControllerTest, AnUnansweredConnectTimesOutAfterFiveSecondsAndRetries) {
    h.transport->attach(4);
    h.run();
    const auto first = h.transport->lastChannel(4);
    h.advance(4900ms);
    EXPECT_EQ(h.session(4).state, State::connecting);
    h.advance(200ms);
    EXPECT_TRUE(h.hasLine("[VL USB] connection timed out"));
    EXPECT_FALSE(h.transport->channels.at(first).open);
    EXPECT_EQ(h.session(4).state, State::retrying);
    h.advance(1s);
    EXPECT_EQ(h.transport->openCount(4), 2u);
    // A late answer to the abandoned attempt changes nothing.
    h.transport->complete(first);
    h.run();
    EXPECT_EQ(h.session(4).state, State::connecting);
}

TEST_F(ConnectionControllerTest, PingsEveryTenSecondsAfterEachMatchingPong) {
    const auto ch = h.connectDevice(1, "Pad");
    ASSERT_EQ(h.session(1).state, State::connected);
    h.advance(9900ms);
    EXPECT_TRUE(h.transport->sentOfType(102).empty());
    h.advance(100ms);
    auto pings = h.transport->sentOfType(102);
    ASSERT_EQ(pings.size(), 1u);
    EXPECT_EQ(pings[0].tag, 1u);
    EXPECT_TRUE(pings[0].payload.empty());
    h.advance(1s);
    h.transport->frame(ch, 103, 1, {});
    h.run();
    EXPECT_FALSE(h.session(1).pendingHeartbeatTag);
    h.advance(9900ms);
    EXPECT_EQ(h.transport->sentOfType(102).size(), 1u);
    h.advance(100ms);
    pings = h.transport->sentOfType(102);
    ASSERT_EQ(pings.size(), 2u);
    EXPECT_EQ(pings[1].tag, 2u);
    EXPECT_EQ(h.session(1).state, State::connected);
}

TEST_F(ConnectionControllerTest, PongWithAnotherTagDoesNotStopTheWatchdog) {
    const auto ch = h.connectDevice(1, "Pad");
    h.advance(10s);
    h.transport->frame(ch, 103, 99, {});
    h.run();
    EXPECT_TRUE(h.session(1).pendingHeartbeatTag);
    h.advance(5s);
    EXPECT_TRUE(h.hasLine("[VL USB] heartbeat timed out waiting for pong"));
    EXPECT_TRUE(h.hasLine("[VL USB] Pad disconnected"));
    EXPECT_EQ(h.session(1).state, State::retrying);
    h.advance(1s);
    EXPECT_EQ(h.transport->openCount(1), 2u);
}

TEST_F(ConnectionControllerTest, HeartbeatTagWrapsToOneNeverZero) {
    h.connectDevice(1, "Pad");
    h.session(1).nextHeartbeatTag = 0xFFFFFFFFu;
    h.advance(10s);
    EXPECT_EQ(h.transport->sentOfType(102).back().tag, 0xFFFFFFFFu);
    EXPECT_EQ(h.session(1).nextHeartbeatTag, 1u);
}

// ("unknown device" is the exception: the service removes the device.)
TEST_F(ConnectionControllerTest, ConnectionErrorsAreLoggedExceptRefusedAndRetried) {
    h.transport->attach(2);
    h.run();
    h.transport->complete(h.transport->lastChannel(2), PTError::hub(6, "invalid version"));
    h.run();
    EXPECT_TRUE(h.hasLine("[VL USB] connection failed: invalid version"));
    EXPECT_EQ(h.session(2).state, State::retrying);
    h.advance(1s);
    h.transport->complete(h.transport->lastChannel(2), PTError::posix(ECONNREFUSED));
    h.run();
    EXPECT_EQ(h.countLines("connection failed"), 1u);
    h.advance(1s);
    EXPECT_EQ(h.transport->openCount(2), 3u);
}

TEST_F(ConnectionControllerTest, InvalidDeviceInfoDisconnectsAndRetries) {
    h.transport->attach(2);
    h.run();
    const auto ch = h.transport->lastChannel(2);
    h.transport->complete(ch);
    h.run();
    PTPlist info = PTPlist::makeDictionary();
    info.set("localizedModel", PTPlist::makeString(""));
    info.set("model", PTPlist::makeString("iPad"));
    const auto xml = PTPlistToXML(info);
    h.transport->frame(ch, 100, 0, {xml.begin(), xml.end()});
    h.run();
    EXPECT_TRUE(
        h.hasLine("[VL USB] invalid device info handshake: invalidDeviceInfoField(\"localizedModel\")"));
    EXPECT_EQ(h.session(2).state, State::retrying);
    h.advance(1s);
    EXPECT_EQ(h.transport->openCount(2), 2u);
}

TEST_F(ConnectionControllerTest, ChannelEndWithErrorIsLoggedAndRetried) {
    const auto ch = h.connectDevice(3, "Pad");
    h.transport->end(ch, PTError::posix(ECONNRESET));
    h.run();
    EXPECT_TRUE(h.hasLine("[VL USB] channel ended: "));
    EXPECT_TRUE(h.hasLine("[VL USB] Pad disconnected"));
    EXPECT_EQ(h.session(3).state, State::retrying);
    h.advance(1s);
    h.transport->complete(h.transport->lastChannel(3));
    h.run();
    h.transport->frame(h.transport->lastChannel(3), 100, 0, deviceInfoXML("Pad"));
    h.run();
    EXPECT_EQ(h.countLines("[VL USB] Pad connected"), 2u);
}

TEST_F(ConnectionControllerTest, PingAndMIDISendFailuresTakeTheSessionDownAndRetry) {
    h.connectDevice(5, "Pad");
    h.transport->failSendsTo[5] = true;
    h.advance(10s);
    EXPECT_TRUE(h.hasLine("[VL USB] heartbeat ping send failed: "));
    EXPECT_EQ(h.session(5).state, State::retrying);
    h.transport->failSendsTo.clear();
    h.advance(1s);
    h.transport->complete(h.transport->lastChannel(5));
    h.run();
    h.transport->frame(h.transport->lastChannel(5), 100, 0, deviceInfoXML("Pad"));
    h.run();
    ASSERT_EQ(h.session(5).state, State::connected);
    h.transport->failSendsTo[5] = true;
    std::optional<PTOptionalError> completed;
    const std::vector<std::uint8_t> note{0x90, 60, 1};
    EXPECT_FALSE(
        h.service->send(0, 0, note, "velorin-usb:name:Pad", [&](PTOptionalError e) { completed = e; }));
    h.run();
    ASSERT_TRUE(completed.has_value());
    EXPECT_TRUE(completed->has_value());
    EXPECT_TRUE(h.hasLine("[VL USB] send failed: "));
    EXPECT_EQ(h.session(5).state, State::retrying);
}

TEST_F(ConnectionControllerTest, FramesOutsideTheirStateAreIgnored) {
    h.transport->attach(6);
    h.run();
    const auto ch = h.transport->lastChannel(6);
    h.transport->complete(ch);
    h.run();
    h.transport->frame(ch, 101, 0, {0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0xF8});
    h.run();
    EXPECT_TRUE(h.inbound.empty());
    h.transport->frame(ch, 100, 0, deviceInfoXML("Pad"));
    h.run();
    h.transport->frame(ch, 100, 0, deviceInfoXML("Other"));
    h.transport->frame(ch, 102, 7, {});
    h.transport->frame(ch, 105, 0, {});
    h.run();
    EXPECT_EQ(h.service->devices().size(), 1u);
    EXPECT_EQ(h.service->devices()[0]->info().name, "Pad");
    EXPECT_FALSE(h.hasLine("Ignored unknown frame type"));
    h.transport->frame(ch, 104, 0, {});
    h.run();
    EXPECT_TRUE(h.hasLine("[VL USB] Ignored unknown frame type 104"));
}

TEST_F(ConnectionControllerTest, StaleEventsOfAnEarlierAttemptAreIgnored) {
    h.transport->attach(8);
    h.run();
    const auto first = h.transport->lastChannel(8);
    h.transport->complete(first, PTError::posix(EIO));
    h.run();
    h.advance(1s);
    const auto second = h.transport->lastChannel(8);
    ASSERT_NE(first, second);
    h.transport->frame(first, 100, 0, deviceInfoXML("Ghost"));
    h.run();
    EXPECT_TRUE(h.service->devices().empty());
    EXPECT_EQ(h.session(8).state, State::connecting);
}

}  // namespace
}  // namespace velorin::testing
