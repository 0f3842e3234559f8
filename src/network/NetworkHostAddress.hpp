// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "netmidi/NetworkMIDIAddress.hpp"

namespace velorin {

// Reads what a person types to reach a session: "host", "host:port",
// "[v6]:port" or a bare IPv6 address; a missing port is `defaultPort`. The host
// may still be a name to resolve. Nothing for empty text, a bad port, or a
// host longer than a host name can be.
std::optional<NetworkMIDIAddress> parseNetworkHostAddress(std::string_view text, std::uint16_t defaultPort);

// Whether a numeric host is on a local network: loopback, private (RFC 1918,
// unique local), link-local or shared address space.
bool isLocalNetworkHost(std::string_view host);

}  // namespace velorin
