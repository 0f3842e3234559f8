// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "core/ManualMainQueue.hpp"
#include "netmidi/NetworkMIDISession.hpp"
#include "netmidi/RTPMIDIPayload.hpp"

using namespace velorin;
using namespace std::chrono_literals;

namespace {

// Sessions wired back to back through an in-memory network on virtual time:
// every datagram takes `delay` and may be dropped by `drop`.
class Network {
public:
    explicit Network(ManualMainQueue& queue) : queue_(queue) {}

    struct Node {
        std::string host;
        std::unique_ptr<NetworkMIDISession> session;
        std::vector<std::pair<NetworkMIDIPeerId, MIDIEvent>> midi;
        std::vector<NetworkMIDIPeer> joined;
        std::vector<NetworkMIDILeaveReason> left;
        std::vector<NetworkMIDIInvitationFailure> failures;
        std::size_t repairs = 0;
        bool accept = true;
        std::function<void(const NetworkMIDIPeer&, const MIDIEvent&)> onMIDI;
        NetworkMIDIPeerId onlyPeer() const { return session->peers().at(0).id; }
    };

    Node& add(std::string host, NetworkMIDISessionConfig config = {}) {
        auto node = std::make_unique<Node>();
        Node& n = *node;
        n.host = host;
        NetworkMIDISession::Callbacks callbacks;
        callbacks.send = [this, host](NetworkMIDIChannel channel, const NetworkMIDIAddress& to,
                                      std::span<const std::uint8_t> bytes) {
            const NetworkMIDIAddress from{
                host, static_cast<std::uint16_t>(channel == NetworkMIDIChannel::control ? 5004 : 5005)};
            ++sent;
            if (drop && drop(from, to, bytes)) return;
            queue_
                .postAfter(delay, [this, from, to,
                                   data = ByteArray(bytes.begin(), bytes.end())] { deliver(from, to, data); })
                .release();
        };
        callbacks.peerJoined = [&n](const NetworkMIDIPeer& p) { n.joined.push_back(p); };
        callbacks.peerLeft = [&n](const NetworkMIDIPeer&, NetworkMIDILeaveReason r) { n.left.push_back(r); };
        callbacks.invitationFailed = [&n](const NetworkMIDIAddress&, std::string_view,
                                          NetworkMIDIInvitationFailure f) { n.failures.push_back(f); };
        callbacks.midi = [&n](const NetworkMIDIPeer& p, const MIDIEvent& e) {
            n.midi.emplace_back(p.id, e);
            if (n.onMIDI) std::exchange(n.onMIDI, nullptr)(p, e);
        };
        callbacks.journalRepaired = [&n](const NetworkMIDIPeer&, std::size_t, std::size_t events) {
            n.repairs += events;
        };
        callbacks.acceptInvitation = [&n](const NetworkMIDIInvitation&) { return n.accept; };
        if (config.name == NetworkMIDISessionConfig{}.name) config.name = host;
        n.session = std::make_unique<NetworkMIDISession>(queue_, config, std::move(callbacks));
        n.session->start();
        nodes_[host] = std::move(node);
        return n;
    }

    void deliver(const NetworkMIDIAddress& from, const NetworkMIDIAddress& to, const ByteArray& bytes) {
        auto it = nodes_.find(to.host);
        if (it == nodes_.end()) return;
        const auto channel = to.port == 5004 ? NetworkMIDIChannel::control : NetworkMIDIChannel::data;
        it->second->session->receive(channel, from, bytes);
    }

    // Connects `a` to `b` (a invites) and returns a's peer id for b.
    NetworkMIDIPeerId connect(Node& a, Node& b) {
        const auto id = a.session->invite({b.host, 5004});
        queue_.advance(50ms);
        EXPECT_EQ(a.joined.size(), 1u);
        EXPECT_EQ(b.joined.size(), 1u);
        return id;
    }

    std::function<bool(const NetworkMIDIAddress& from, const NetworkMIDIAddress& to,
                       std::span<const std::uint8_t>)>
        drop;
    MainQueue::Duration delay = 2ms;
    std::size_t sent = 0;

private:
    ManualMainQueue& queue_;
    std::map<std::string, std::unique_ptr<Node>> nodes_;
};

bool isRTP(std::span<const std::uint8_t> bytes) {
    return !isSessionPacket(bytes);
}

std::vector<MIDIEvent> eventsOf(const Network::Node& node) {
    std::vector<MIDIEvent> out;
    for (const auto& [id, e] : node.midi) out.push_back(e);
    return out;
}

class NetworkMIDISessionTest : public ::testing::Test {
protected:
    ManualMainQueue queue;
    Network net{queue};
};

}  // namespace

TEST_F(NetworkMIDISessionTest, InvitationJoinsBothSidesAndClockSyncMeasuresLatency) {
    auto& a = net.add("10.0.0.1");
    auto& b = net.add("10.0.0.2");
    const auto id = net.connect(a, b);
    EXPECT_EQ(a.joined[0].name, "10.0.0.2");
    EXPECT_EQ(a.joined[0].role, NetworkMIDIPeerRole::invitedByUs);
    EXPECT_EQ(b.joined[0].name, "10.0.0.1");
    EXPECT_EQ(b.joined[0].dataAddress, (NetworkMIDIAddress{"10.0.0.1", 5005}));
    EXPECT_EQ(b.joined[0].ssrc, a.session->ssrc());
    // One clock-sync round gives both sides the one-way delay of this network.
    queue.advance(20ms);
    EXPECT_EQ(a.session->peer(id)->latency, std::chrono::microseconds(2000));
    EXPECT_EQ(b.session->peers().at(0).latency, std::chrono::microseconds(2000));
    // Clock sync keeps the session alive far past the peer timeout.
    queue.advance(5min);
    EXPECT_TRUE(a.left.empty());
    EXPECT_TRUE(b.left.empty());
    EXPECT_EQ(a.session->peer(id)->state, NetworkMIDIPeerState::connected);
}

TEST_F(NetworkMIDISessionTest, RefusedAndUnansweredInvitationsFail) {
    auto& a = net.add("10.0.0.1");
    auto& b = net.add("10.0.0.2");
    b.accept = false;
    a.session->invite({"10.0.0.2", 5004});
    queue.advance(50ms);
    EXPECT_EQ(a.failures, std::vector{NetworkMIDIInvitationFailure::refusedByPeer});
    EXPECT_EQ(b.failures, std::vector{NetworkMIDIInvitationFailure::refusedByUs});
    EXPECT_TRUE(a.session->peers().empty());
    EXPECT_TRUE(b.session->peers().empty());

    const std::size_t before = net.sent;
    a.session->invite({"10.0.0.99", 5004});
    queue.advance(1min);
    EXPECT_EQ(a.failures.back(), NetworkMIDIInvitationFailure::noAnswer);
    EXPECT_EQ(net.sent - before, static_cast<std::size_t>(NetworkMIDISessionConfig{}.invitationAttempts));
    EXPECT_TRUE(a.session->peers().empty());
}

TEST_F(NetworkMIDISessionTest, LostInvitationPacketsAreRetried) {
    auto& a = net.add("10.0.0.1");
    auto& b = net.add("10.0.0.2");
    int invitationsDropped = 0;
    net.drop = [&](const auto&, const auto&, std::span<const std::uint8_t> bytes) {
        // The first IN on each port is lost.
        const bool in = bytes.size() > 3 && bytes[2] == 'I' && bytes[3] == 'N';
        return in && invitationsDropped++ < 2 && (invitationsDropped == 1 || invitationsDropped == 2);
    };
    a.session->invite({"10.0.0.2", 5004});
    queue.advance(1100ms);
    EXPECT_TRUE(a.joined.empty());
    queue.advance(1100ms);
    EXPECT_EQ(a.joined.size(), 1u);
    EXPECT_EQ(b.joined.size(), 1u);
}

TEST_F(NetworkMIDISessionTest, MIDIAndLongSysExTravelBothWays) {
    auto& a = net.add("10.0.0.1");
    auto& b = net.add("10.0.0.2");
    const auto toB = net.connect(a, b);
    const auto toA = b.onlyPeer();
    MIDIEvent big;
    big.type = MIDIEventType::systemExclusive;
    big.data.assign(5000, 0x11);
    big.data.front() = 0xF0;
    big.data.back() = 0xF7;
    const std::vector<MIDIEvent> song = {MIDIEvent::noteOnEvent(60, 100, 0), big,
                                         MIDIEvent::noteOffEvent(60, 0, 0)};
    ASSERT_TRUE(a.session->sendMIDI(toB, song));
    ASSERT_TRUE(b.session->sendMIDI(toA, MIDIEvent::ccEvent(74, 3, 5)));
    queue.advance(10ms);
    EXPECT_EQ(eventsOf(b), song);
    EXPECT_EQ(eventsOf(a), std::vector{MIDIEvent::ccEvent(74, 3, 5)});
    EXPECT_GE(a.session->peer(toB)->statistics.packetsSent, 4u);  // the SysEx went in segments
    EXPECT_FALSE(a.session->sendMIDI(12345, song));
}

TEST_F(NetworkMIDISessionTest, LostNoteOffIsRepairedByTheJournalEvenWhenNothingFollows) {
    auto& a = net.add("10.0.0.1");
    auto& b = net.add("10.0.0.2");
    const auto toB = net.connect(a, b);
    a.session->sendMIDI(toB, MIDIEvent::noteOnEvent(60, 100, 0));
    queue.advance(10ms);
    bool dropNext = true;
    net.drop = [&](const auto&, const auto&, std::span<const std::uint8_t> bytes) {
        if (!isRTP(bytes) || !dropNext) return false;
        dropNext = false;
        return true;
    };
    a.session->sendMIDI(toB, MIDIEvent::noteOffEvent(60, 0, 0));
    queue.advance(1s);
    EXPECT_EQ(eventsOf(b),
              (std::vector{MIDIEvent::noteOnEvent(60, 100, 0), MIDIEvent::noteOffEvent(60, 0, 0)}));
    EXPECT_EQ(b.repairs, 1u);
    const auto stats = b.session->peers().at(0).statistics;
    EXPECT_EQ(stats.packetsLost, 1u);
    EXPECT_EQ(stats.journalRepairs, 1u);
    // Receiver feedback ends the guard packets: no more RTP once the journal is confirmed.
    int rtp = 0;
    net.drop = [&](const auto&, const auto&, std::span<const std::uint8_t> bytes) {
        rtp += isRTP(bytes) ? 1 : 0;
        return false;
    };
    queue.advance(9s);
    EXPECT_EQ(rtp, 0);
}

TEST_F(NetworkMIDISessionTest, UnderHeavyLossNoNoteIsLeftHanging) {
    auto& a = net.add("10.0.0.1");
    auto& b = net.add("10.0.0.2");
    const auto toB = net.connect(a, b);
    std::uint32_t seed = 12345;
    net.drop = [&](const auto&, const auto&, std::span<const std::uint8_t>) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % 100 < 20;  // 20 % of everything, both ways
    };
    std::map<int, int> held;  // note -> on count at b
    for (int i = 0; i < 2000; ++i) {
        const int note = 36 + i % 24;
        a.session->sendMIDI(toB, MIDIEvent::noteOnEvent(note, 100, i % 4));
        queue.advance(3ms);
        a.session->sendMIDI(toB, MIDIEvent::noteOffEvent(note, 0, i % 4));
        queue.advance(7ms);
    }
    net.drop = nullptr;
    queue.advance(5s);
    std::map<std::pair<std::int64_t, std::int64_t>, bool> on;
    for (const auto& e : eventsOf(b)) {
        if (e.type == MIDIEventType::noteOn) on[{e.channel, e.note}] = true;
        if (e.type == MIDIEventType::noteOff) on[{e.channel, e.note}] = false;
    }
    for (const auto& [key, isOn] : on) EXPECT_FALSE(isOn) << key.first << "/" << key.second;
    EXPECT_GT(b.repairs, 0u);
}

TEST_F(NetworkMIDISessionTest, PeerWithoutJournalStillWorks) {
    NetworkMIDISessionConfig plain;
    plain.sendJournal = false;
    auto& a = net.add("10.0.0.1", plain);
    auto& b = net.add("10.0.0.2");
    const auto toB = net.connect(a, b);
    a.session->sendMIDI(toB, MIDIEvent::noteOnEvent(60, 100, 0));
    bool dropNext = true;
    net.drop = [&](const auto&, const auto&, std::span<const std::uint8_t> bytes) {
        return isRTP(bytes) && std::exchange(dropNext, false);
    };
    a.session->sendMIDI(toB, MIDIEvent::noteOnEvent(61, 100, 0));
    a.session->sendMIDI(toB, MIDIEvent::noteOnEvent(62, 100, 0));
    queue.advance(100ms);
    EXPECT_EQ(eventsOf(b),
              (std::vector{MIDIEvent::noteOnEvent(60, 100, 0), MIDIEvent::noteOnEvent(62, 100, 0)}));
    EXPECT_EQ(b.session->peers().at(0).statistics.lossesUnrepaired, 1u);
}

TEST_F(NetworkMIDISessionTest, ByeEndsThePeerAndReleasesItsNotes) {
    auto& a = net.add("10.0.0.1");
    auto& b = net.add("10.0.0.2");
    auto& c = net.add("10.0.0.3");
    const auto toB = net.connect(a, b);
    c.session->invite({"10.0.0.1", 5004});
    queue.advance(50ms);
    a.session->sendMIDI(toB, MIDIEvent::noteOnEvent(60, 100, 0));
    queue.advance(10ms);
    a.session->stop();
    queue.advance(10ms);
    EXPECT_EQ(a.left,
              (std::vector{NetworkMIDILeaveReason::sessionStopped, NetworkMIDILeaveReason::sessionStopped}));
    EXPECT_EQ(b.left, std::vector{NetworkMIDILeaveReason::byeReceived});
    EXPECT_EQ(c.left, std::vector{NetworkMIDILeaveReason::byeReceived});
    EXPECT_EQ(eventsOf(b).back(), MIDIEvent::noteOffEvent(60, 0, 0));
    EXPECT_TRUE(b.session->peers().empty());
    EXPECT_FALSE(a.session->sendMIDI(toB, MIDIEvent::noteOnEvent(60, 100, 0)));
}

TEST_F(NetworkMIDISessionTest, SilentPeerTimesOut) {
    auto& a = net.add("10.0.0.1");
    auto& b = net.add("10.0.0.2");
    net.connect(a, b);
    net.drop = [](const auto&, const auto&, auto) { return true; };  // the cable is pulled
    queue.advance(61s);
    EXPECT_EQ(a.left, std::vector{NetworkMIDILeaveReason::timedOut});
    EXPECT_EQ(b.left, std::vector{NetworkMIDILeaveReason::timedOut});
}

TEST_F(NetworkMIDISessionTest, StrangersAndForgedPacketsCannotInjectMIDI) {
    auto& a = net.add("10.0.0.1");
    auto& b = net.add("10.0.0.2");
    net.connect(a, b);
    // RTP from a host that never joined, and from the peer's host with another SSRC.
    RTPMIDICommandWriter writer;
    writer.appendChannelEvent(0, MIDIEvent::noteOnEvent(1, 1, 0));
    ByteArray datagram;
    encodeRTPMIDIPacket({false, kRTPMIDIPayloadType, 1, 0, 0x1234}, writer.bytes(), std::nullopt, datagram);
    net.deliver({"10.0.0.66", 5005}, {"10.0.0.2", 5005}, datagram);
    encodeRTPMIDIPacket({false, kRTPMIDIPayloadType, 1, 0, a.session->ssrc() + 1}, writer.bytes(),
                        std::nullopt, datagram);
    net.deliver({"10.0.0.1", 5005}, {"10.0.0.2", 5005}, datagram);
    net.deliver({"10.0.0.1", 5005}, {"10.0.0.2", 5005}, ByteArray{0xFF, 0xFF, 'C', 'K'});
    net.deliver({"10.0.0.1", 5004}, {"10.0.0.2", 5004}, ByteArray{0x80});
    queue.advance(10ms);
    EXPECT_TRUE(b.midi.empty());
    EXPECT_EQ(b.session->peers().size(), 1u);
    // An invitation carrying our own SSRC (a loop back to ourselves) is refused.
    NetworkMIDISessionConfig same;
    same.ssrc = b.session->ssrc();
    auto& twin = net.add("10.0.0.4", same);
    twin.session->invite({"10.0.0.2", 5004});
    queue.advance(50ms);
    EXPECT_EQ(b.failures, std::vector{NetworkMIDIInvitationFailure::ourOwnSession});

    // A flood of invitations that never finish cannot keep a real peer out.
    NetworkMIDISessionConfig small;
    small.maxPeers = 2;
    auto& d = net.add("10.0.0.5", small);
    for (std::uint32_t i = 0; i < 50; ++i) {
        const SessionInvitationPacket in{SessionCommand::invitation, 2, i, 1000 + i, "flood"};
        net.deliver({"10.0.0.66", static_cast<std::uint16_t>(6000 + i)}, {"10.0.0.5", 5004},
                    encodedSessionPacket(in));
    }
    a.session->invite({"10.0.0.5", 5004});
    queue.advance(50ms);
    EXPECT_EQ(d.joined.size(), 1u);
    EXPECT_LE(d.session->peers().size(), 2u);
}

TEST_F(NetworkMIDISessionTest, InitiatorSyncsQuicklyAtFirstThenPeriodically) {
    auto& a = net.add("10.0.0.1");
    auto& b = net.add("10.0.0.2");
    std::vector<MainQueue::TimePoint> syncs;
    net.drop = [&](const NetworkMIDIAddress& from, const auto&, std::span<const std::uint8_t> bytes) {
        const auto ck = parseSessionPacket(bytes);
        if (ck.packet && std::holds_alternative<SessionClockSyncPacket>(*ck.packet) &&
            std::get<SessionClockSyncPacket>(*ck.packet).count == 0) {
            EXPECT_EQ(from.host, "10.0.0.1");  // the responder leaves clock sync to the initiator
            syncs.push_back(queue.now());
        }
        return false;
    };
    const auto start = queue.now();
    net.connect(a, b);
    queue.advance(60s);
    const auto config = NetworkMIDISessionConfig{};
    ASSERT_GE(syncs.size(), static_cast<std::size_t>(config.fastSyncCount) + 3);
    EXPECT_LT(syncs[0] - start, 50ms);
    EXPECT_EQ(syncs[1] - syncs[0], config.fastSyncInterval);
    EXPECT_EQ(syncs.back() - syncs[syncs.size() - 2], config.syncInterval);
}

TEST_F(NetworkMIDISessionTest, RestartedPeerReplacesItsOldSessionAndSameSSRCsStayApart) {
    NetworkMIDISessionConfig fixed;
    fixed.ssrc = 777;
    auto& a = net.add("10.0.0.1");
    auto& b = net.add("10.0.0.2", fixed);
    auto& c = net.add("10.0.0.3", fixed);  // the same SSRC on another host
    net.connect(b, a);
    c.session->invite({"10.0.0.1", 5004});
    queue.advance(50ms);
    ASSERT_EQ(a.session->peers().size(), 2u);
    b.session->sendMIDI(b.onlyPeer(), MIDIEvent::noteOnEvent(1, 1, 0));
    c.session->sendMIDI(c.onlyPeer(), MIDIEvent::noteOnEvent(2, 2, 0));
    queue.advance(10ms);
    ASSERT_EQ(a.midi.size(), 2u);
    EXPECT_NE(a.midi[0].first, a.midi[1].first);

    // b restarts without a goodbye and invites again: a drops the old session, releasing its note.
    auto& b2 = net.add("10.0.0.2");
    b2.session->invite({"10.0.0.1", 5004});
    queue.advance(50ms);
    EXPECT_EQ(a.left, std::vector{NetworkMIDILeaveReason::replaced});
    EXPECT_EQ(a.midi.back().second, MIDIEvent::noteOffEvent(1, 0, 0));
    EXPECT_EQ(a.session->peers().size(), 2u);
    EXPECT_EQ(b2.joined.size(), 1u);
}

TEST_F(NetworkMIDISessionTest, APeerDisconnectedFromInsideItsMIDICallbackLeavesNoNoteBehind) {
    auto& a = net.add("10.0.0.1");
    auto& b = net.add("10.0.0.2");
    const auto toB = net.connect(a, b);
    b.onMIDI = [&](const NetworkMIDIPeer& peer, const MIDIEvent&) {
        b.session->sendMIDI(peer.id, MIDIEvent::ccEvent(1, 1, 0));
        b.session->disconnect(peer.id);
    };
    a.session->sendMIDI(toB, std::vector{MIDIEvent::noteOnEvent(60, 1, 0), MIDIEvent::noteOnEvent(61, 1, 0)});
    queue.advance(10ms);
    // The first note arrived and was released at the goodbye; the second was never passed on.
    EXPECT_EQ(eventsOf(b),
              (std::vector{MIDIEvent::noteOnEvent(60, 1, 0), MIDIEvent::noteOffEvent(60, 0, 0)}));
    EXPECT_EQ(b.left, std::vector{NetworkMIDILeaveReason::disconnected});
    EXPECT_EQ(eventsOf(a), std::vector{MIDIEvent::ccEvent(1, 1, 0)});
    EXPECT_EQ(a.left, std::vector{NetworkMIDILeaveReason::byeReceived});
}
