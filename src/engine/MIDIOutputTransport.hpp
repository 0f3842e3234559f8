// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "engine/MIDIEndpointInventory.hpp"
#include "midi/MIDIEvent.hpp"

namespace velorin {

// Carries one event to one output endpoint by its route: the operating
// system's MIDI service for its destinations and the app's virtual sources, or
// a transport's handler (USB). The engine calls it on the engine thread for each
// route of a send, in inventory order. Failures are logged by the
// implementation; the answer says whether the route accepted the event.
class MIDIOutputTransport {
public:
    virtual ~MIDIOutputTransport() = default;
    virtual bool send(const MIDIOutputEndpointRegistration& output, const MIDIEvent& event) = 0;
};

}  // namespace velorin
