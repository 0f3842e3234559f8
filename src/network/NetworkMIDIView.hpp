// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "core/MainQueue.hpp"
#include "core/SnapshotChannel.hpp"
#include "network/NetworkMIDIStatusSnapshot.hpp"

namespace velorin {

class NetworkMIDIService;

// What the window reads of the network session (published on the engine's thread).
using NetworkMIDIStatusChannel = SnapshotChannel<NetworkMIDIStatusSnapshot>;

// What the window asks of the network session. Each posts to the engine's
// queue and does nothing once the service is gone; any thread.
struct NetworkMIDICommands {
    std::function<void(bool)> setEnabled;
    std::function<void(std::string)> setSessionName;
    std::function<void(bool)> setOnlyKnownPeersMayInvite;
    // A discovered session's name or "host[:port]".
    std::function<void(std::string)> connect;
    std::function<void(std::string)> disconnect;
};

// Commands posted to `engineQueue` for `service`, which lives on that queue's thread.
NetworkMIDICommands makePostedNetworkMIDICommands(MainQueue& engineQueue, NetworkMIDIService& service);

// Publishes the service's status into `channel` now and at every change, on
// the service's thread, until the subscription ends.
[[nodiscard]] Subscription publishNetworkMIDIStatus(NetworkMIDIService& service,
                                                    NetworkMIDIStatusChannel& channel);

}  // namespace velorin
