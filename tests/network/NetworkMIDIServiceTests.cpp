// SPDX-License-Identifier: GPL-3.0-or-later
// The network session service between hubs over an in-process network on
// virtual time: invitations both ways, endpoints keyed by session name, MIDI
// through them, who may invite, sessions we started invited again, and the
// status the window reads.
#include <gtest/gtest.h>

#include <algorithm>

#include "FakeDatagramNetwork.hpp"
#include "NetworkTestHub.hpp"
#include "core/ManualMainQueue.hpp"
#include "core/MemorySettingsStore.hpp"
#include "log/LogStore.hpp"
#include "network/NetworkMIDIService.hpp"

namespace velorin {
namespace {

using namespace std::chrono_literals;

using test::Hub;

// A hub whose sockets are on `host` of the in-process network.
struct HostedHub {
    HostedHub(MainQueue& queue, test::FakeDatagramNetwork& network, const std::string& name,
              std::uint16_t port, const std::string& host = "127.0.0.1")
        : sockets(network, host), hub(queue, sockets, name, port) {}
    Hub* operator->() { return &hub; }
    test::FakeDatagramNetwork::Factory sockets;
    Hub hub;
};

class NetworkMIDIServiceTest : public ::testing::Test {
protected:
    void settle(MainQueue::Duration d = 2s) { queue.advance(d); }

    ManualMainQueue queue;
    test::FakeDatagramNetwork network{queue};
};

TEST_F(NetworkMIDIServiceTest, ConnectedPeersAreEndpointsByNameAndCarryMIDIBothWays) {
    HostedHub stage(queue, network, "Stage", 6004);
    HostedHub studio(queue, network, "Studio", 7004);
    stage->service->start();
    studio->service->start();
    EXPECT_EQ(stage->discovery.published, std::make_pair(std::string("Stage"), std::uint16_t{6004}));

    stage->service->connect("127.0.0.1:7004");
    settle();
    ASSERT_EQ(stage->inputKeys(), std::vector<std::string>{"network-midi:Studio"});
    ASSERT_EQ(studio->inputKeys(), std::vector<std::string>{"network-midi:Stage"});
    EXPECT_EQ(stage->endpoints.outputs.front().presentation.title, "Network: Studio");
    EXPECT_EQ(stage->endpoints.outputs.front().route.transport.rawValue, "network-midi");
    EXPECT_TRUE(stage->logged("[Network MIDI] Studio joined from 127.0.0.1:7004 (we invited it)"));
    EXPECT_TRUE(studio->logged("[Network MIDI] Stage joined from 127.0.0.1:6004 (it invited us)"));
    ASSERT_NE(stage->settings->knownPeer("Studio"), nullptr);
    EXPECT_TRUE(stage->settings->knownPeer("Studio")->initiatedByUs);
    ASSERT_NE(studio->settings->knownPeer("Stage"), nullptr);
    EXPECT_FALSE(studio->settings->knownPeer("Stage")->initiatedByUs);

    EXPECT_TRUE(stage->service->send(MIDIEvent::noteOnEvent(60, 100, 2), "network-midi:Studio"));
    EXPECT_TRUE(studio->service->send(MIDIEvent::ccEvent(7, 90, 0), "network-midi:Stage"));
    EXPECT_FALSE(stage->service->send(MIDIEvent::noteOnEvent(60, 100, 2), "network-midi:Nobody"));
    settle(100ms);
    ASSERT_EQ(studio->received.size(), 1u);
    EXPECT_EQ(studio->received[0],
              std::make_pair(std::string("network-midi:Stage"), ByteArray{0x92, 60, 100}));
    ASSERT_EQ(stage->received.size(), 1u);
    EXPECT_EQ(stage->received[0].second, (ByteArray{0xB0, 7, 90}));

    const auto snapshot = stage->service->statusSnapshot();
    EXPECT_EQ(snapshot.status, "Listening on UDP 6004 and 6005");
    ASSERT_EQ(snapshot.peers.size(), 1u);
    EXPECT_EQ(snapshot.peers[0].name, "Studio");
    EXPECT_EQ(snapshot.peers[0].state, NetworkMIDIStatusSnapshot::Peer::State::connected);

    // A second session of the same name is told apart by its address.
    HostedHub twin(queue, network, "Studio", 9004);
    twin->service->start();
    twin->service->connect("127.0.0.1:6004");
    settle();
    EXPECT_EQ(stage->inputKeys(),
              (std::vector<std::string>{"network-midi:Studio", "network-midi:Studio (127.0.0.1:9004)"}));
    twin->service->stop();
    settle();

    // The peer leaves: its endpoints go, the note it started is ended first.
    studio->service->stop();
    settle();
    EXPECT_TRUE(stage->inputKeys().empty());
    EXPECT_TRUE(stage->logged("[Network MIDI] Studio left"));
    EXPECT_TRUE(studio->logged("[Network MIDI] Session \"Studio\" stopped"));
}

TEST_F(NetworkMIDIServiceTest, WhoMayInviteFollowsThePolicy) {
    HostedHub studio(queue, network, "Studio", 7004);
    HostedHub stranger(queue, network, "Stranger", 6004, "203.0.113.5");
    HostedHub friendHub(queue, network, "Friend", 8004, "192.168.1.20");
    studio->service->start();
    stranger->service->start();
    friendHub->service->start();

    // Anyone on a local network: a public address is refused, a private one is not.
    stranger->service->connect("127.0.0.1:7004");
    friendHub->service->connect("127.0.0.1:7004");
    settle();
    EXPECT_EQ(studio->inputKeys(), std::vector<std::string>{"network-midi:Friend"});
    EXPECT_TRUE(
        studio->logged("Invitation from Stranger (203.0.113.5:6004) refused: not on a local network"));
    EXPECT_TRUE(stranger->inputKeys().empty());

    // Only peers connected before: Friend comes back, a new local peer does not get in.
    studio->service->disconnect("Friend");
    settle();
    studio->settings->setInvitationPolicy(NetworkMIDIInvitationPolicy::onlyKnownPeers);
    HostedHub newcomer(queue, network, "Newcomer", 9004, "10.0.0.8");
    newcomer->service->start();
    newcomer->service->connect("127.0.0.1:7004");
    friendHub->service->connect("127.0.0.1:7004");
    settle();
    EXPECT_EQ(studio->inputKeys(), std::vector<std::string>{"network-midi:Friend"});
    EXPECT_TRUE(studio->logged(
        "Invitation from Newcomer (10.0.0.8:9004) refused: only peers connected before may invite"));
    EXPECT_TRUE(studio->service->statusSnapshot().onlyKnownPeersMayInvite);
}

TEST_F(NetworkMIDIServiceTest, SessionsWeStartedAreInvitedAgainAtStartAndWhenThePeerReturns) {
    HostedHub stage(queue, network, "Stage", 6004);
    HostedHub studio(queue, network, "Studio", 7004);
    studio->service->start();
    stage->settings->rememberPeer({"Studio", {"127.0.0.1", 7004}, true});
    stage->service->start();
    settle();
    ASSERT_EQ(stage->inputKeys(), std::vector<std::string>{"network-midi:Studio"});

    // Studio ends its session with a goodbye: not invited again while it is
    // away, but when it reappears on the network (on another port).
    studio->service->stop();
    settle();
    ASSERT_TRUE(stage->inputKeys().empty());
    studio->service->start();
    queue.advance(NetworkMIDIService::kRetryInterval + 1s);
    EXPECT_TRUE(stage->inputKeys().empty());
    studio->service->stop();
    studio->settings->setControlPort(7104);
    studio->service->start();
    stage->discovery.show({{"Studio", {"127.0.0.1", 7104}}});
    settle();
    EXPECT_EQ(stage->inputKeys(), std::vector<std::string>{"network-midi:Studio"});

    // Disconnected by the user: not invited again.
    stage->service->disconnect("Studio");
    settle();
    stage->discovery.show({{"Studio", {"127.0.0.1", 7104}}});
    queue.advance(NetworkMIDIService::kRetryInterval + 1s);
    EXPECT_TRUE(stage->inputKeys().empty());
    EXPECT_FALSE(stage->settings->knownPeer("Studio")->initiatedByUs);
}

TEST_F(NetworkMIDIServiceTest, SwitchingRenamingAndBusyPortsAreReported) {
    network.taken.insert(6005);
    HostedHub stage(queue, network, "Stage", 6004);
    stage->service->start();
    EXPECT_FALSE(stage->service->isListening());
    EXPECT_EQ(stage->service->statusSnapshot().status.rfind("Cannot listen on UDP 6005: ", 0), 0u);
    EXPECT_TRUE(stage->logged("[Network MIDI] Cannot listen on UDP 6005"));

    stage->settings->setControlPort(6006);
    EXPECT_TRUE(stage->service->isListening());
    stage->service->setSessionName("  Front of House  ");
    EXPECT_EQ(stage->discovery.published, std::make_pair(std::string("Front of House"), std::uint16_t{6006}));
    stage->service->setEnabled(false);
    EXPECT_FALSE(stage->service->isListening());
    EXPECT_FALSE(stage->discovery.published);
    EXPECT_EQ(stage->service->statusSnapshot().status, "Off");

    stage->service->setEnabled(true);
    stage->service->connect("nowhere.invalid");
    stage->service->connect("host:notaport");
    settle();
    EXPECT_TRUE(stage->logged("Cannot connect to nowhere.invalid:5004: Name or service not known"));
    EXPECT_TRUE(stage->logged("Cannot connect to \"host:notaport\": not a host or host:port"));
}

TEST_F(NetworkMIDIServiceTest, HostilePacketsCostAtMostOneLinePerSecondAndNothingElse) {
    HostedHub studio(queue, network, "Studio", 7004);
    studio->service->start();
    test::FakeDatagramNetwork::Factory attackerSockets(network, "192.168.1.66");
    auto opened = attackerSockets.open(4000, [](std::span<const std::uint8_t>, const NetworkMIDIAddress&) {});
    auto& attacker = std::get<std::unique_ptr<DatagramSocket>>(opened);
    const std::vector<ByteArray> garbage{
        {0xFF, 0xFF, 'I', 'N'}, {0xFF, 0xFF, 'C', 'K', 0, 0}, {0x80, 0x61, 0, 1}, ByteArray(2000, 0xF0), {}};
    for (int round = 0; round < 100; ++round) {
        for (const auto& datagram : garbage) {
            attacker->sendTo(datagram, {"127.0.0.1", 7004});
            attacker->sendTo(datagram, {"127.0.0.1", 7005});
        }
        queue.advance(20ms);  // 2 s in all
    }
    std::size_t lines = 0;
    studio->log->flush();
    for (const auto& entry : studio->log->entries()) {
        const auto* message = std::get_if<LogEntry::Message>(&entry.kind);
        if (message != nullptr && message->text.find("192.168.1.66:4000") != std::string::npos) ++lines;
    }
    EXPECT_GE(lines, 1u);
    EXPECT_LE(lines, 3u);
    EXPECT_TRUE(studio->inputKeys().empty());

    // A real peer still gets in.
    HostedHub stage(queue, network, "Stage", 6004);
    stage->service->start();
    stage->service->connect("127.0.0.1:7004");
    settle();
    EXPECT_EQ(studio->inputKeys(), std::vector<std::string>{"network-midi:Stage"});
}

}  // namespace
}  // namespace velorin
