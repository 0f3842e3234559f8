// SPDX-License-Identifier: GPL-3.0-or-later
#include "netmidi/NetworkMIDISession.hpp"

namespace velorin {

struct NetworkMIDISession::PeerRecord {};

NetworkMIDISession::NetworkMIDISession(MainQueue& queue, NetworkMIDISessionConfig config, Callbacks callbacks)
    : queue_(queue), config_(std::move(config)), callbacks_(std::move(callbacks)) {}
NetworkMIDISession::~NetworkMIDISession() = default;
void NetworkMIDISession::start() {
    running_ = true;
}
void NetworkMIDISession::stop() {
    running_ = false;
}
NetworkMIDIPeerId NetworkMIDISession::invite(const NetworkMIDIAddress&) {
    return 0;
}
void NetworkMIDISession::disconnect(NetworkMIDIPeerId) {}
void NetworkMIDISession::receive(NetworkMIDIChannel, const NetworkMIDIAddress&,
                                 std::span<const std::uint8_t>) {}
bool NetworkMIDISession::sendMIDI(NetworkMIDIPeerId, std::span<const MIDIEvent>) {
    return false;
}
std::vector<NetworkMIDIPeer> NetworkMIDISession::peers() const {
    return {};
}
std::optional<NetworkMIDIPeer> NetworkMIDISession::peer(NetworkMIDIPeerId) const {
    return std::nullopt;
}

}  // namespace velorin
