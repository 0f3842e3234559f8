// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velorin {

// Where a datagram comes from or goes: a host as numeric text ("192.0.2.7",
// "::1", "fe80::1%eth0") or, before resolution, a name, and a UDP port.
struct NetworkAddress {
    std::string host;
    std::uint16_t port = 0;
    friend bool operator==(const NetworkAddress&, const NetworkAddress&) = default;
    friend auto operator<=>(const NetworkAddress&, const NetworkAddress&) = default;

    // "192.0.2.7:5004", "[::1]:5004".
    std::string text() const;
    // The same host, the next port (a session's data port after its control port).
    NetworkAddress nextPort() const { return {host, static_cast<std::uint16_t>(port + 1)}; }

    // Reads "host", "host:port", "[v6]:port" or a bare IPv6 address; a
    // missing port is `defaultPort`. Nothing for empty text, a bad port, or
    // text longer than a host name can be.
    static std::optional<NetworkAddress> parse(std::string_view text, std::uint16_t defaultPort);
};

}  // namespace velorin
