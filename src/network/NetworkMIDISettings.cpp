// SPDX-License-Identifier: GPL-3.0-or-later
#include "network/NetworkMIDISettings.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace velorin {
namespace {

bool isUsablePort(const int& port) {
    return port > 0 && port < 65535;
}
bool isKnownPolicy(const int& policy) {
    return policy == 0 || policy == 1;
}

std::vector<NetworkMIDIKnownPeer> loadPeers(const SettingsStore& store) {
    std::vector<NetworkMIDIKnownPeer> peers;
    const auto data = store.dataValue(NetworkMIDISettings::kKnownPeersKey);
    if (!data) return peers;
    const auto json = nlohmann::json::parse(data->begin(), data->end(), nullptr, false);
    if (!json.is_array()) return peers;
    for (const auto& item : json) {
        if (peers.size() >= NetworkMIDISettings::kMaxKnownPeers) break;
        if (!item.is_object()) continue;
        const auto name = item.find("name");
        const auto host = item.find("host");
        const auto port = item.find("port");
        if (name == item.end() || !name->is_string() || host == item.end() || !host->is_string() ||
            port == item.end() || !port->is_number_integer()) {
            continue;
        }
        const int portNumber = port->get<int>();
        std::string cleaned = NetworkMIDISettings::cleanedName(name->get<std::string>());
        if (cleaned.empty() || !isUsablePort(portNumber) || host->get<std::string>().size() > 253) continue;
        const auto initiated = item.find("initiated");
        peers.push_back({std::move(cleaned),
                         {host->get<std::string>(), static_cast<std::uint16_t>(portNumber)},
                         initiated != item.end() && initiated->is_boolean() && initiated->get<bool>()});
    }
    return peers;
}

}  // namespace

NetworkMIDISettings::NetworkMIDISettings(SettingsStore& store, std::string defaultSessionName)
    : store_(store),
      enabled_(&store, kEnabledKey, false),
      controlPort_(&store, kControlPortKey, kDefaultControlPort, isUsablePort),
      policy_(&store, kInvitationPolicyKey, 0, isKnownPolicy),
      knownPeers_(loadPeers(store)) {
    sessionName_ = cleanedName(store.stringValue(kSessionNameKey).value_or(""));
    if (sessionName_.empty()) sessionName_ = cleanedName(defaultSessionName);
    if (sessionName_.empty()) sessionName_ = "Velorin Server";
}

std::string NetworkMIDISettings::cleanedName(std::string_view name) {
    std::string out;
    for (const char c : name) {
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) out.push_back(c);
    }
    const auto first = out.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    out = out.substr(first, out.find_last_not_of(' ') - first + 1);
    if (out.size() > kMaxSessionNameBytes) {
        std::size_t cut = kMaxSessionNameBytes;
        // Never in the middle of a UTF-8 sequence.
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
        out.resize(cut);
    }
    return out;
}

void NetworkMIDISettings::setEnabled(bool enabled) {
    if (enabled_.set(enabled)) notifyObservers();
}

bool NetworkMIDISettings::setSessionName(std::string_view name) {
    std::string cleaned = cleanedName(name);
    if (cleaned.empty()) return false;
    if (cleaned == sessionName_) return true;
    sessionName_ = std::move(cleaned);
    store_.set(kSessionNameKey, sessionName_);
    notifyObservers();
    return true;
}

void NetworkMIDISettings::setControlPort(std::uint16_t port) {
    if (isUsablePort(port) && controlPort_.set(port)) notifyObservers();
}

void NetworkMIDISettings::setInvitationPolicy(NetworkMIDIInvitationPolicy policy) {
    if (policy_.set(static_cast<int>(policy))) notifyObservers();
}

const NetworkMIDIKnownPeer* NetworkMIDISettings::knownPeer(std::string_view name) const {
    const auto it = std::find_if(knownPeers_.begin(), knownPeers_.end(),
                                 [&](const NetworkMIDIKnownPeer& peer) { return peer.name == name; });
    return it == knownPeers_.end() ? nullptr : &*it;
}

void NetworkMIDISettings::rememberPeer(const NetworkMIDIKnownPeer& peer, bool forgetInitiated) {
    NetworkMIDIKnownPeer updated = peer;
    updated.name = cleanedName(peer.name);
    if (updated.name.empty()) return;
    const auto it =
        std::find_if(knownPeers_.begin(), knownPeers_.end(),
                     [&](const NetworkMIDIKnownPeer& known) { return known.name == updated.name; });
    if (it != knownPeers_.end()) {
        if (!forgetInitiated) updated.initiatedByUs = updated.initiatedByUs || it->initiatedByUs;
        if (*it == updated) return;
        knownPeers_.erase(it);
    }
    knownPeers_.push_back(std::move(updated));
    if (knownPeers_.size() > kMaxKnownPeers) knownPeers_.erase(knownPeers_.begin());
    storePeers();
    notifyObservers();
}

void NetworkMIDISettings::storePeers() {
    auto json = nlohmann::json::array();
    for (const auto& peer : knownPeers_) {
        json.push_back({{"name", peer.name},
                        {"host", peer.address.host},
                        {"port", peer.address.port},
                        {"initiated", peer.initiatedByUs}});
    }
    // Names come from the network: invalid UTF-8 is replaced rather than thrown on.
    const std::string text = json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    store_.set(kKnownPeersKey, ByteArray(text.begin(), text.end()));
}

}  // namespace velorin
