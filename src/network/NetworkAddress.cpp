// SPDX-License-Identifier: GPL-3.0-or-later
#include "network/NetworkAddress.hpp"

#include <algorithm>
#include <charconv>

namespace velorin {

std::string NetworkAddress::text() const {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::optional<NetworkAddress> NetworkAddress::parse(std::string_view text, std::uint16_t defaultPort) {
    constexpr std::size_t kMaxHostLength = 253;
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    if (text.empty() || text.size() > kMaxHostLength + 8) return std::nullopt;
    std::string_view host = text;
    std::string_view port;
    if (text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = text.substr(1, close - 1);
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return std::nullopt;
            port = rest.substr(1);
        }
    } else if (std::count(text.begin(), text.end(), ':') == 1) {
        const auto colon = text.find(':');
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (host.empty() || host.size() > kMaxHostLength) return std::nullopt;
    if (std::any_of(host.begin(), host.end(), [](char c) { return c == ' ' || c == '/' || c == '\0'; })) {
        return std::nullopt;
    }
    std::uint16_t number = defaultPort;
    if (!port.empty() || text.back() == ':') {
        unsigned value = 0;
        const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (error != std::errc{} || end != port.data() + port.size() || value == 0 || value > 65534) {
            return std::nullopt;
        }
        number = static_cast<std::uint16_t>(value);
    }
    return NetworkAddress{std::string(host), number};
}

}  // namespace velorin
