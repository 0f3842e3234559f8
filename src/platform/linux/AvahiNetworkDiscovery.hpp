// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>

#include "core/MainQueue.hpp"
#include "network/NetworkMIDIDiscovery.hpp"

namespace velorin {

// Discovery through the Avahi daemon, its client run on the queue's own loop
// (an AvahiPoll whose watches and timeouts are the queue's). Where the daemon
// is not running it says so once and keeps waiting for it; advertising and
// browsing start when it appears. A name taken by another session on the
// network is replaced by Avahi's next alternative.
class AvahiNetworkDiscovery final : public NetworkMIDIDiscovery {
public:
    explicit AvahiNetworkDiscovery(MainQueue& queue);
    ~AvahiNetworkDiscovery() override;
    AvahiNetworkDiscovery(const AvahiNetworkDiscovery&) = delete;
    AvahiNetworkDiscovery& operator=(const AvahiNetworkDiscovery&) = delete;

    // Connects to the daemon (after the handlers are set).
    void start();
    // Connects to the daemon the first time.
    void publish(const std::string& name, std::uint16_t controlPort) override;
    void unpublish() override;
    bool isAvailable() const override;
    std::vector<DiscoveredNetworkSession> sessions() const override;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace velorin
