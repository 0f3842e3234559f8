// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velorin {

// The network session as the window shows it.
struct NetworkMIDIStatusSnapshot {
    struct Peer {
        enum class State : std::uint8_t { discovered, inviting, connected };
        std::string name;     // the peer's session name (its address while unknown)
        std::string address;  // "192.0.2.7:5004"
        State state = State::discovered;
        // Half the clock-sync round trip, in milliseconds; absent before the first.
        std::optional<double> latencyMilliseconds;
        friend bool operator==(const Peer&, const Peer&) = default;
    };
    bool isEnabled = false;
    std::string sessionName;
    std::uint16_t controlPort = 5004;
    bool onlyKnownPeersMayInvite = false;
    // "Listening on UDP 5004 and 5005", "Off", or why it could not start.
    std::string status = "Off";
    // Advertising and browsing the local network works (Avahi is running).
    bool discoveryAvailable = false;
    // Connected and being invited first, then the other discovered sessions.
    std::vector<Peer> peers;
    friend bool operator==(const NetworkMIDIStatusSnapshot&, const NetworkMIDIStatusSnapshot&) = default;
};

}  // namespace velorin
