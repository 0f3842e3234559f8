// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "core/ManualMainQueue.hpp"
#include "usb/UsbTestSupport.hpp"
#include "usb/channel/PTUSBHub.hpp"
#include "usb/channel/VLUSBPeerTalkBridge.hpp"
#include "usb/support/FakeUSBMuxDaemon.hpp"

namespace velorin::testing {
namespace {

std::vector<std::uint8_t> packet(std::uint32_t tag, const PTPlist& dict, std::uint32_t protocol = 1,
                                 std::uint32_t type = 8) {
    const auto xml = PTPlistToXML(dict);
    return PTUSBEncodePacket(tag, std::span(reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size()),
                             protocol, type);
}

PTPlist result(std::int64_t n) {
    PTPlist d = PTPlist::makeDictionary();
    d.set("MessageType", PTPlist::makeString("Result"));
    d.set("Number", PTPlist::makeInteger(n));
    return d;
}

TEST(PTUSBPacketReader, ReadsPacketsInPiecesAndFlagsWrongProtocolAndType) {
    auto bytes = packet(5, result(0));
    const auto wrongProtocol = packet(6, result(0), 0);
    const auto wrongType = packet(7, result(0), 1, 3);
    bytes.insert(bytes.end(), wrongProtocol.begin(), wrongProtocol.end());
    bytes.insert(bytes.end(), wrongType.begin(), wrongType.end());
    PTUSBPacketReader reader;
    std::vector<PTUSBPacketReader::Packet> packets;
    std::span<const std::uint8_t> input(bytes);
    while (!input.empty()) {
        auto piece = input.subspan(0, std::min<std::size_t>(reader.wanted(), 7));
        input = input.subspan(piece.size());
        if (reader.feed(piece) == PTUSBPacketReader::Status::packet) packets.push_back(reader.packet());
    }
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[0].tag, 5u);
    EXPECT_EQ(packets[0].dictionary->find("Number")->integerValue(), 0);
    EXPECT_EQ(packets[1].error->description, "Unexpected package protocol");
    EXPECT_EQ(packets[2].error->description, "Unexpected package type");
}

TEST(PTUSBPacketReader, PacketsAboveFourMiBAndBelowHeaderSizeFailTheStream) {
    for (std::uint32_t size : {4u * 1024u * 1024u + 1u, 15u, 0xFFFFFFFFu}) {
        PTUSBPacketReader reader;
        std::vector<std::uint8_t> header{
            static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8),
            static_cast<std::uint8_t>(size >> 16), static_cast<std::uint8_t>(size >> 24)};
        std::span<const std::uint8_t> input(header);
        EXPECT_EQ(reader.feed(input), PTUSBPacketReader::Status::fatal);
        EXPECT_EQ(reader.fatalError().domain, PTErrorDomain::usbHub);
    }
}

// The smallest and the largest packet the reader takes: a packet that is only its
// header carries no dictionary and no error, and a packet of exactly 4 MiB is read
// whole even when it arrives at once (a larger one fails the stream, above).
TEST(PTUSBPacketReader, HeaderOnlyAndExactlyFourMiBPacketsAreRead) {
    PTUSBPacketReader reader;
    const auto headerOnly = PTUSBEncodePacket(9, {});
    ASSERT_EQ(headerOnly.size(), 16u);
    std::span<const std::uint8_t> input(headerOnly);
    ASSERT_EQ(reader.feed(input), PTUSBPacketReader::Status::packet);
    EXPECT_TRUE(input.empty());
    EXPECT_EQ(reader.packet().tag, 9u);
    EXPECT_FALSE(reader.packet().dictionary);
    EXPECT_FALSE(reader.packet().error);

    // The same reader goes on with a 4 MiB packet: a dictionary padded with a long string.
    PTPlist big = result(0);
    big.set("Padding", PTPlist::makeString(""));
    const std::size_t overhead = PTPlistToXML(big).size() + 16;
    big.set("Padding", PTPlist::makeString(std::string(4u * 1024u * 1024u - overhead, 'x')));
    const auto largest = packet(10, big);
    ASSERT_EQ(largest.size(), 4u * 1024u * 1024u);
    input = std::span<const std::uint8_t>(largest);
    ASSERT_EQ(reader.feed(input), PTUSBPacketReader::Status::packet);
    EXPECT_TRUE(input.empty());
    EXPECT_EQ(reader.packet().tag, 10u);
    ASSERT_TRUE(reader.packet().dictionary);
    EXPECT_EQ(reader.packet().dictionary->find("Number")->integerValue(), 0);
}

TEST(PTUSBHubResults, NumbersMapToTheirTexts) {
    EXPECT_FALSE(PTUSBErrorFromPlistResponse(result(0), std::nullopt));
    EXPECT_EQ(PTUSBErrorFromPlistResponse(result(1), std::nullopt)->description, "illegal command");
    EXPECT_EQ(PTUSBErrorFromPlistResponse(result(2), std::nullopt)->description, "unknown device");
    EXPECT_EQ(PTUSBErrorFromPlistResponse(result(3), std::nullopt)->description, "connection refused");
    EXPECT_EQ(PTUSBErrorFromPlistResponse(result(6), std::nullopt)->description, "invalid version");
    auto five = PTUSBErrorFromPlistResponse(result(5), std::nullopt);
    EXPECT_EQ(five->code, 5);
    EXPECT_EQ(five->description, "Unspecified error");
    auto missing = PTUSBErrorFromPlistResponse(PTPlist::makeDictionary(), std::nullopt);
    EXPECT_EQ(missing->code, 0);
    EXPECT_EQ(missing->domain, PTErrorDomain::usbHub);
    EXPECT_EQ(missing->describe(), "The operation couldn't be completed. (PTUSBHubError error 0.)");
    EXPECT_EQ(PTUSBErrorFromPlistResponse(result(0), PTError::posix(EIO))->code, EIO);
}

TEST(PTUSBHubRequests, PortGoesOutInNetworkOrderAndMessageTypeIsAlwaysSet) {
    EXPECT_EQ(PTUSBPortNumberInNetworkOrder(17036), 35906);
    PTUSBSetClientIdentity({});
    EXPECT_EQ(PTUSBChannel::packetDictionary("Listen", nullptr).find("MessageType")->string, "Listen");
    EXPECT_FALSE(PTUSBChannel::packetDictionary("Listen", nullptr).find("ProgName"));
    PTUSBSetClientIdentity({"Velorin Server", "42"});
    PTPlist extra = PTPlist::makeDictionary();
    extra.set("DeviceID", PTPlist::makeInteger(3));
    const auto d = PTUSBChannel::packetDictionary("Connect", &extra);
    EXPECT_EQ(d.find("MessageType")->string, "Connect");
    EXPECT_EQ(d.find("ProgName")->string, "Velorin Server");
    EXPECT_EQ(d.find("ClientVersionString")->string, "42");
    EXPECT_EQ(d.find("DeviceID")->integerValue(), 3);
    PTUSBSetClientIdentity({});
}

TEST(PTUSBHubSocketPath, FollowsUSBMUXDSocketAddress) {
    ::setenv("USBMUXD_SOCKET_ADDRESS", "UNIX:/tmp/elsewhere", 1);
    EXPECT_EQ(PTUSBMuxSocketPath(), "/tmp/elsewhere");
    ::setenv("USBMUXD_SOCKET_ADDRESS", "127.0.0.1:27015", 1);
    EXPECT_EQ(PTUSBMuxSocketPath(), "/var/run/usbmuxd");
    ::setenv("USBMUXD_SOCKET_ADDRESS", "UNIX:", 1);  // no path after the prefix
    EXPECT_EQ(PTUSBMuxSocketPath(), "/var/run/usbmuxd");
    ::setenv("USBMUXD_SOCKET_ADDRESS", "UNIX:/", 1);
    EXPECT_EQ(PTUSBMuxSocketPath(), "/");
    ::unsetenv("USBMUXD_SOCKET_ADDRESS");
    EXPECT_EQ(PTUSBMuxSocketPath(), "/var/run/usbmuxd");
}

// A one-connection server the test scripts by hand.
class ScriptedDaemon {
public:
    explicit ScriptedDaemon(const std::string& path) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        listenFD = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ::bind(listenFD, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(listenFD, 4);
    }
    ~ScriptedDaemon() {
        if (client >= 0) ::close(client);
        ::close(listenFD);
    }
    void accept() { client = ::accept(listenFD, nullptr, nullptr); }
    PTUSBPacketReader::Packet readPacket() {
        PTUSBPacketReader reader;
        for (;;) {
            std::vector<std::uint8_t> buf(reader.wanted());
            const auto n = ::read(client, buf.data(), buf.size());
            if (n <= 0) return {};
            std::span<const std::uint8_t> in(buf.data(), static_cast<std::size_t>(n));
            if (reader.feed(in) == PTUSBPacketReader::Status::packet) return reader.packet();
        }
    }
    void write(const std::vector<std::uint8_t>& bytes) {
        [[maybe_unused]] auto n = ::write(client, bytes.data(), bytes.size());
    }
    int listenFD = -1;
    int client = -1;
};

TEST(PTUSBChannelReplies, TagsCountFromOneAndRepliesFindTheirCallbacksInAnyOrder) {
    UsbTempDir dir;
    ManualMainQueue queue;
    ScriptedDaemon daemon(dir.file("mux"));
    auto channel = PTUSBChannel::create(queue, dir.file("mux"));
    std::vector<PTOptionalError> ends;
    ASSERT_FALSE(channel->open([&](PTOptionalError e) { ends.push_back(e); }));
    daemon.accept();
    std::vector<std::pair<int, std::int64_t>> replies;
    std::vector<std::string> broadcasts;
    channel->listen([&](const PTPlist& b) { broadcasts.push_back(b.find("MessageType")->string); },
                    [&](PTOptionalError e) { replies.emplace_back(0, e ? e->code : 0); });
    channel->sendRequest(PTUSBChannel::packetDictionary("ListDevices", nullptr),
                         [&](PTOptionalError, std::optional<PTPlist> reply) {
                             replies.emplace_back(2, reply ? *reply->find("Number")->integerValue() : -1);
                         });
    queue.runPending();
    const auto first = daemon.readPacket();
    const auto second = daemon.readPacket();
    EXPECT_EQ(first.tag, 1u);
    EXPECT_EQ(second.tag, 2u);
    PTPlist attached = PTPlist::makeDictionary();
    attached.set("MessageType", PTPlist::makeString("Attached"));
    attached.set("DeviceID", PTPlist::makeInteger(4));
    daemon.write(packet(0, attached));
    daemon.write(packet(2, result(7)));
    daemon.write(packet(9, result(0)));  // nobody waits for tag 9
    daemon.write(packet(1, result(0)));
    ::testing::internal::CaptureStderr();
    queue.runPending();
    const std::string systemLog = ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0], (std::pair<int, std::int64_t>{2, 7}));
    EXPECT_EQ(replies[1], (std::pair<int, std::int64_t>{0, 0}));
    EXPECT_EQ(broadcasts, std::vector<std::string>{"Attached"});
    EXPECT_EQ(systemLog.rfind(
                  "Warning: Ignoring reply packet for which there is no registered callback. Packet => ", 0),
              0u);
    EXPECT_EQ(std::count(systemLog.begin(), systemLog.end(), '\n'), 1);
    ::close(daemon.client);
    daemon.client = -1;
    queue.runPending();
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_FALSE(ends[0]);
}

TEST(PTUSBHubConnect, ABroadcastOnAConnectConnectionDoesNotStallTheReply) {
    UsbTempDir dir;
    ManualMainQueue queue;
    ScriptedDaemon daemon(dir.file("mux"));
    auto hub = PTUSBHub::create(queue, dir.file("mux"));
    std::optional<PTOptionalError> outcome;
    int tunnel = -1;
    hub->connectToDevice(5, 17036, [&](PTOptionalError e, int fd) {
        outcome = e;
        tunnel = fd;
    });
    daemon.accept();
    queue.runPending();
    const auto request = daemon.readPacket();
    PTPlist stray = PTPlist::makeDictionary();
    stray.set("MessageType", PTPlist::makeString("Paired"));
    ::testing::internal::CaptureStderr();
    daemon.write(packet(0, stray));
    daemon.write(packet(0, PTPlist::makeDictionary(), 1, 3));  // a broadcast without a readable dictionary
    daemon.write(packet(request.tag, result(0)));
    for (int i = 0; i < 100 && !outcome; ++i) queue.runPending();
    const std::string systemLog = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(outcome.has_value());
    EXPECT_FALSE(*outcome);
    ASSERT_GE(tunnel, 0);
    ::close(tunnel);
    EXPECT_TRUE(systemLog.empty());  // nobody listens for broadcasts on a connect connection
}

TEST(PTUSBHubListen, BroadcastsOtherThanAttachAndDetachAreReportedAsUnhandled) {
    UsbTempDir dir;
    ManualMainQueue queue;
    ScriptedDaemon daemon(dir.file("mux"));
    auto hub = PTUSBHub::create(queue, dir.file("mux"));
    std::vector<std::string> notifications;
    hub->setNotificationHandler(
        [&](const std::string& name, const PTPlist&) { notifications.push_back(name); });
    hub->listen(nullptr, nullptr);
    daemon.accept();
    queue.runPending();
    const auto request = daemon.readPacket();
    daemon.write(packet(request.tag, result(0)));
    PTPlist paired = PTPlist::makeDictionary();
    paired.set("MessageType", PTPlist::makeString("Paired"));
    PTPlist detached = PTPlist::makeDictionary();
    detached.set("MessageType", PTPlist::makeString("Detached"));
    detached.set("DeviceID", PTPlist::makeInteger(3));
    ::testing::internal::CaptureStderr();
    daemon.write(packet(0, paired));
    daemon.write(packet(0, PTPlist::makeDictionary(), 1, 3));  // no readable dictionary
    daemon.write(packet(0, detached));
    for (int i = 0; i < 100 && notifications.empty(); ++i) queue.runPending();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Warning: Unhandled broadcast message: {MessageType = Paired}\n"
              "Warning: Unhandled broadcast message: (null)\n");
    EXPECT_EQ(notifications, std::vector<std::string>{"PTUSBDeviceDidDetachNotification"});
    hub->stopListening();
}

TEST(PTUSBHubConnect, UnknownDeviceAndRefusedConnectionReachTheCaller) {
    UsbTempDir dir;
    ManualMainQueue queue;
    FakeUSBMuxDaemon daemon(queue, dir.file("mux"));
    auto hub = PTUSBHub::create(queue, dir.file("mux"));
    std::optional<PTOptionalError> outcome;
    hub->connectToDevice(5, 17036, [&](PTOptionalError e, int fd) {
        outcome = e;
        EXPECT_EQ(fd, -1);
    });
    ASSERT_TRUE(queue.advanceUntil([&] { return outcome.has_value(); }, std::chrono::seconds(2),
                                   std::chrono::milliseconds(1), 5));
    EXPECT_EQ((*outcome)->description, "unknown device");
    EXPECT_EQ((*outcome)->code, 2);
}

TEST(VLUSBPeerTalkBridge, WithoutAHubOpeningCompletesWithENOTCONNAndUnknownSendsToo) {
    ManualMainQueue queue;
    auto bridge = VLUSBPeerTalkBridge::create(queue, "/nonexistent/usbmuxd");
    std::vector<int> results;
    bridge->openChannel(
        1, [&](const VLUSBChannelIdentifier&, PTOptionalError e) { results.push_back(e ? e->code : 0); },
        nullptr, nullptr);
    bridge->sendPayload({}, 101, 0, "nope", [&](const VLUSBChannelIdentifier&, PTOptionalError e) {
        results.push_back(e ? e->code : 0);
    });
    queue.runPending();
    EXPECT_EQ(results, (std::vector<int>{ENOTCONN, ENOTCONN}));
    EXPECT_EQ(bridge->channelCount(), 0u);
}

TEST(VLUSBPeerTalkBridge, ClosingBeforeTheConnectionFinishesDeliversECANCELEDAndAnEnd) {
    ManualMainQueue queue;
    auto bridge = VLUSBPeerTalkBridge::create(queue, "/nonexistent/usbmuxd");
    std::vector<std::string> events;
    const auto id = bridge->openChannel(
        1,
        [&](const VLUSBChannelIdentifier&, PTOptionalError e) {
            events.push_back("done " + std::to_string(e ? e->code : 0));
        },
        nullptr,
        [&](const VLUSBChannelIdentifier&, PTOptionalError e) { events.push_back(e ? "end error" : "end"); });
    bridge->closeChannel(id);
    EXPECT_TRUE(events.empty());  // never delivered from inside the call
    queue.runPending();
    EXPECT_EQ(events, (std::vector<std::string>{"done " + std::to_string(ECANCELED), "end"}));
}

TEST(VLUSBPeerTalkObservation, StopBeforeTheStartHasRunLeavesTheDaemonAlone) {
    UsbTempDir dir;
    ManualMainQueue queue;
    FakeUSBMuxDaemon daemon(queue, dir.file("mux"));
    auto bridge = VLUSBPeerTalkBridge::create(queue, dir.file("mux"));
    int readyCalls = 0;
    bridge->startObserving([](std::uint32_t, const PTPlist&) {}, [](std::uint32_t) {},
                           [&](PTOptionalError) { ++readyCalls; });
    bridge->stopObserving();
    queue.advanceUntil([] { return false; }, std::chrono::milliseconds(50), std::chrono::milliseconds(1), 1);
    EXPECT_EQ(daemon.clientCount(), 0u);
    EXPECT_EQ(readyCalls, 0);
    // A later start listens as usual.
    bridge->startObserving([](std::uint32_t, const PTPlist&) {}, [](std::uint32_t) {},
                           [&](PTOptionalError) { ++readyCalls; });
    ASSERT_TRUE(queue.advanceUntil([&] { return readyCalls == 1; }, std::chrono::seconds(2),
                                   std::chrono::milliseconds(1), 5));
    EXPECT_EQ(daemon.listenerCount(), 1u);
    bridge->stopObserving();
}

TEST(VLUSBPeerTalkObservation, ReportsAMissingDaemonOnceAndRetriesEverySecond) {
    ManualMainQueue queue;
    auto bridge = VLUSBPeerTalkBridge::create(queue, "/nonexistent/usbmuxd");
    std::vector<PTOptionalError> ready;
    bridge->startObserving([](std::uint32_t, const PTPlist&) {}, [](std::uint32_t) {},
                           [&](PTOptionalError e) { ready.push_back(e); });
    queue.runPending();
    queue.advance(std::chrono::milliseconds(3500));
    ASSERT_EQ(ready.size(), 1u);
    ASSERT_TRUE(ready[0]);
    EXPECT_TRUE(ready[0]->isPOSIX(ENOENT));
    bridge->stopObserving();
}

// An attach whose "Properties" is not a dictionary still reports the device,
// with empty properties.
TEST(VLUSBPeerTalkObservation, AnAttachWithoutAPropertiesDictionaryReportsEmptyProperties) {
    UsbTempDir dir;
    ManualMainQueue queue;
    FakeUSBMuxDaemon daemon(queue, dir.file("mux"));
    auto bridge = VLUSBPeerTalkBridge::create(queue, dir.file("mux"));
    std::vector<std::pair<std::uint32_t, PTPlist>> attached;
    bridge->startObserving([&](std::uint32_t n, const PTPlist& props) { attached.emplace_back(n, props); },
                           nullptr, nullptr);
    ASSERT_TRUE(queue.advanceUntil([&] { return daemon.listenerCount() == 1; }, std::chrono::seconds(2),
                                   std::chrono::milliseconds(1), 5));
    PTPlist broadcast = PTPlist::makeDictionary();
    broadcast.set("MessageType", PTPlist::makeString("Attached"));
    broadcast.set("DeviceID", PTPlist::makeInteger(8));
    broadcast.set("Properties", PTPlist::makeString("not a dictionary"));
    daemon.sendRawToListeners(packet(0, broadcast));
    ASSERT_TRUE(queue.advanceUntil([&] { return attached.size() == 1; }, std::chrono::seconds(2),
                                   std::chrono::milliseconds(1), 5));
    EXPECT_EQ(attached[0].first, 8u);
    EXPECT_TRUE(attached[0].second.isDictionary());
    EXPECT_TRUE(attached[0].second.dictionary.empty());
}

}  // namespace
}  // namespace velorin::testing

namespace velorin::testing {
namespace {

TEST(VLUSBPeerTalkBridge, LateConnectResultForAClosedRecordClosesTheFreshTunnelQuietly) {
    UsbTempDir dir;
    ManualMainQueue queue;
    ManualMainQueue daemonQueue;  // pumped separately, so the reply can be held back
    FakeUSBMuxDaemon daemon(daemonQueue, dir.file("mux"));
    FakeControllerDevice device(daemonQueue, "Pad");
    daemon.attach(1, &device);
    auto bridge = VLUSBPeerTalkBridge::create(queue, dir.file("mux"));
    bool ready = false;
    bridge->startObserving([](std::uint32_t, const PTPlist&) {}, [](std::uint32_t) {},
                           [&](PTOptionalError e) { ready = !e; });
    auto pumpUntil = [&](const std::function<bool()>& done) {
        for (int i = 0; i < 200000 && !done(); ++i) {
            queue.runPending();
            daemonQueue.runPending();
        }
        return done();
    };
    ASSERT_TRUE(pumpUntil([&] { return ready; }));
    std::vector<int> completions;
    std::size_t frames = 0;
    const auto id = bridge->openChannel(
        1, [&](const VLUSBChannelIdentifier&, PTOptionalError e) { completions.push_back(e ? e->code : 0); },
        [&](const VLUSBChannelIdentifier&, std::uint32_t, std::uint32_t, std::span<const std::uint8_t>) {
            ++frames;
        },
        nullptr);
    queue.runPending();  // "Connect" goes out; the daemon has not answered yet
    bridge->closeChannel(id);
    ASSERT_TRUE(
        pumpUntil([&] { return device.connectionsAccepted() == 1 && device.openConnectionCount() == 0; }));
    for (int i = 0; i < 100; ++i) queue.runPending();
    EXPECT_EQ(completions, std::vector<int>{ECANCELED});
    EXPECT_EQ(frames, 0u);
    EXPECT_EQ(bridge->channelCount(), 0u);
}

TEST(VLUSBPeerTalkObservation, AttachAndDetachBroadcastsReachTheHandlersAsynchronously) {
    UsbTempDir dir;
    ManualMainQueue queue;
    FakeUSBMuxDaemon daemon(queue, dir.file("mux"));
    FakeControllerDevice device(queue, "Pad");
    auto bridge = VLUSBPeerTalkBridge::create(queue, dir.file("mux"));
    std::vector<std::string> events;
    bridge->startObserving(
        [&](std::uint32_t n, const PTPlist& props) {
            events.push_back("attach " + std::to_string(n) + " " + props.find("SerialNumber")->string);
        },
        [&](std::uint32_t n) { events.push_back("detach " + std::to_string(n)); }, nullptr);
    ASSERT_TRUE(queue.advanceUntil([&] { return daemon.listenerCount() == 1; }, std::chrono::seconds(2),
                                   std::chrono::milliseconds(1), 5));
    daemon.attach(6, &device, "SER6");
    daemon.detach(6);
    ASSERT_TRUE(queue.advanceUntil([&] { return events.size() == 2; }, std::chrono::seconds(2),
                                   std::chrono::milliseconds(1), 5));
    EXPECT_EQ(events, (std::vector<std::string>{"attach 6 SER6", "detach 6"}));
    // A daemon restart: the old cycle's connection ends and a new one starts a second later.
    daemon.dropClients();
    queue.advance(std::chrono::milliseconds(1100));
    ASSERT_TRUE(queue.advanceUntil([&] { return daemon.listenerCount() == 1; }, std::chrono::seconds(2),
                                   std::chrono::milliseconds(1), 5));
    daemon.attach(7, &device, "SER7");
    ASSERT_TRUE(queue.advanceUntil([&] { return events.size() == 3; }, std::chrono::seconds(2),
                                   std::chrono::milliseconds(1), 5));
    EXPECT_EQ(events.back(), "attach 7 SER7");
}

}  // namespace
}  // namespace velorin::testing
