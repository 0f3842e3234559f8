// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "morphs/FC200Settings.hpp"
#include "morphs/Morph.hpp"

namespace velorin {

// Turns a Roland FC-200 foot controller's SysEx for its ten pedals and its
// expression pedal into control changes on MIDI channel 15: pedals 1-10 become
// CC64-73, expression CC77. Pedals 6-10 can latch (toggle) and can reuse the
// controller numbers of pedals 1-5. Passes nothing else through.
class FC200SysExMorph final : public Morph {
public:
    static constexpr std::string_view kID = "fc200-sysex";
    static constexpr std::string_view kTitle = "FC-200 SysEx";
    static constexpr std::string_view kDetail =
        "Translates Roland FC-200 SysEx pedals and expression to channel-15 CC64+.";
    static constexpr std::int64_t kOutputChannel = 14;

    explicit FC200SysExMorph(std::shared_ptr<FC200Settings> settings);

    void logStartupSummary(const MorphContext& context) override;
    void reset(MorphActions& out) override;
    void process(const MIDIEvent& event, const MorphContext& context, MorphActions& out) override;

    // (control ID, value) of a valid FC-200 data-set message, checksum included.
    static std::optional<std::pair<int, int>> parse(const MIDIEvent& event);
    static std::uint8_t checksum(std::uint8_t a, std::uint8_t b, std::uint8_t c);

private:
    bool isToggled(int controlID) const { return (activeToggledControlIDs_ >> controlID) & 1u; }
    void setToggled(int controlID, bool on);

    std::shared_ptr<FC200Settings> settings_;
    // Bit c set: control ID c (5-9) is latched on.
    std::uint32_t activeToggledControlIDs_ = 0;
};

}  // namespace velorin
