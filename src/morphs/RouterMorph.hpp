// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string_view>

#include "morphs/Morph.hpp"

namespace velorin {

// The plain pass-through morph: every event goes unchanged, at once, to the
// "outputs" group, except the system's own device control messages, which are
// consumed. Holds no state.
class RouterMorph final : public Morph {
public:
    static constexpr std::string_view kID = "router";
    static constexpr std::string_view kTitle = "Router";
    static constexpr std::string_view kDetail = "Routes MIDI events to assigned outputs unchanged.";

    void process(const MIDIEvent& event, const MorphContext& context, MorphActions& out) override;
    bool passesUnchanged(const MIDIEvent& event) const override;
};

}  // namespace velorin
