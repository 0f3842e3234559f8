// SPDX-License-Identifier: GPL-3.0-or-later
#include "network/NetworkMIDIView.hpp"

#include "network/NetworkMIDIService.hpp"

namespace velorin {

NetworkMIDICommands makePostedNetworkMIDICommands(MainQueue& engineQueue, NetworkMIDIService& service) {
    std::weak_ptr<NetworkMIDIService*> weak = service.liveness();
    MainQueue* queue = &engineQueue;
    // Runs `job` on the service's thread while the service lives.
    auto post = [queue, weak](std::function<void(NetworkMIDIService&)> job) {
        queue->post([weak, job = std::move(job)] {
            if (auto alive = weak.lock()) job(**alive);
        });
    };
    return NetworkMIDICommands{
        .setEnabled = [post](bool on) { post([on](NetworkMIDIService& s) { s.setEnabled(on); }); },
        .setSessionName =
            [post](std::string name) {
                post([name = std::move(name)](NetworkMIDIService& s) { s.setSessionName(name); });
            },
        .setOnlyKnownPeersMayInvite =
            [post](bool only) {
                post([only](NetworkMIDIService& s) {
                    s.setInvitationPolicy(only ? NetworkMIDIInvitationPolicy::onlyKnownPeers
                                               : NetworkMIDIInvitationPolicy::anyoneOnLocalNetwork);
                });
            },
        .connect =
            [post](std::string target) {
                post([target = std::move(target)](NetworkMIDIService& s) { s.connect(target); });
            },
        .disconnect =
            [post](std::string name) {
                post([name = std::move(name)](NetworkMIDIService& s) { s.disconnect(name); });
            },
    };
}

Subscription publishNetworkMIDIStatus(NetworkMIDIService& service, NetworkMIDIStatusChannel& channel) {
    return publishOnChange(service, channel, [&service] { return service.statusSnapshot(); });
}

}  // namespace velorin
