// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Observable.hpp"
#include "core/PersistedValue.hpp"
#include "core/SettingsStore.hpp"
#include "netmidi/NetworkMIDIAddress.hpp"

namespace velorin {

// Who may open a session with us by inviting.
enum class NetworkMIDIInvitationPolicy : std::uint8_t {
    // Any peer whose address is on a local network (private, link-local or loopback).
    anyoneOnLocalNetwork = 0,
    // Only peers we were connected to before (known by session name).
    onlyKnownPeers = 1,
};

// A peer we were connected to: its session name, where it answered last, and
// whether we started the session (those are invited again at start and when
// they reappear).
struct NetworkMIDIKnownPeer {
    std::string name;
    NetworkMIDIAddress address;
    bool initiatedByUs = false;
    friend bool operator==(const NetworkMIDIKnownPeer&, const NetworkMIDIKnownPeer&) = default;
};

// The network session's settings, each written when it changes. Engine thread.
class NetworkMIDISettings final : public Observable {
public:
    static constexpr const char* kEnabledKey = "networkMIDIEnabled.v1";
    static constexpr const char* kSessionNameKey = "networkMIDISessionName.v1";
    static constexpr const char* kControlPortKey = "networkMIDIControlPort.v1";
    static constexpr const char* kInvitationPolicyKey = "networkMIDIInvitationPolicy.v1";
    static constexpr const char* kKnownPeersKey = "networkMIDIKnownPeers.v1";
    static constexpr std::uint16_t kDefaultControlPort = 5004;
    static constexpr std::size_t kMaxKnownPeers = 64;
    static constexpr std::size_t kMaxSessionNameBytes = 63;

    NetworkMIDISettings(SettingsStore& store, std::string defaultSessionName);

    bool isEnabled() const { return enabled_.value(); }
    void setEnabled(bool enabled);
    const std::string& sessionName() const { return sessionName_; }
    // Trimmed and cut to kMaxSessionNameBytes (at a character boundary); an empty name is refused.
    bool setSessionName(std::string_view name);
    std::uint16_t controlPort() const { return static_cast<std::uint16_t>(controlPort_.value()); }
    void setControlPort(std::uint16_t port);
    NetworkMIDIInvitationPolicy invitationPolicy() const {
        return static_cast<NetworkMIDIInvitationPolicy>(policy_.value());
    }
    void setInvitationPolicy(NetworkMIDIInvitationPolicy policy);

    const std::vector<NetworkMIDIKnownPeer>& knownPeers() const { return knownPeers_; }
    const NetworkMIDIKnownPeer* knownPeer(std::string_view name) const;
    // Adds or updates a peer (the oldest is dropped past kMaxKnownPeers). An
    // update keeps initiatedByUs once set unless `forgetInitiated`.
    void rememberPeer(const NetworkMIDIKnownPeer& peer, bool forgetInitiated = false);

    // A session name as kept: trimmed, control characters removed, cut to the bound.
    static std::string cleanedName(std::string_view name);

private:
    void storePeers();

    SettingsStore& store_;
    PersistedValue<bool> enabled_;
    std::string sessionName_;
    PersistedValue<int> controlPort_;
    PersistedValue<int> policy_;
    std::vector<NetworkMIDIKnownPeer> knownPeers_;
};

}  // namespace velorin
