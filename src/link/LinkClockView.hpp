// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>

#include "core/MainQueue.hpp"
#include "core/Observable.hpp"
#include "core/SnapshotChannel.hpp"
#include "link/LinkStateSnapshot.hpp"

namespace velorin {

class LinkClock;

// The window's side of the Link clock: the snapshots it reads and the
// commands it gives. Neither holds the clock for the window to reach.
using LinkStateChannel = SnapshotChannel<LinkStateSnapshot>;

struct LinkCommands {
    std::function<void(bool active)> setActive;
    // Play or stop; activates Link first when needed.
    std::function<void()> togglePlayback;
    // Refused by the clock while peers are connected.
    std::function<void()> resetTimeline;
};

// Commands carried out on the clock's thread: each posts to `clockQueue`.
// Callable from any thread; the clock must outlive the queue's jobs.
LinkCommands makePostedLinkCommands(MainQueue& clockQueue, LinkClock& clock);

// Publishes the clock's snapshot into `channel` now and whenever the clock
// tells its observers, until the subscription ends. The clock's thread.
[[nodiscard]] Subscription publishLinkState(LinkClock& clock, LinkStateChannel& channel);

}  // namespace velorin
