// SPDX-License-Identifier: GPL-3.0-or-later
// The network session's settings as stored, what a person types to reach a
// session, and which hosts count as the local network.
#include <gtest/gtest.h>

#include "core/MemorySettingsStore.hpp"
#include "network/NetworkHostAddress.hpp"
#include "network/NetworkMIDISettings.hpp"

namespace velorin {
namespace {

void storeText(SettingsStore& store, const char* key, std::string_view text) {
    store.set(key, ByteArray(text.begin(), text.end()));
}

TEST(NetworkMIDISettingsTest, ValuesPersistAndBadStoredValuesFallBackToDefaults) {
    MemorySettingsStore store;
    {
        NetworkMIDISettings settings(store, "Velorin Server on desk");
        EXPECT_FALSE(settings.isEnabled());
        EXPECT_EQ(settings.sessionName(), "Velorin Server on desk");
        EXPECT_EQ(settings.controlPort(), 5004);
        EXPECT_EQ(settings.invitationPolicy(), NetworkMIDIInvitationPolicy::anyoneOnLocalNetwork);
        settings.setEnabled(true);
        EXPECT_FALSE(settings.setSessionName(" \t "));
        EXPECT_TRUE(settings.setSessionName("Stage\x01 Left"));
        settings.setControlPort(6000);
        settings.setInvitationPolicy(NetworkMIDIInvitationPolicy::onlyKnownPeers);
        settings.rememberPeer({"iPad", {"192.168.1.9", 5004}, true});
        settings.rememberPeer({"iPad", {"192.168.1.10", 5004}, false});
    }
    NetworkMIDISettings reread(store, "unused");
    EXPECT_TRUE(reread.isEnabled());
    EXPECT_EQ(reread.sessionName(), "Stage Left");
    EXPECT_EQ(reread.controlPort(), 6000);
    EXPECT_EQ(reread.invitationPolicy(), NetworkMIDIInvitationPolicy::onlyKnownPeers);
    ASSERT_EQ(reread.knownPeers().size(), 1u);
    // A later connection by the peer keeps it among the sessions we started.
    EXPECT_EQ(reread.knownPeers()[0], (NetworkMIDIKnownPeer{"iPad", {"192.168.1.10", 5004}, true}));

    MemorySettingsStore hostile;
    hostile.set(NetworkMIDISettings::kControlPortKey, std::int64_t{70000});
    hostile.set(NetworkMIDISettings::kInvitationPolicyKey, std::int64_t{7});
    hostile.set(NetworkMIDISettings::kSessionNameKey, std::string(500, 'x'));
    storeText(
        hostile, NetworkMIDISettings::kKnownPeersKey,
        R"([{"name":"ok","host":"10.0.0.1","port":5004},{"name":"","host":"h","port":5004},)"
        R"({"name":"bad port","host":"h","port":0},{"name":7},"text",{"name":"\u00ff","host":"h","port":1}])");
    NetworkMIDISettings fallback(hostile, "Default");
    EXPECT_EQ(fallback.controlPort(), 5004);
    EXPECT_EQ(fallback.invitationPolicy(), NetworkMIDIInvitationPolicy::anyoneOnLocalNetwork);
    EXPECT_EQ(fallback.sessionName().size(), NetworkMIDISettings::kMaxSessionNameBytes);
    ASSERT_EQ(fallback.knownPeers().size(), 2u);
    EXPECT_EQ(fallback.knownPeers()[0].name, "ok");

    storeText(hostile, NetworkMIDISettings::kKnownPeersKey, "{not json");
    EXPECT_TRUE(NetworkMIDISettings(hostile, "x").knownPeers().empty());
}

TEST(NetworkMIDISettingsTest, KnownPeersAreBoundedOldestFirst) {
    MemorySettingsStore store;
    NetworkMIDISettings settings(store, "Hub");
    for (std::size_t i = 0; i < NetworkMIDISettings::kMaxKnownPeers + 5; ++i) {
        settings.rememberPeer({"peer " + std::to_string(i), {"10.0.0.1", 5004}, false});
    }
    ASSERT_EQ(settings.knownPeers().size(), NetworkMIDISettings::kMaxKnownPeers);
    EXPECT_EQ(settings.knownPeers().front().name, "peer 5");
    EXPECT_EQ(settings.knownPeer("peer 0"), nullptr);
}

TEST(NetworkHostAddressTest, ReadsWhatPeopleTypeAndRefusesTheRest) {
    using A = NetworkMIDIAddress;
    EXPECT_EQ(parseNetworkHostAddress("192.168.1.9", 5004), (A{"192.168.1.9", 5004}));
    EXPECT_EQ(parseNetworkHostAddress(" studio.local:6000 ", 5004), (A{"studio.local", 6000}));
    EXPECT_EQ(parseNetworkHostAddress("[fe80::1%eth0]:5006", 5004), (A{"fe80::1%eth0", 5006}));
    EXPECT_EQ(parseNetworkHostAddress("::1", 5004), (A{"::1", 5004}));
    EXPECT_EQ(parseNetworkHostAddress("[::1]", 5004), (A{"::1", 5004}));
    for (const char* bad :
         {"", "host:", "host:0", "host:65535", "host:12x", "[::1", "[::1]x", "a b", ":5004"}) {
        EXPECT_FALSE(parseNetworkHostAddress(bad, 5004)) << bad;
    }
    EXPECT_FALSE(parseNetworkHostAddress(std::string(300, 'a'), 5004));
}

TEST(NetworkHostAddressTest, LocalNetworksArePrivateLinkLocalAndLoopback) {
    for (const char* local :
         {"127.0.0.1", "10.1.2.3", "172.16.0.1", "172.31.255.255", "192.168.0.4", "169.254.3.3", "100.64.0.1",
          "::1", "fe80::1%eth0", "FD12::4", "::ffff:192.168.1.2"}) {
        EXPECT_TRUE(isLocalNetworkHost(local)) << local;
    }
    for (const char* remote : {"8.8.8.8", "172.32.0.1", "192.169.0.1", "2001:db8::1", "203.0.113.5", "1.2.3",
                               "10.0.0.256", "example.org", "::ffff:8.8.8.8"}) {
        EXPECT_FALSE(isLocalNetworkHost(remote)) << remote;
    }
}

}  // namespace
}  // namespace velorin
