// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>

#include "midi/MIDIEvent.hpp"

namespace velorin {

// An event waiting for a Link beat: which morph's output group it leaves
// through, the key that cancels it, and the interval after which it sounds
// again when it repeats.
struct ScheduledMIDIEvent {
    MIDIEvent event;
    double targetBeat = 0;
    std::string morphID;
    std::string outputGroupKey;
    std::optional<std::string> cancellationKey;
    std::optional<double> repeatIntervalBeats;
    friend bool operator==(const ScheduledMIDIEvent&, const ScheduledMIDIEvent&) = default;
};

}  // namespace velorin
