// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "midi/MIDIEvent.hpp"
#include "morphs/MorphAction.hpp"
#include "morphs/MorphContext.hpp"

namespace velorin {

// The morph interface. Results are appended to `out`, which the caller reuses
// so that the steady state allocates nothing.
class Morph {
public:
    virtual ~Morph() = default;
    virtual void logStartupSummary(const MorphContext& /*context*/) {}
    virtual void reset(MorphActions& /*out*/) {}
    virtual void process(const MIDIEvent& event, const MorphContext& context, MorphActions& out) = 0;
    // True when process() would answer exactly one immediate send of `event`,
    // unchanged, to "outputs", with no keys, whatever the context and input
    // group: the engine
    // then sends it so without building the action.
    virtual bool passesUnchanged(const MIDIEvent& /*event*/) const { return false; }
    virtual void startupSnapshot(const MorphContext& /*context*/, MorphActions& /*out*/) {}
};

}  // namespace velorin
