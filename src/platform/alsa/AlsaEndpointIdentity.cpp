// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/alsa/AlsaEndpointIdentity.hpp"

#include <algorithm>
#include <map>
#include <tuple>
#include <unordered_set>
#include <utility>

namespace velorin {

namespace {

constexpr std::uint32_t kFnvOffsetBasis = 2166136261u;
constexpr std::uint32_t kFnvPrime = 16777619u;

std::uint32_t fnvAppend(std::uint32_t hash, std::uint8_t byte) {
    return (hash ^ byte) * kFnvPrime;
}

std::uint32_t fnvAppend(std::uint32_t hash, std::string_view text) {
    for (const char c : text) hash = fnvAppend(hash, static_cast<std::uint8_t>(c));
    return hash;
}

}  // namespace

std::optional<int> alsaFixedPortForUniqueID(std::int32_t uniqueID) {
    if (!isReservedAlsaUniqueID(uniqueID)) return std::nullopt;
    return static_cast<int>(uniqueID - kAlsaOwnUniqueIDBase);
}

bool isReservedAlsaUniqueID(std::int32_t id) {
    return id >= kAlsaOwnUniqueIDBase + kAlsaFirstFixedPort &&
           id <= kAlsaOwnUniqueIDBase + kAlsaLastFixedPort;
}

std::uint32_t alsaIdentityHash(std::string_view clientName, std::string_view portName, std::uint32_t index) {
    std::uint32_t hash = fnvAppend(kFnvOffsetBasis, clientName);
    hash = fnvAppend(hash, std::uint8_t{0});
    hash = fnvAppend(hash, portName);
    hash = fnvAppend(hash, std::uint8_t{0});
    for (int shift = 0; shift < 32; shift += 8)
        hash = fnvAppend(hash, static_cast<std::uint8_t>(index >> shift));
    return hash;
}

std::vector<std::int32_t> synthesizeAlsaUniqueIDs(std::span<const AlsaEndpointName> endpoints,
                                                  AlsaIdentityHash hash) {
    struct Identity {
        std::string_view clientName;
        std::string_view portName;
        std::uint32_t index;
        std::size_t position;
    };
    std::vector<Identity> identities;
    identities.reserve(endpoints.size());
    std::map<std::pair<std::string_view, std::string_view>, std::uint32_t> occurrences;
    for (std::size_t i = 0; i < endpoints.size(); ++i) {
        const auto& endpoint = endpoints[i];
        std::uint32_t& seen = occurrences[{endpoint.clientName, endpoint.portName}];
        identities.push_back({endpoint.clientName, endpoint.portName, seen, i});
        ++seen;
    }
    std::sort(identities.begin(), identities.end(), [](const Identity& a, const Identity& b) {
        return std::tie(a.clientName, a.portName, a.index) < std::tie(b.clientName, b.portName, b.index);
    });

    std::vector<std::int32_t> ids(endpoints.size(), 0);
    std::unordered_set<std::int32_t> taken;
    taken.reserve(endpoints.size() * 2);
    for (const Identity& identity : identities) {
        std::uint32_t candidate = hash(identity.clientName, identity.portName, identity.index);
        // Linear probing over the 32-bit ring; there are far fewer endpoints
        // than values, so it ends.
        auto unusable = [&](std::uint32_t value) {
            const auto id = static_cast<std::int32_t>(value);
            return id == 0 || isReservedAlsaUniqueID(id) || taken.contains(id);
        };
        while (unusable(candidate)) ++candidate;
        const auto id = static_cast<std::int32_t>(candidate);
        taken.insert(id);
        ids[identity.position] = id;
    }
    return ids;
}

}  // namespace velorin
