// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "core/MainQueue.hpp"
#include "core/Observable.hpp"
#include "engine/MIDIEndpointRegistration.hpp"
#include "log/LogStore.hpp"
#include "midi/MIDIEvent.hpp"
#include "netmidi/NetworkMIDISession.hpp"
#include "network/DatagramSocket.hpp"
#include "network/NetworkMIDIDiscovery.hpp"
#include "network/NetworkMIDISettings.hpp"
#include "network/NetworkMIDIStatusSnapshot.hpp"

namespace velorin {

// The hub's network MIDI session: two UDP sockets (the control port and the
// next one), the session protocol over them, the peers as endpoints of the
// inventory, discovery, and the user's settings. Each connected peer is one
// input and one output endpoint keyed "network-midi:" + its session name, so
// routing survives reconnects. Sessions we started are invited again at start,
// when a peer we lost reappears on the network, and every kRetryInterval
// while it is gone (unless it said goodbye: then only when it reappears).
// Engine thread only; observers are told when the status the window shows
// changes.
class NetworkMIDIService final : public Observable {
public:
    static constexpr std::string_view kTransportKind = "network-midi";
    static constexpr std::string_view kKeyPrefix = "network-midi:";
    static constexpr std::string_view kTitlePrefix = "Network: ";
    static constexpr MainQueue::Duration kRetryInterval = std::chrono::seconds(30);
    static constexpr MainQueue::Duration kRepairLogInterval = std::chrono::seconds(5);

    struct Dependencies {
        MainQueue& queue;
        LogStore& log;
        NetworkMIDISettings& settings;
        DatagramSocketFactory& sockets;
        // May be null: no discovery at all.
        NetworkMIDIDiscovery* discovery = nullptr;
        // The session's timing (tests shorten it); name and SSRC are set here.
        NetworkMIDISessionConfig sessionConfig = {};
    };

    // The engine's side: the endpoints of the connected peers, and MIDI from
    // one of them (its input key and title), encoded as bytes.
    struct Sink {
        std::function<void(MIDITransportRegistrations)> endpointsChanged;
        std::function<void(std::string_view inputKey, std::string_view sourceName,
                           std::span<const std::uint8_t> bytes)>
            midiReceived;
    };

    NetworkMIDIService(Dependencies deps, Sink sink);
    ~NetworkMIDIService();
    NetworkMIDIService(const NetworkMIDIService&) = delete;
    NetworkMIDIService& operator=(const NetworkMIDIService&) = delete;

    // Listens when the session is switched on (and follows the switch from
    // then on), advertises it and invites the sessions we started before.
    void start();
    // Goodbye to every peer, sockets closed, endpoints gone.
    void stop();
    bool isListening() const { return session_ != nullptr; }
    std::uint16_t controlPort() const;

    // Sends one event to the peer behind an output key; false when none is connected there.
    bool send(const MIDIEvent& event, std::string_view endpointKey);

    // --- what the window asks for -----------------------------------------------
    void setEnabled(bool enabled) { deps_.settings.setEnabled(enabled); }
    void setSessionName(std::string_view name) { deps_.settings.setSessionName(name); }
    void setInvitationPolicy(NetworkMIDIInvitationPolicy policy) {
        deps_.settings.setInvitationPolicy(policy);
    }
    // A discovered session's name, or "host[:port]" (port 5004 when left out).
    void connect(std::string_view nameOrAddress);
    // Says goodbye to a connected peer (or stops inviting it) by name; it is
    // no longer invited again by itself.
    void disconnect(std::string_view peerName);
    NetworkMIDIStatusSnapshot statusSnapshot() const;

    // The connected peers' endpoints now.
    const MIDITransportRegistrations& endpoints() const { return endpoints_; }
    // Held by jobs posted for this service (the window's commands), so none reaches it once gone.
    std::weak_ptr<NetworkMIDIService*> liveness() const { return lifetime_; }
    // For tests: the session, while listening.
    NetworkMIDISession* session() const { return session_.get(); }

private:
    struct Connected {
        NetworkMIDIPeerId id = 0;
        std::string name;
        std::string key;
        NetworkMIDIAddress address;
        std::optional<std::chrono::microseconds> latency;
        std::size_t repairedEvents = 0;
        std::size_t lostPackets = 0;
        std::size_t repairedEventsLogged = 0;
    };

    void settingsChanged();
    void open();
    void close(bool sayGoodbye);
    void invite(const NetworkMIDIAddress& address);
    void inviteKnownPeers();
    void discoveryChanged();
    void rebuildEndpoints();
    void logRepairs();
    bool mayInvite(const NetworkMIDIInvitation& invitation) const;
    NetworkMIDISession::Callbacks sessionCallbacks();
    void log(std::string line) const { deps_.log.log("[Network MIDI] " + std::move(line)); }

    Dependencies deps_;
    Sink sink_;
    bool started_ = false;
    std::unique_ptr<DatagramSocket> control_;
    std::unique_ptr<DatagramSocket> data_;
    std::unique_ptr<NetworkMIDISession> session_;
    // What the session was opened with, to notice what changed.
    std::string openName_;
    std::uint16_t openPort_ = 0;
    std::string status_ = "Off";
    std::map<NetworkMIDIPeerId, Connected> connected_;
    std::map<std::string, NetworkMIDIPeerId, std::less<>> peerByKey_;
    MIDITransportRegistrations endpoints_;
    // Discovered session names already logged (bounded by the discovery's list).
    std::set<std::string, std::less<>> announced_;
    // Sessions we started that ended theirs with a goodbye: not invited again
    // until they reappear on the network or the hub starts again.
    std::set<std::string, std::less<>> saidGoodbye_;
    // The send errors already logged while the session runs.
    std::set<int> sendErrorsLogged_;
    Subscription settingsSubscription_;
    TaskHandle retryTimer_;
    TaskHandle repairLogTimer_;
    std::shared_ptr<NetworkMIDIService*> lifetime_ = std::make_shared<NetworkMIDIService*>(this);
    ByteArray bytes_;  // reused for every event handed on
};

}  // namespace velorin
