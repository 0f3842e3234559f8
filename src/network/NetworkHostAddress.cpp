// SPDX-License-Identifier: GPL-3.0-or-later
#include "network/NetworkHostAddress.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <string>

namespace velorin {

std::optional<NetworkMIDIAddress> parseNetworkHostAddress(std::string_view text, std::uint16_t defaultPort) {
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
    return NetworkMIDIAddress{std::string(host), number};
}

bool isLocalNetworkHost(std::string_view host) {
    std::array<unsigned, 4> octets{};
    std::string_view rest = host;
    if (rest.rfind("::ffff:", 0) == 0) rest.remove_prefix(7);
    bool isV4 = true;
    for (std::size_t i = 0; i < 4 && isV4; ++i) {
        const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), octets[i]);
        isV4 = error == std::errc{} && octets[i] < 256;
        rest.remove_prefix(static_cast<std::size_t>(end - rest.data()));
        if (i < 3) {
            isV4 = isV4 && !rest.empty() && rest.front() == '.';
            if (isV4) rest.remove_prefix(1);
        }
    }
    if (isV4 && rest.empty()) {
        const unsigned a = octets[0];
        const unsigned b = octets[1];
        return a == 127 || a == 10 || (a == 172 && b >= 16 && b < 32) || (a == 192 && b == 168) ||
               (a == 169 && b == 254) || (a == 100 && b >= 64 && b < 128);
    }
    if (host.find(':') == std::string_view::npos) return false;
    std::string lower;
    for (const char c : host.substr(0, 5))
        lower.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
    if (host == "::1") return true;
    if (lower.size() >= 2 && (lower.rfind("fc", 0) == 0 || lower.rfind("fd", 0) == 0)) return true;
    return lower.rfind("fe8", 0) == 0 || lower.rfind("fe9", 0) == 0 || lower.rfind("fea", 0) == 0 ||
           lower.rfind("feb", 0) == 0;
}

}  // namespace velorin
