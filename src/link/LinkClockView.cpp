// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/LinkClockView.hpp"

#include "link/LinkClock.hpp"

namespace velorin {

LinkCommands makePostedLinkCommands(MainQueue& clockQueue, LinkClock& clock) {
    MainQueue* queue = &clockQueue;
    LinkClock* target = &clock;
    return LinkCommands{
        .setActive = [queue,
                      target](bool active) { queue->post([target, active] { target->setActive(active); }); },
        .togglePlayback = [queue, target] { queue->post([target] { target->togglePlayback(); }); },
        .resetTimeline = [queue, target] { queue->post([target] { target->resetTimeline(); }); },
    };
}

Subscription publishLinkState(LinkClock& clock, LinkStateChannel& channel) {
    channel.publish(std::make_shared<const LinkStateSnapshot>(clock.snapshot()));
    return clock.observe(
        [&clock, &channel] { channel.publish(std::make_shared<const LinkStateSnapshot>(clock.snapshot())); });
}

}  // namespace velorin
