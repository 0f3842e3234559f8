// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <compare>
#include <cstdint>
#include <string>

namespace velorin {

// Which of a session's two sockets a datagram came in on or goes out through.
// A session listens on a control port and on the port after it for data.
enum class NetworkMIDIChannel : std::uint8_t { control, data };

// A UDP endpoint as the socket layer names it: a numeric host ("192.0.2.7",
// "::1") and a port. The protocol core only compares and copies it.
struct NetworkMIDIAddress {
    std::string host;
    std::uint16_t port = 0;

    friend bool operator==(const NetworkMIDIAddress&, const NetworkMIDIAddress&) = default;
    friend auto operator<=>(const NetworkMIDIAddress&, const NetworkMIDIAddress&) = default;

    // The same host, the port after this one (a peer's data port from its control port).
    NetworkMIDIAddress nextPort() const { return {host, static_cast<std::uint16_t>(port + 1)}; }
    // "host:port", brackets around an IPv6 host.
    std::string text() const;
};

}  // namespace velorin
