// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <set>

#include "platform/alsa/AlsaEndpointIdentity.hpp"

namespace velorin {
namespace {

AlsaEndpointName endpoint(int client, int port, std::string clientName, std::string portName) {
    return {{client, port}, std::move(clientName), std::move(portName)};
}

std::uint32_t collidingHash(std::string_view, std::string_view, std::uint32_t) {
    return 0x1234u;
}
std::uint32_t zeroHash(std::string_view, std::string_view, std::uint32_t) {
    return 0u;
}
std::uint32_t reservedHash(std::string_view, std::string_view, std::uint32_t) {
    return 0x564C0002u;
}
std::uint32_t topHash(std::string_view, std::string_view, std::uint32_t) {
    return 0xFFFFFFFFu;
}

TEST(AlsaEndpointIdentity, IDsFollowTheNamesNotTheClientNumbers) {
    const std::vector<AlsaEndpointName> before = {endpoint(20, 0, "USB Keys", "USB Keys MIDI 1"),
                                                  endpoint(24, 0, "Synth", "Synth In")};
    // Re-plugged in the other order: new numbers, other address order.
    const std::vector<AlsaEndpointName> after = {endpoint(28, 0, "Synth", "Synth In"),
                                                 endpoint(32, 0, "USB Keys", "USB Keys MIDI 1")};
    const auto first = synthesizeAlsaUniqueIDs(before);
    const auto second = synthesizeAlsaUniqueIDs(after);
    EXPECT_EQ(first[0], second[1]);
    EXPECT_EQ(first[1], second[0]);
    EXPECT_NE(first[0], first[1]);
}

TEST(AlsaEndpointIdentity, EqualNamesAreToldApartByTheirOrder) {
    const auto alone = synthesizeAlsaUniqueIDs(std::vector{endpoint(20, 0, "USB Keys", "USB Keys MIDI 1")});
    // A second identical device: the first in address order keeps the ID.
    const auto twins = synthesizeAlsaUniqueIDs(std::vector{endpoint(20, 0, "USB Keys", "USB Keys MIDI 1"),
                                                           endpoint(24, 0, "USB Keys", "USB Keys MIDI 1")});
    EXPECT_EQ(twins[0], alone[0]);
    EXPECT_NE(twins[1], twins[0]);
    // Two ports of one client with the same name.
    const auto ports = synthesizeAlsaUniqueIDs(std::vector{
        endpoint(20, 0, "Hub", "Port"), endpoint(20, 1, "Hub", "Port"), endpoint(20, 2, "Hub", "Port")});
    EXPECT_EQ(std::set<std::int32_t>(ports.begin(), ports.end()).size(), 3u);
}

TEST(AlsaEndpointIdentity, HashValuesArePinnedBecauseRoutingIsStoredUnderThem) {
    EXPECT_EQ(alsaIdentityHash("", "", 0), 0x7F77879Du);
    EXPECT_EQ(alsaIdentityHash("Midi Through", "Midi Through Port-0", 0), 0x5B39DDEDu);
    EXPECT_EQ(alsaIdentityHash("Midi Through", "Midi Through Port-0", 1), 0x0B0D9EDCu);
    // The separator keeps names that only split differently apart.
    EXPECT_NE(alsaIdentityHash("ab", "c", 0), alsaIdentityHash("a", "bc", 0));
}

TEST(AlsaEndpointIdentity, CollisionsAreResolvedUniquelyWhateverTheAddresses) {
    const auto ids = synthesizeAlsaUniqueIDs(
        std::vector{endpoint(20, 0, "B", "b"), endpoint(21, 0, "A", "a"), endpoint(22, 0, "C", "c")},
        collidingHash);
    EXPECT_EQ(ids[1], 0x1234);  // "A" comes first in identity order
    EXPECT_EQ(ids[0], 0x1235);
    EXPECT_EQ(ids[2], 0x1236);
    const auto renumbered = synthesizeAlsaUniqueIDs(
        std::vector{endpoint(30, 0, "C", "c"), endpoint(31, 0, "B", "b"), endpoint(32, 0, "A", "a")},
        collidingHash);
    EXPECT_EQ(renumbered[0], ids[2]);
    EXPECT_EQ(renumbered[1], ids[0]);
    EXPECT_EQ(renumbered[2], ids[1]);
}

TEST(AlsaEndpointIdentity, NeverZeroNorAnIDOfTheAppsOwnPorts) {
    const std::vector three = {endpoint(20, 0, "A", "a"), endpoint(21, 0, "B", "b"),
                               endpoint(22, 0, "C", "c")};
    for (const AlsaIdentityHash hash : {zeroHash, reservedHash, topHash}) {
        const auto ids = synthesizeAlsaUniqueIDs(three, hash);
        for (const std::int32_t id : ids) {
            EXPECT_NE(id, 0);
            EXPECT_FALSE(isReservedAlsaUniqueID(id)) << id;
        }
        EXPECT_EQ(std::set<std::int32_t>(ids.begin(), ids.end()).size(), 3u);
    }
    EXPECT_EQ(synthesizeAlsaUniqueIDs(three, reservedHash)[0], 0x564C0008);
    // Probing wraps past the top of the 32-bit range and skips 0.
    EXPECT_EQ(synthesizeAlsaUniqueIDs(three, topHash)[1], 1);
}

TEST(AlsaEndpointIdentity, ReferencesRoundTripAndForeignValuesAreRejected) {
    std::set<MIDIObjectRef> seen;
    for (const int client : {0, 14, 128, 191}) {
        for (const int port : {0, 1, 8, 253}) {
            const MIDIObjectRef ref = alsaEndpointRef({client, port});
            EXPECT_NE(ref, 0u);
            EXPECT_EQ(alsaAddressFromRef(ref), (AlsaAddress{client, port}));
            EXPECT_FALSE(alsaClientFromRef(ref));
            seen.insert(ref);
        }
        EXPECT_EQ(alsaClientFromRef(alsaClientRef(client)), client);
        EXPECT_FALSE(alsaAddressFromRef(alsaClientRef(client)));
    }
    EXPECT_EQ(seen.size(), 16u);
    EXPECT_FALSE(alsaAddressFromRef(0));
    EXPECT_FALSE(alsaAddressFromRef(0x0000FF01));
    EXPECT_FALSE(alsaAddressFromRef(0x564C0003));
    // The endpoint tag alongside other high bits is no endpoint reference either.
    EXPECT_FALSE(alsaAddressFromRef(0x00030105));
    EXPECT_FALSE(alsaAddressFromRef(0x00110105));
}

}  // namespace
}  // namespace velorin
