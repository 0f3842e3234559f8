// SPDX-License-Identifier: GPL-3.0-or-later
#include <pwd.h>
#include <unistd.h>
#include <cstdlib>

#include <gtest/gtest.h>

#include "core/MemorySettingsStore.hpp"
#include "usb/UsbTestSupport.hpp"
#include "usb/UsbUnitHarness.hpp"
#include "usb/VLUSBEndpointNames.hpp"
#include "usb/VLUSBPresentationSettings.hpp"

namespace velorin::testing {
namespace {

class USBServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        h.service->start();
        h.run();
    }
    UsbUnitHarness h;
};

TEST_F(USBServiceTest, StartsObservationWithTheLeaseAndReportsReadiness) {
    EXPECT_TRUE(h.service->holdsLease());
    EXPECT_TRUE(h.service->isObserving());
    EXPECT_TRUE(h.hasLine("[VL USB] Starting device observation"));
    EXPECT_TRUE(h.hasLine("[VL USB] Device observation ready"));
    EXPECT_EQ(h.service->statusTitle(), "0 VL USB Devices");
}

TEST_F(USBServiceTest, DuplicateNamesShareOneEndpointWithOutboundPreferenceAndFailOver) {
    const auto first = h.connectDevice(3, "Stage");
    const auto second = h.connectDevice(9, "Stage");
    ASSERT_EQ(h.service->devices().size(), 1u);
    EXPECT_TRUE(
        h.hasLine("[VL USB] Ambiguous duplicate name \"Stage\": sharing endpoint velorin-usb:name:Stage; "
                  "outbound prefers first connected session"));
    EXPECT_EQ(h.countLines("[VL USB] Stage connected"), 1u);
    EXPECT_EQ(*h.service->outboundOrder("velorin-usb:name:Stage"), (std::vector<std::uint32_t>{3, 9}));
    const std::vector<std::uint8_t> note{0x90, 60, 100};
    EXPECT_FALSE(h.service->send(0, 0, note, "velorin-usb:name:Stage"));
    ASSERT_EQ(h.transport->sentOfType(101).size(), 1u);
    EXPECT_EQ(h.transport->sentOfType(101)[0].device, 3u);
    EXPECT_EQ(h.transport->sentOfType(101)[0].tag, 0u);

    h.transport->end(first, std::nullopt);
    h.run();
    EXPECT_FALSE(h.hasLine("disconnected"));
    EXPECT_TRUE(h.service->devices()[0]->isConnected());
    EXPECT_EQ(h.service->devices()[0]->transientIdentifier(), 9u);
    EXPECT_FALSE(h.service->send(0, 0, note, "velorin-usb:name:Stage"));
    EXPECT_EQ(h.transport->sentOfType(101).back().device, 9u);

    h.transport->end(second, std::nullopt);
    h.run();
    EXPECT_TRUE(h.hasLine("[VL USB] Stage disconnected"));
    EXPECT_FALSE(h.service->devices()[0]->isConnected());
    const auto error = h.service->send(0, 0, note, "velorin-usb:name:Stage");
    ASSERT_TRUE(error);
    EXPECT_EQ(std::get<VLUSBServiceError>(*error).deviceKey, "velorin-usb:name:Stage");
}

TEST_F(USBServiceTest, RuntimeKeyedDevicesLeaveOnDetachNameKeyedOnesStayAndRevive) {
    h.connectDevice(4, "  ");
    h.connectDevice(5, "Keys");
    ASSERT_TRUE(h.device("velorin-usb:runtime:4"));
    ASSERT_TRUE(h.device("velorin-usb:name:Keys"));
    h.transport->detach(4);
    h.transport->detach(5);
    h.run();
    EXPECT_FALSE(h.device("velorin-usb:runtime:4"));
    auto keys = h.device("velorin-usb:name:Keys");
    ASSERT_TRUE(keys);
    EXPECT_FALSE(keys->isConnected());
    EXPECT_TRUE(h.hasLine("[VL USB] Keys disconnected"));
    EXPECT_TRUE(VLUSBEndpointDescriptions(h.service->devices(), true).empty());

    h.connectDevice(12, "Keys");
    EXPECT_EQ(h.device("velorin-usb:name:Keys"), keys);  // the same device, its endpoint back
    EXPECT_TRUE(keys->isConnected());
    EXPECT_EQ(keys->transientIdentifier(), 12u);
    EXPECT_EQ(VLUSBEndpointDescriptions(h.service->devices(), true).size(), 1u);
}

// A device that first connected without a name and reconnects with one is
// listed once, under its name: the runtime entry does not linger disconnected.
TEST_F(USBServiceTest, ARuntimeKeyedDeviceThatLaterGivesItsNameIsListedUnderTheNameOnly) {
    const auto first = h.connectDevice(4, "  ");
    ASSERT_TRUE(h.device("velorin-usb:runtime:4"));
    h.transport->end(first, std::nullopt);
    h.run();
    h.advance(h.service->timing().connection.retryDelay + 100ms);
    const auto second = h.transport->lastChannel(4);
    ASSERT_NE(second, first);
    h.transport->complete(second);
    h.run();
    h.transport->frame(second, 100, 0, deviceInfoXML("Keys"));
    h.run();
    ASSERT_EQ(h.service->devices().size(), 1u);
    EXPECT_EQ(h.service->devices()[0]->id(), "velorin-usb:name:Keys");
    EXPECT_TRUE(h.service->devices()[0]->isConnected());
}

// After the daemon restarted, a device whose "Detached" was lost must not stay
// forever: a Connect answered "unknown device" removes it, and the same device
// attached under a new number replaces its old session. A device the daemon
// still knows keeps its session.
TEST_F(USBServiceTest, DevicesTheDaemonForgotOrRenumberedAreRemovedOthersKeepTheirSessions) {
    const auto keys = h.connectDevice(4, "Keys");
    h.transport->attach(7, "SERIAL-PADS");
    h.run();
    h.transport->attach(9, "SERIAL-STAGE");
    h.run();

    // Device 4's app restarts; its reconnect is answered "unknown device".
    h.transport->end(keys, std::nullopt);
    h.run();
    h.advance(h.service->timing().connection.retryDelay + 100ms);
    h.transport->complete(h.transport->lastChannel(4), PTError::hub(2, "unknown device"));
    h.run();
    EXPECT_FALSE(h.service->connections().count(4));
    EXPECT_FALSE(h.device("velorin-usb:name:Keys")->isConnected());
    EXPECT_EQ(h.countLines("connection failed: unknown device"), 1u);
    h.advance(5s);
    EXPECT_EQ(h.countLines("connection failed: unknown device"), 1u);  // no retries

    // The daemon's new cycle lists the pads as 12: session 7 goes, 9 stays.
    h.transport->attach(12, "SERIAL-PADS");
    h.run();
    EXPECT_FALSE(h.service->connections().count(7));
    EXPECT_TRUE(h.service->connections().count(12));
    EXPECT_TRUE(h.service->connections().count(9));
}

TEST_F(USBServiceTest, ADeviceWithANewNameOnEveryConnectionCannotGrowTheListWithoutBound) {
    const std::size_t limit = VLUSBService::kMaxRememberedDisconnectedDevices;
    h.connectDevice(1, "Still here");
    for (std::uint32_t i = 0; i < limit + 40; ++i) {
        h.connectDevice(100 + i, "Name " + std::to_string(i));
        h.transport->detach(100 + i);
        h.run();
    }
    EXPECT_LE(h.service->devices().size(), limit + 1);
    EXPECT_TRUE(h.device("velorin-usb:name:Still here"));  // connected devices are never forgotten
    EXPECT_TRUE(h.device("velorin-usb:name:Name " + std::to_string(limit + 39)));  // the newest stay
    EXPECT_FALSE(h.device("velorin-usb:name:Name 0"));
}

TEST_F(USBServiceTest, AggregateSendsReachEveryConnectedDeviceInAscendingOrder) {
    const std::vector<std::uint8_t> note{0x90, 60, 100};
    auto error = h.service->send(0, 0, note, "velorin-usb:aggregate:all");
    ASSERT_TRUE(error);
    EXPECT_EQ(std::get<VLUSBServiceError>(*error).deviceKey, "velorin-usb:aggregate:all");
    h.connectDevice(30, "C");
    h.connectDevice(2, "A");
    h.connectDevice(17, "B");
    EXPECT_FALSE(h.service->send(0, 0, note, "velorin-usb:aggregate:all"));
    const auto sent = h.transport->sentOfType(101);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].device, 2u);
    EXPECT_EQ(sent[1].device, 17u);
    EXPECT_EQ(sent[2].device, 30u);
    EXPECT_EQ(sent[0].payload, sent[2].payload);
    EXPECT_EQ(VLUSBAggregateDetail(h.service->devices()), "C, A, B");
}

// Only a session that has finished its handshake takes aggregate sends: one still
// connecting or waiting for its device info has a channel but no device yet.
TEST_F(USBServiceTest, AggregateSendsSkipSessionsStillConnectingOrAwaitingDeviceInfo) {
    const std::vector<std::uint8_t> note{0x90, 60, 100};
    h.connectDevice(5, "Ready");
    h.transport->attach(3);
    h.run();
    ASSERT_EQ(h.session(3).state, VLUSBSession::State::connecting);
    h.transport->attach(8);
    h.run();
    h.transport->complete(h.transport->lastChannel(8));
    h.run();
    ASSERT_EQ(h.session(8).state, VLUSBSession::State::awaitingDeviceInfo);
    EXPECT_FALSE(h.service->send(0, 0, note, "velorin-usb:aggregate:all"));
    const auto sent = h.transport->sentOfType(101);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].device, 5u);

    // Alone, sessions in between states leave the aggregate unavailable.
    h.transport->detach(5);
    h.run();
    EXPECT_TRUE(h.service->send(0, 0, note, "velorin-usb:aggregate:all"));
    EXPECT_EQ(h.transport->sentOfType(101).size(), 1u);
}

// The largest MIDI message crosses USB both ways: a maximum-size SysEx sent to a
// device goes out as one frame, and one received from it reaches the handler whole.
TEST_F(USBServiceTest, TheLargestMIDIMessageCrossesBothWays) {
    const auto ch = h.connectDevice(4, "Pad");
    std::vector<std::uint8_t> sysex(0x100000, 0x10);
    sysex.front() = 0xF0;
    sysex.back() = 0xF7;
    EXPECT_FALSE(h.service->send(0, 0, sysex, "velorin-usb:name:Pad"));
    const auto sent = h.transport->sentOfType(101);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].payload.size(), 16u + sysex.size());
    h.transport->frame(ch, 101, 0, sent[0].payload);
    h.run();
    ASSERT_EQ(h.inbound.size(), 1u);
    EXPECT_EQ(h.inbound[0].bytes, sysex);
    EXPECT_FALSE(h.hasLine("malformed"));
}

// An attach under a number that already has a session changes nothing; an empty
// serial number names no device, so it never makes two devices one.
TEST_F(USBServiceTest, RepeatedAttachesKeepTheSessionAndEmptySerialsNameNoDevice) {
    h.transport->attach(3, "SER3");
    h.run();
    h.transport->complete(h.transport->lastChannel(3));
    h.run();
    h.transport->frame(h.transport->lastChannel(3), 100, 0, deviceInfoXML("Pad"));
    h.run();
    ASSERT_EQ(h.session(3).state, VLUSBSession::State::connected);
    h.transport->attach(3, "SER3");
    h.run();
    EXPECT_EQ(h.transport->openCount(3), 1u);
    EXPECT_EQ(h.session(3).state, VLUSBSession::State::connected);
    EXPECT_EQ(h.countLines("[VL USB] Device attached: 3"), 1u);

    PTPlist blank = PTPlist::makeDictionary();
    blank.set("SerialNumber", PTPlist::makeString(""));
    h.transport->attached(4, blank);
    h.transport->attached(5, blank);
    h.run();
    EXPECT_EQ(h.service->connections().count(4), 1u);
    EXPECT_EQ(h.service->connections().count(5), 1u);
    EXPECT_FALSE(h.hasLine("is attached again"));
}

TEST_F(USBServiceTest, SendRejectsEmptyAndOversizedMessages) {
    h.connectDevice(1, "Pad");
    auto error = h.service->send(0, 0, {}, "velorin-usb:name:Pad");
    ASSERT_TRUE(error);
    EXPECT_EQ(std::get<VLUSBProtocolError>(*error).kind, VLUSBProtocolError::Kind::emptyMIDIMessage);
    std::vector<std::uint8_t> huge(0x100001, 0);
    error = h.service->send(0, 0, huge, "velorin-usb:name:Pad");
    ASSERT_TRUE(error);
    EXPECT_EQ(std::get<VLUSBProtocolError>(*error).kind, VLUSBProtocolError::Kind::impossibleMIDILength);
}

TEST_F(USBServiceTest, InboundMIDICarriesTheDeviceKeyAndInfo) {
    const auto ch = h.connectDevice(6, "Pad");
    h.transport->frame(ch, 101, 0, {0, 1, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 9, 0x90, 0x3C, 0x64});
    h.run();
    ASSERT_EQ(h.inbound.size(), 1u);
    EXPECT_EQ(h.inbound[0].deviceKey, "velorin-usb:name:Pad");
    EXPECT_EQ(h.inbound[0].deviceInfo.name, "Pad");
    EXPECT_EQ(h.inbound[0].portIndex, 1);
    EXPECT_EQ(h.inbound[0].timestamp, 9u);
    const auto route = VLUSBInboundRouteFor(h.inbound[0].deviceKey, h.inbound[0].deviceInfo, false);
    EXPECT_EQ(route.key, "velorin-usb:aggregate:all");
    EXPECT_EQ(route.sourceName, "Velorin USB All");
    EXPECT_EQ(VLUSBInboundRouteFor(h.inbound[0].deviceKey, h.inbound[0].deviceInfo, true).sourceName,
              "Velorin USB: Pad");
}

TEST_F(USBServiceTest, StatusTitleCountsConnectedDevices) {
    h.connectDevice(1, "One");
    EXPECT_EQ(h.service->statusTitle(), "1 VL USB Device");
    h.connectDevice(2, "Two");
    EXPECT_EQ(h.service->statusTitle(), "2 VL USB Devices");
}

TEST_F(USBServiceTest, StopClosesEverythingReleasesTheLeaseAndPublishesAnEmptyList) {
    h.connectDevice(1, "One");
    h.service->stop();
    h.run();
    EXPECT_TRUE(h.hasLine("[VL USB] One disconnected"));
    EXPECT_TRUE(h.service->devices().empty());
    EXPECT_TRUE(h.service->connections().empty());
    EXPECT_FALSE(h.lock->held);
    EXPECT_EQ(h.transport->stopCount, 1);
    EXPECT_FALSE(h.service->isObserving());
}

TEST(USBServiceLease, WaitsLogsOnceAndTakesOverWhenTheLockFrees) {
    UsbUnitHarness h;
    h.lock->available = false;
    h.service->start();
    h.run();
    EXPECT_TRUE(h.service->isWaitingForLease());
    EXPECT_EQ(h.service->statusTitle(), "VL USB in Use by Another Server");
    EXPECT_EQ(h.transport->startCount, 0);
    h.advance(6s);
    EXPECT_EQ(h.lock->attempts, 4);  // at start, then every 2 s
    EXPECT_EQ(h.countLines("[VL USB] VL USB in Use by Another Server"), 1u);
    h.lock->available = true;
    h.advance(2s);
    EXPECT_TRUE(h.hasLine("[VL USB] Lease acquired; starting device observation"));
    EXPECT_TRUE(h.service->holdsLease());
    EXPECT_FALSE(h.service->isWaitingForLease());
    EXPECT_EQ(h.transport->startCount, 1);
    EXPECT_EQ(h.service->statusTitle(), "0 VL USB Devices");
}

TEST(USBServiceLease, StopWhileWaitingCancelsTheRetry) {
    UsbUnitHarness h;
    h.lock->available = false;
    h.service->start();
    h.run();
    h.service->stop();
    h.lock->available = true;
    h.advance(10s);
    EXPECT_EQ(h.lock->attempts, 1);
    EXPECT_FALSE(h.service->isWaitingForLease());
}

TEST(USBProcessLock, SecondHolderIsRefusedUntilTheFirstReleases) {
    UsbTempDir dir;
    const auto path = dir.path() / "nested" / "Velorin Server" / "vl-usb.lock";
    VLUSBProcessLock first(path);
    VLUSBProcessLock second(path);
    EXPECT_TRUE(first.tryAcquire());
    EXPECT_TRUE(first.tryAcquire());  // held counts as success
    EXPECT_FALSE(second.tryAcquire());
    EXPECT_EQ(second.fileDescriptor(), -1);
    first.release();
    EXPECT_EQ(first.fileDescriptor(), -1);
    EXPECT_TRUE(second.tryAcquire());
}

TEST(USBProcessLock, UnwritableDirectoryFailsLikeABusyLease) {
    VLUSBProcessLock lock("/proc/velorin-no-such/vl-usb.lock");
    EXPECT_FALSE(lock.tryAcquire());
}

// Without XDG_DATA_HOME and HOME the lease lives in the password database's
// home directory, never in a folder every user shares.
TEST(USBProcessLock, WithoutHomeTheLeaseFileIsInThePasswordDatabasesHome) {
    auto keep = [](const char* name) {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    };
    const auto xdg = keep("XDG_DATA_HOME");
    const auto home = keep("HOME");
    ::unsetenv("XDG_DATA_HOME");
    ::setenv("HOME", "", 1);
    const auto path = VLUSBProcessLock::defaultLockFilePath();
    if (xdg) ::setenv("XDG_DATA_HOME", xdg->c_str(), 1);
    if (home) ::setenv("HOME", home->c_str(), 1);

    const passwd* entry = ::getpwuid(::getuid());
    ASSERT_NE(entry, nullptr);
    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(*path, std::filesystem::path(entry->pw_dir) / ".local/share/Velorin Server/vl-usb.lock");
}

// XDG_DATA_HOME counts only as an absolute path; a relative one (which would
// follow the working directory) gives way to HOME.
TEST(USBProcessLock, TheLeaseFollowsAnAbsoluteXDGDataHomeElseHome) {
    auto keep = [](const char* name) {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    };
    const auto xdg = keep("XDG_DATA_HOME");
    const auto home = keep("HOME");
    ::setenv("HOME", "/home/someone", 1);
    ::setenv("XDG_DATA_HOME", "/data/here", 1);
    const auto absolute = VLUSBProcessLock::defaultLockFilePath();
    ::setenv("XDG_DATA_HOME", "data/here", 1);
    const auto relative = VLUSBProcessLock::defaultLockFilePath();
    xdg ? ::setenv("XDG_DATA_HOME", xdg->c_str(), 1) : ::unsetenv("XDG_DATA_HOME");
    home ? ::setenv("HOME", home->c_str(), 1) : ::unsetenv("HOME");

    ASSERT_TRUE(absolute && relative);
    EXPECT_EQ(*absolute, std::filesystem::path("/data/here/Velorin Server/vl-usb.lock"));
    EXPECT_EQ(*relative, std::filesystem::path("/home/someone/.local/share/Velorin Server/vl-usb.lock"));
}

TEST(USBPresentationSettings, DefaultsOffAndWritesOnlyChanges) {
    MemorySettingsStore store;
    VLUSBPresentationSettings settings(store);
    EXPECT_FALSE(settings.showsIndividualUSBDevices());
    settings.setShowsIndividualUSBDevices(false);
    EXPECT_EQ(store.writeCount(), 0);
    settings.setShowsIndividualUSBDevices(true);
    settings.setShowsIndividualUSBDevices(true);
    EXPECT_EQ(store.writeCount(), 1);
    EXPECT_EQ(store.boolValue("vlUSBShowsIndividualUSBDevices"), true);
    VLUSBPresentationSettings reloaded(store);
    EXPECT_TRUE(reloaded.showsIndividualUSBDevices());
}

TEST(USBEndpointNames, KeysTitlesAndDetails) {
    EXPECT_EQ(VLUSBDeviceKey(" Pad ", 3), "velorin-usb:name: Pad ");
    EXPECT_EQ(VLUSBDeviceKey(" \n\t", 3), "velorin-usb:runtime:3");
    // Unicode spaces and separators are blank too; a zero-width space is not.
    EXPECT_EQ(VLUSBDeviceKey("\u00A0\u2003\u2028\u3000", 4), "velorin-usb:runtime:4");
    EXPECT_EQ(VLUSBDeviceKey("\u200B", 4), "velorin-usb:name:\u200B");
    EXPECT_EQ(VLUSBDeviceKey("\xC2", 4), "velorin-usb:name:\xC2");
    EXPECT_EQ(VLUSBDeviceTitle({"Pad", "iPad", "17.4"}), "Velorin USB: Pad");
    EXPECT_EQ(VLUSBDeviceDetail({"Pad", "iPad", "17.4"}), "iPad \u00B7 17.4");
    EXPECT_EQ(VLUSBDeviceDetail({"Pad", "", "17.4"}), "17.4");
    EXPECT_EQ(VLUSBDeviceDetail({"Pad", "", ""}), "Velorin USB device");
    const auto aggregate = VLUSBEndpointDescriptions({}, false);
    ASSERT_EQ(aggregate.size(), 1u);
    EXPECT_EQ(aggregate[0].key, "velorin-usb:aggregate:all");
    EXPECT_EQ(aggregate[0].title, "Velorin USB All");
    EXPECT_EQ(aggregate[0].detail, "No devices connected");
}

TEST(USBServiceWiring, ProductionServiceWritesItsLinesToTheLogStore) {
    UsbTempDir dir;
    UsbLoggingHarness<ManualMainQueue> h;
    auto service = VLUSBService::create(h.queue, *h.log, dir.path() / "Velorin Server" / "vl-usb.lock",
                                        dir.file("no-daemon"));
    service->start();
    h.queue.runPending();
    EXPECT_TRUE(h.hasLine("[VL USB] Starting device observation")) << ::testing::PrintToString(h.lines());
    EXPECT_TRUE(h.hasLine("[VL USB] Observation failed: "));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "Velorin Server" / "vl-usb.lock"));
    service->stop();
}

// What a destroyed service left behind (heartbeat timers, a queued frame, a
// send completion, the transport's deliveries) runs into nothing.
TEST(USBServiceLifetime, NothingItStartedRunsAfterTheServiceIsDestroyed) {
    UsbUnitHarness h;
    h.service->start();
    h.run();
    const auto ch = h.connectDevice(1, "Pad");
    h.transport->frame(ch, 101, 0, {0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0x90, 0x3C, 0x64});
    EXPECT_FALSE(h.service->send(0, 0, std::vector<std::uint8_t>{0x80, 0x3C, 0}, "velorin-usb:name:Pad"));
    h.service.reset();
    const auto lines = h.lines().size();
    h.advance(60s);
    EXPECT_TRUE(h.inbound.empty());
    EXPECT_EQ(h.lines().size(), lines);
}

}  // namespace
}  // namespace velorin::testing
