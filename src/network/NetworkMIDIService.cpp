// SPDX-License-Identifier: GPL-3.0-or-later
#include "network/NetworkMIDIService.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "network/NetworkHostAddress.hpp"

namespace velorin {
namespace {

std::string milliseconds(std::chrono::microseconds latency) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(latency.count()) / 1000.0);
    return text;
}

std::string errorText(int error) {
    return std::string(std::strerror(error)) + " (" + std::to_string(error) + ")";
}

const char* leaveText(NetworkMIDILeaveReason reason) {
    switch (reason) {
        case NetworkMIDILeaveReason::byeReceived:
            return "said goodbye";
        case NetworkMIDILeaveReason::disconnected:
            return "disconnected";
        case NetworkMIDILeaveReason::timedOut:
            return "timed out";
        case NetworkMIDILeaveReason::sessionStopped:
            return "session stopped";
        case NetworkMIDILeaveReason::replaced:
            return "replaced by a new session from the same address";
    }
    return "left";
}

}  // namespace

NetworkMIDIService::NetworkMIDIService(Dependencies deps, Sink sink)
    : deps_(std::move(deps)), sink_(std::move(sink)) {
    if (deps_.discovery != nullptr) {
        std::weak_ptr<NetworkMIDIService*> weak = lifetime_;
        deps_.discovery->onSessionsChanged = [weak] {
            if (auto alive = weak.lock()) (*alive)->discoveryChanged();
        };
    }
}

NetworkMIDIService::~NetworkMIDIService() {
    if (deps_.discovery != nullptr) deps_.discovery->onSessionsChanged = nullptr;
    // Quietly: the goodbyes belong to stop().
    session_.reset();
    control_.reset();
    data_.reset();
}

std::uint16_t NetworkMIDIService::controlPort() const {
    return control_ ? control_->localPort() : 0;
}

void NetworkMIDIService::start() {
    if (started_) return;
    started_ = true;
    saidGoodbye_.clear();
    settingsSubscription_ = deps_.settings.observe([this] { settingsChanged(); });
    if (deps_.settings.isEnabled()) open();
    std::weak_ptr<NetworkMIDIService*> weak = lifetime_;
    retryTimer_ = deps_.queue.every(kRetryInterval, [weak] {
        if (auto alive = weak.lock()) (*alive)->inviteKnownPeers();
    });
    repairLogTimer_ = deps_.queue.every(kRepairLogInterval, [weak] {
        if (auto alive = weak.lock()) (*alive)->logRepairs();
    });
    notifyObservers();
}

void NetworkMIDIService::stop() {
    if (!started_) return;
    started_ = false;
    settingsSubscription_.reset();
    retryTimer_.cancel();
    repairLogTimer_.cancel();
    close(true);
    notifyObservers();
}

void NetworkMIDIService::settingsChanged() {
    if (!started_) return;
    const bool wanted = deps_.settings.isEnabled();
    const bool changed =
        openName_ != deps_.settings.sessionName() || openPort_ != deps_.settings.controlPort();
    if (session_ && (!wanted || changed)) close(true);
    if (wanted && !session_ && (changed || status_ == "Off")) open();
    notifyObservers();
}

void NetworkMIDIService::open() {
    openName_ = deps_.settings.sessionName();
    openPort_ = deps_.settings.controlPort();
    std::weak_ptr<NetworkMIDIService*> weak = lifetime_;
    auto receiver = [weak](NetworkMIDIChannel channel) {
        return [weak, channel](std::span<const std::uint8_t> datagram, const NetworkMIDIAddress& from) {
            if (auto alive = weak.lock()) {
                if ((*alive)->session_) (*alive)->session_->receive(channel, from, datagram);
            }
        };
    };
    const std::uint16_t port = openPort_;
    auto control = deps_.sockets.open(port, receiver(NetworkMIDIChannel::control));
    if (const int* error = std::get_if<int>(&control)) {
        status_ = "Cannot listen on UDP " + std::to_string(port) + ": " + errorText(*error);
        log(status_);
        return;
    }
    auto data = deps_.sockets.open(static_cast<std::uint16_t>(port + 1), receiver(NetworkMIDIChannel::data));
    if (const int* error = std::get_if<int>(&data)) {
        status_ = "Cannot listen on UDP " + std::to_string(port + 1) + ": " + errorText(*error);
        log(status_);
        return;
    }
    control_ = std::move(std::get<std::unique_ptr<DatagramSocket>>(control));
    data_ = std::move(std::get<std::unique_ptr<DatagramSocket>>(data));
    NetworkMIDISessionConfig config = deps_.sessionConfig;
    config.name = openName_;
    session_ = std::make_unique<NetworkMIDISession>(deps_.queue, std::move(config), sessionCallbacks());
    session_->start();
    status_ = "Listening on UDP " + std::to_string(control_->localPort()) + " and " +
              std::to_string(data_->localPort());
    log("Session \"" + openName_ + "\" started: listening on UDP " + std::to_string(control_->localPort()) +
        " and " + std::to_string(data_->localPort()));
    if (deps_.discovery != nullptr) deps_.discovery->publish(openName_, control_->localPort());
    inviteKnownPeers();
}

void NetworkMIDIService::close(bool sayGoodbye) {
    if (deps_.discovery != nullptr) deps_.discovery->unpublish();
    if (session_) {
        if (sayGoodbye) session_->stop();
        session_.reset();
        log("Session \"" + openName_ + "\" stopped");
    }
    control_.reset();
    data_.reset();
    sendErrorsLogged_.clear();
    connected_.clear();
    peerByKey_.clear();
    status_ = "Off";
    rebuildEndpoints();
}

NetworkMIDISession::Callbacks NetworkMIDIService::sessionCallbacks() {
    NetworkMIDISession::Callbacks callbacks;
    // The session lives inside this service and is destroyed first: its
    // callbacks may reach the service directly.
    callbacks.send = [this](NetworkMIDIChannel channel, const NetworkMIDIAddress& to,
                            std::span<const std::uint8_t> datagram) {
        DatagramSocket* socket = channel == NetworkMIDIChannel::control ? control_.get() : data_.get();
        if (socket == nullptr) return;
        const int error = socket->sendTo(datagram, to);
        // A full buffer drops the datagram as a network would; anything else
        // (no route, a firewall) is said once per kind while the session runs.
        if (error != 0 && error != EAGAIN && sendErrorsLogged_.insert(error).second) {
            log("Cannot send to " + to.text() + ": " + errorText(error));
        }
    };
    callbacks.peerJoined = [this](const NetworkMIDIPeer& peer) {
        Connected entry;
        entry.id = peer.id;
        entry.name = peer.name.empty() ? peer.controlAddress.text() : peer.name;
        entry.address = peer.controlAddress;
        entry.latency = peer.latency;
        entry.key = std::string(kKeyPrefix) + entry.name;
        // Two sessions of one name: the later one is told apart by its address.
        if (peerByKey_.count(entry.key) > 0) entry.key += " (" + peer.controlAddress.text() + ")";
        peerByKey_[entry.key] = peer.id;
        const bool weInvited = peer.role == NetworkMIDIPeerRole::invitedByUs;
        log(entry.name + " joined from " + peer.controlAddress.text() +
            (weInvited ? " (we invited it)" : " (it invited us)"));
        if (!peer.name.empty()) deps_.settings.rememberPeer({peer.name, peer.controlAddress, weInvited});
        connected_[peer.id] = std::move(entry);
        rebuildEndpoints();
        notifyObservers();
    };
    callbacks.peerLeft = [this](const NetworkMIDIPeer& peer, NetworkMIDILeaveReason reason) {
        const auto it = connected_.find(peer.id);
        if (it == connected_.end()) return;
        log(it->second.name + " left (" + leaveText(reason) + ")");
        if (reason == NetworkMIDILeaveReason::byeReceived &&
            saidGoodbye_.size() < NetworkMIDISettings::kMaxKnownPeers) {
            saidGoodbye_.insert(it->second.name);
        }
        peerByKey_.erase(it->second.key);
        connected_.erase(it);
        rebuildEndpoints();
        notifyObservers();
    };
    callbacks.invitationFailed = [this](const NetworkMIDIAddress& address, std::string_view name,
                                        NetworkMIDIInvitationFailure failure) {
        const std::string who =
            name.empty() ? address.text() : std::string(name) + " (" + address.text() + ")";
        switch (failure) {
            case NetworkMIDIInvitationFailure::refusedByPeer:
                log("Invitation refused by " + who);
                break;
            case NetworkMIDIInvitationFailure::noAnswer:
                log("No answer to our invitation from " + who);
                break;
            case NetworkMIDIInvitationFailure::refusedByUs:
                log("Invitation from " + who + " refused: " +
                    (deps_.settings.invitationPolicy() == NetworkMIDIInvitationPolicy::onlyKnownPeers
                         ? "only peers connected before may invite"
                         : "not on a local network"));
                break;
            case NetworkMIDIInvitationFailure::tooManyPeers:
                log("Invitation from " + who + " refused: the session is full");
                break;
            case NetworkMIDIInvitationFailure::ourOwnSession:
                log("Invitation to " + who + " reached this session itself; not connected");
                break;
        }
        notifyObservers();
    };
    callbacks.latencyChanged = [this](const NetworkMIDIPeer& peer) {
        const auto it = connected_.find(peer.id);
        if (it == connected_.end() || !peer.latency) return;
        it->second.latency = peer.latency;
        log(it->second.name + " latency " + milliseconds(*peer.latency));
        rebuildEndpoints();
        notifyObservers();
    };
    callbacks.midi = [this](const NetworkMIDIPeer& peer, const MIDIEvent& event) {
        const auto it = connected_.find(peer.id);
        if (it == connected_.end() || !sink_.midiReceived) return;
        bytes_.clear();
        appendEncodedBytes(event, bytes_);
        sink_.midiReceived(it->second.key, it->second.name, bytes_);
    };
    callbacks.journalRepaired = [this](const NetworkMIDIPeer& peer, std::size_t lostPackets,
                                       std::size_t events) {
        const auto it = connected_.find(peer.id);
        if (it == connected_.end()) return;
        it->second.lostPackets += lostPackets;
        it->second.repairedEvents += events;
    };
    callbacks.acceptInvitation = [this](const NetworkMIDIInvitation& invitation) {
        return mayInvite(invitation);
    };
    callbacks.log = [this](std::string_view line) { log(std::string(line)); };
    return callbacks;
}

bool NetworkMIDIService::mayInvite(const NetworkMIDIInvitation& invitation) const {
    if (deps_.settings.invitationPolicy() == NetworkMIDIInvitationPolicy::onlyKnownPeers) {
        return deps_.settings.knownPeer(NetworkMIDISettings::cleanedName(invitation.name)) != nullptr;
    }
    return isLocalNetworkHost(invitation.from.host);
}

void NetworkMIDIService::logRepairs() {
    for (auto& [id, peer] : connected_) {
        if (peer.repairedEvents == peer.repairedEventsLogged) continue;
        log("Journal repaired " + std::to_string(peer.repairedEvents - peer.repairedEventsLogged) +
            " events from " + peer.name + " (" + std::to_string(peer.repairedEvents) + " repairs after " +
            std::to_string(peer.lostPackets) + " lost packets since it joined)");
        peer.repairedEventsLogged = peer.repairedEvents;
    }
}

void NetworkMIDIService::rebuildEndpoints() {
    MIDITransportRegistrations registrations;
    for (const auto& [id, peer] : connected_) {
        std::string detail = peer.address.text();
        if (peer.latency) detail += ", latency " + milliseconds(*peer.latency);
        MIDIEndpointPresentation presentation{peer.key, std::string(kTitlePrefix) + peer.name,
                                              std::move(detail)};
        const MIDITransportKind kind{std::string(kTransportKind)};
        registrations.inputs.push_back({presentation, MIDIInputEndpointRoute::transportOwned(kind)});
        registrations.outputs.push_back(
            {std::move(presentation), MIDIOutputEndpointRoute::transportOwned(kind)});
    }
    if (registrations == endpoints_) return;
    endpoints_ = std::move(registrations);
    if (sink_.endpointsChanged) sink_.endpointsChanged(endpoints_);
}

bool NetworkMIDIService::send(const MIDIEvent& event, std::string_view endpointKey) {
    if (!session_) return false;
    const auto it = peerByKey_.find(endpointKey);
    return it != peerByKey_.end() && session_->sendMIDI(it->second, event);
}

void NetworkMIDIService::invite(const NetworkMIDIAddress& address) {
    if (!session_) return;
    if (session_->invite(address) == 0) log("Cannot invite " + address.text() + ": the session is full");
    notifyObservers();
}

void NetworkMIDIService::inviteKnownPeers() {
    if (!session_) return;
    const auto discovered =
        deps_.discovery != nullptr ? deps_.discovery->sessions() : std::vector<DiscoveredNetworkSession>{};
    const auto peers = session_->peers();
    for (const auto& known : deps_.settings.knownPeers()) {
        if (!known.initiatedByUs || saidGoodbye_.contains(known.name)) continue;
        // Where discovery finds it now, else where it answered last.
        const auto found =
            std::find_if(discovered.begin(), discovered.end(),
                         [&](const DiscoveredNetworkSession& s) { return s.name == known.name; });
        const NetworkMIDIAddress target = found != discovered.end() ? found->address : known.address;
        const bool present = std::any_of(peers.begin(), peers.end(), [&](const NetworkMIDIPeer& peer) {
            return peer.name == known.name || peer.controlAddress == target;
        });
        if (!present) invite(target);
    }
}

void NetworkMIDIService::discoveryChanged() {
    const auto sessions = deps_.discovery->sessions();
    std::set<std::string, std::less<>> now;
    for (const auto& session : sessions) {
        if (!announced_.contains(session.name)) {
            saidGoodbye_.erase(session.name);
            log("Found \"" + session.name + "\" at " + session.address.text() + " on the local network");
        }
        now.insert(session.name);
    }
    announced_ = std::move(now);
    // A session we started that reappears is invited at once.
    inviteKnownPeers();
    notifyObservers();
}

void NetworkMIDIService::connect(std::string_view nameOrAddress) {
    if (!session_) {
        log("Not connecting to " + std::string(nameOrAddress) + ": the session is off");
        return;
    }
    if (deps_.discovery != nullptr) {
        for (const auto& session : deps_.discovery->sessions()) {
            if (session.name == nameOrAddress) {
                invite(session.address);
                return;
            }
        }
    }
    const auto address = parseNetworkHostAddress(nameOrAddress, NetworkMIDISettings::kDefaultControlPort);
    if (!address) {
        log("Cannot connect to \"" + std::string(nameOrAddress) + "\": not a host or host:port");
        return;
    }
    std::weak_ptr<NetworkMIDIService*> weak = lifetime_;
    deps_.sockets.resolve(*address, [weak, wanted = *address](DatagramSocketFactory::Resolution resolution) {
        auto alive = weak.lock();
        if (!alive) return;
        NetworkMIDIService& self = **alive;
        if (const auto* problem = std::get_if<std::string>(&resolution)) {
            self.log("Cannot connect to " + wanted.text() + ": " + *problem);
            return;
        }
        const auto& found = std::get<std::vector<NetworkMIDIAddress>>(resolution);
        if (found.empty()) {
            self.log("Cannot connect to " + wanted.text() + ": no address");
            return;
        }
        self.invite(found.front());
    });
}

void NetworkMIDIService::disconnect(std::string_view peerName) {
    if (const NetworkMIDIKnownPeer* known = deps_.settings.knownPeer(peerName);
        known && known->initiatedByUs) {
        NetworkMIDIKnownPeer updated = *known;
        updated.initiatedByUs = false;
        deps_.settings.rememberPeer(updated, true);
    }
    if (!session_) return;
    for (const auto& peer : session_->peers()) {
        const std::string shown = peer.name.empty() ? peer.controlAddress.text() : peer.name;
        if (shown == peerName) session_->disconnect(peer.id);
    }
    notifyObservers();
}

NetworkMIDIStatusSnapshot NetworkMIDIService::statusSnapshot() const {
    NetworkMIDIStatusSnapshot snapshot;
    snapshot.isEnabled = deps_.settings.isEnabled();
    snapshot.sessionName = deps_.settings.sessionName();
    snapshot.controlPort = deps_.settings.controlPort();
    snapshot.onlyKnownPeersMayInvite =
        deps_.settings.invitationPolicy() == NetworkMIDIInvitationPolicy::onlyKnownPeers;
    snapshot.status = status_;
    snapshot.discoveryAvailable = deps_.discovery != nullptr && deps_.discovery->isAvailable();
    if (session_) {
        for (const auto& peer : session_->peers()) {
            NetworkMIDIStatusSnapshot::Peer shown;
            shown.name = peer.name.empty() ? peer.controlAddress.text() : peer.name;
            shown.address = peer.controlAddress.text();
            shown.state = peer.state == NetworkMIDIPeerState::connected
                              ? NetworkMIDIStatusSnapshot::Peer::State::connected
                              : NetworkMIDIStatusSnapshot::Peer::State::inviting;
            if (peer.latency) shown.latencyMilliseconds = static_cast<double>(peer.latency->count()) / 1000.0;
            snapshot.peers.push_back(std::move(shown));
        }
    }
    if (deps_.discovery != nullptr) {
        for (const auto& session : deps_.discovery->sessions()) {
            const bool listed =
                std::any_of(snapshot.peers.begin(), snapshot.peers.end(), [&](const auto& peer) {
                    return peer.name == session.name || peer.address == session.address.text();
                });
            if (!listed) snapshot.peers.push_back({session.name, session.address.text(), {}, {}});
        }
    }
    return snapshot;
}

}  // namespace velorin
