// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string_view>

#include "morphs/Morph.hpp"

namespace velorin {

// The MIDI clock's place in the routing: its inputs are the clock sources that
// may lead the Link session, its outputs the endpoints that receive clock
// locked to Link — those in "clock-outputs" also while the transport is
// stopped, those in "clock-outputs-running" only while it plays. Its groups
// are not "outputs": no morph is chained to the clock and a panic's note-offs
// do not go to clocked devices. The clock itself is the
// engine's (MIDIClockSender, MIDIClockFollower): clock bytes never become
// events, so the morph passes nothing on.
class MIDIClockMorph final : public Morph {
public:
    static constexpr std::string_view kID = "midi-clock";
    static constexpr std::string_view kTitle = "MIDI Clock";
    static constexpr std::string_view kDetail =
        "Sends MIDI clock locked to Link; a clock on an input leads the Link session.";
    static constexpr std::string_view kOutputsGroup = "clock-outputs";
    static constexpr std::string_view kOutputsTitle = "Outputs";
    static constexpr std::string_view kRunningOutputsGroup = "clock-outputs-running";
    static constexpr std::string_view kRunningOutputsTitle = "Playing-Only Outputs";

    void process(const MIDIEvent& /*event*/, const MorphContext& /*context*/,
                 MorphActions& /*out*/) override {}
};

}  // namespace velorin
