// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/MIDIService.hpp"

namespace velorin {

// A sequencer address: client number and port number.
struct AlsaAddress {
    int client = 0;
    int port = 0;

    friend bool operator==(const AlsaAddress&, const AlsaAddress&) = default;
};

// Endpoint references are 0x10000 | client << 8 | port: never 0, and distinct
// from client references, which use bit 17. (Inline: every message sent asks.)
inline constexpr MIDIObjectRef kAlsaEndpointRefTag = 0x10000;
inline constexpr MIDIObjectRef kAlsaClientRefTag = 0x20000;

inline MIDIObjectRef alsaEndpointRef(AlsaAddress address) {
    return kAlsaEndpointRefTag | (static_cast<MIDIObjectRef>(address.client & 0xFF) << 8) |
           static_cast<MIDIObjectRef>(address.port & 0xFF);
}
inline std::optional<AlsaAddress> alsaAddressFromRef(MIDIObjectRef ref) {
    if ((ref & ~MIDIObjectRef{0xFFFF}) != kAlsaEndpointRefTag) return std::nullopt;
    return AlsaAddress{static_cast<int>((ref >> 8) & 0xFF), static_cast<int>(ref & 0xFF)};
}
inline MIDIObjectRef alsaClientRef(int client) {
    return kAlsaClientRefTag | static_cast<MIDIObjectRef>(client & 0xFF);
}
inline std::optional<int> alsaClientFromRef(MIDIObjectRef ref) {
    if ((ref & ~MIDIObjectRef{0xFF}) != kAlsaClientRefTag) return std::nullopt;
    return static_cast<int>(ref & 0xFF);
}

// The app's public ports sit at fixed port numbers 2..7 of its client; their
// unique ID is this base plus the port number. Synthesized IDs of every other
// endpoint stay out of that range.
inline constexpr std::int32_t kAlsaOwnUniqueIDBase = 0x564C0000;
inline constexpr int kAlsaFirstFixedPort = 2;
inline constexpr int kAlsaLastFixedPort = 7;

// The fixed port number for an intended unique ID, if it has one.
std::optional<int> alsaFixedPortForUniqueID(std::int32_t uniqueID);
bool isReservedAlsaUniqueID(std::int32_t id);

// What identifies an endpoint across re-plugging and restarts: its client's
// name and its port's name (client numbers change, names do not).
struct AlsaEndpointName {
    AlsaAddress address;
    std::string clientName;
    std::string portName;
};

// The hash of one identity; `index` counts the earlier endpoints (in address
// order) with the same client and port names.
using AlsaIdentityHash = std::uint32_t (*)(std::string_view clientName, std::string_view portName,
                                           std::uint32_t index);

// FNV-1a (32 bit) over the client name, a zero byte, the port name, a zero
// byte and the index as four little-endian bytes. Stored routing depends on
// these values: never change the function.
std::uint32_t alsaIdentityHash(std::string_view clientName, std::string_view portName, std::uint32_t index);

// Unique IDs for endpoints given in address order, in the same order: non-zero,
// outside the reserved range, unique within the list. Identities whose hashes
// collide are resolved in identity order (names, then index), so the outcome
// does not depend on client numbers.
std::vector<std::int32_t> synthesizeAlsaUniqueIDs(std::span<const AlsaEndpointName> endpoints,
                                                  AlsaIdentityHash hash = alsaIdentityHash);

}  // namespace velorin
