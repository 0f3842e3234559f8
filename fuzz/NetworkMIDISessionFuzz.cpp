// SPDX-License-Identifier: GPL-3.0-or-later
// A session with one joined peer is given arbitrary datagrams on either
// port, from the peer's or a stranger's address, with time passing between
// them. Nothing may crash, the peer list stays bounded, and MIDI only ever
// comes from a joined peer.
//
// Input: repeated [flags][length][length bytes]: flags bit 0 picks the data
// port, bit 1 the stranger, bits 2-7 the milliseconds to advance first.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "core/ManualMainQueue.hpp"
#include "netmidi/NetworkMIDISession.hpp"

using namespace velorin;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ManualMainQueue queue;
    const NetworkMIDIAddress peerControl{"192.0.2.1", 5004};
    const NetworkMIDIAddress stranger{"192.0.2.66", 7000};
    std::vector<std::uint8_t> lastSent;
    NetworkMIDISession::Callbacks callbacks;
    callbacks.send = [&](NetworkMIDIChannel, const NetworkMIDIAddress&, std::span<const std::uint8_t> bytes) {
        check(bytes.size() <= 1500);
        lastSent.assign(bytes.begin(), bytes.end());
    };
    callbacks.midi = [&](const NetworkMIDIPeer& peer, const MIDIEvent&) {
        check(peer.state == NetworkMIDIPeerState::connected);
    };
    NetworkMIDISessionConfig config;
    config.ssrc = 42;
    config.maxPeers = 4;
    NetworkMIDISession session(queue, config, std::move(callbacks));
    session.start();

    // The peer joins: its IN on both ports.
    SessionInvitationPacket in{SessionCommand::invitation, 2, 7, 99, "peer"};
    session.receive(NetworkMIDIChannel::control, peerControl, encodedSessionPacket(in));
    session.receive(NetworkMIDIChannel::data, peerControl.nextPort(), encodedSessionPacket(in));
    check(session.peers().size() == 1);

    std::size_t pos = 0;
    while (pos + 2 <= size) {
        const std::uint8_t flags = data[pos];
        const std::size_t length = std::min<std::size_t>(data[pos + 1], size - pos - 2);
        const std::span<const std::uint8_t> datagram(data + pos + 2, length);
        pos += 2 + length;
        queue.advance(std::chrono::milliseconds(flags >> 2));
        const auto channel = (flags & 1) ? NetworkMIDIChannel::data : NetworkMIDIChannel::control;
        NetworkMIDIAddress from = (flags & 2) ? stranger : peerControl;
        if (channel == NetworkMIDIChannel::data) from = from.nextPort();
        session.receive(channel, from, datagram);
        check(session.peers().size() <= config.maxPeers);
        for (const auto& peer : session.peers()) session.sendMIDI(peer.id, MIDIEvent::noteOnEvent(60, 1, 0));
    }
    queue.advance(std::chrono::seconds(120));
    session.stop();
    check(session.peers().empty());
    return 0;
}
