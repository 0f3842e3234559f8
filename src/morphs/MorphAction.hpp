// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "midi/MIDIEvent.hpp"
#include "morphs/MorphGroupKeys.hpp"

namespace velorin {

// What a morph asks for: send now, schedule at a beat, and/or cancel scheduled events.
struct MorphAction {
    MIDIEvent event;
    std::optional<double> beat;
    std::optional<std::string> cancellationKey;
    std::optional<std::string> cancelsScheduledActionsWithKey;
    std::optional<double> repeatIntervalBeats;
    bool sendsEvent = true;
    std::string outputGroupKey = std::string(kOutputsGroup);

    friend bool operator==(const MorphAction&, const MorphAction&) = default;

    // An immediate send to `group` with no keys.
    static MorphAction send(MIDIEvent event, std::string_view group = kOutputsGroup) {
        MorphAction a;
        a.event = std::move(event);
        a.outputGroupKey = std::string(group);
        return a;
    }
};

using MorphActions = std::vector<MorphAction>;

}  // namespace velorin
