// SPDX-License-Identifier: GPL-3.0-or-later
#include "morphs/RouterMorph.hpp"

#include "morphs/DeviceControlMessage.hpp"

namespace velorin {

bool RouterMorph::passesUnchanged(const MIDIEvent& event) const {
    return event.type != MIDIEventType::systemExclusive || !isDeviceControlMessage(event.data);
}

void RouterMorph::process(const MIDIEvent& event, const MorphContext& /*context*/, MorphActions& out) {
    if (!passesUnchanged(event)) return;
    // Built in place: the action's strings are short enough to need no allocation.
    MorphAction& action = out.emplace_back();
    action.event = event;
}

}  // namespace velorin
