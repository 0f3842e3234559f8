// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstddef>

#include "core/MainQueue.hpp"

namespace velorin {

// The Link session as the window shows it, published by the clock on the
// engine's thread. The beat is given as an anchor — the beat at one moment of
// the monotonic clock — so a view can light the beat at any later moment from
// the tempo alone, without asking the clock.
struct LinkStateSnapshot {
    bool active = false;
    // Zero while inactive.
    std::size_t peers = 0;
    bool playing = false;
    double tempo = 120.0;
    bool restartAtBeatZero = false;
    double anchorBeat = 0;
    MainQueue::TimePoint anchorTime{};

    bool isTransportRunning() const { return active && playing; }
    // False while peers are connected: a reset would shift their timeline.
    bool canResetTimeline() const { return peers == 0; }
    // The beat at `time`, following the tempo from the anchor (0 while inactive).
    double beatAt(MainQueue::TimePoint time) const {
        if (!active) return 0;
        return anchorBeat + std::chrono::duration<double>(time - anchorTime).count() * tempo / 60.0;
    }
    friend bool operator==(const LinkStateSnapshot&, const LinkStateSnapshot&) = default;
};

}  // namespace velorin
