// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "core/MainQueue.hpp"

namespace velorin {

// What a leader outside Link (a MIDI clock) may do to the session: set its
// tempo, start it with a beat at a moment of the queue's clock, stop it.
// Engine thread only.
class LinkTransportControl {
public:
    virtual ~LinkTransportControl() = default;
    virtual double sessionTempo() const = 0;
    virtual void leadTempo(double bpm) = 0;
    // Starts the transport with `beat` (phase-aligned to a bar of 4) at `time`.
    virtual void leadStart(double beat, MainQueue::TimePoint time) = 0;
    virtual void leadStop() = 0;
};

}  // namespace velorin
