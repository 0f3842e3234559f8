// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "netmidi/NetworkMIDIAddress.hpp"

namespace velorin {

// A session advertised on the local network: its name and where its control
// port answers.
struct DiscoveredNetworkSession {
    std::string name;
    NetworkMIDIAddress address;
    friend bool operator==(const DiscoveredNetworkSession&, const DiscoveredNetworkSession&) = default;
};

// Advertises our session and lists the others on the local network (the
// system's mDNS service). The thread that made it only; `onSessionsChanged`
// and `onLog` run on that thread.
class NetworkMIDIDiscovery {
public:
    static constexpr const char* kServiceType = "_apple-midi._udp";
    // Sessions kept at once; more are not listed (a hostile network cannot grow the list).
    static constexpr std::size_t kMaxSessions = 256;

    virtual ~NetworkMIDIDiscovery() = default;
    // Advertises (or re-advertises under a new name or port) our session.
    virtual void publish(const std::string& name, std::uint16_t controlPort) = 0;
    virtual void unpublish() = 0;
    // Whether the system's mDNS service answers (advertising and browsing work).
    virtual bool isAvailable() const = 0;
    // The sessions found now, ours left out, ordered by name.
    virtual std::vector<DiscoveredNetworkSession> sessions() const = 0;

    // The sessions or the availability changed.
    std::function<void()> onSessionsChanged;
    std::function<void(std::string line)> onLog;
};

}  // namespace velorin
