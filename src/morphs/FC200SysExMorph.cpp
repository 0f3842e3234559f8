// SPDX-License-Identifier: GPL-3.0-or-later
#include "morphs/FC200SysExMorph.hpp"

namespace velorin {

namespace {
constexpr int kExpressionControlID = 13;
constexpr std::int64_t kFirstPedalCC = 64;
constexpr std::int64_t kExpressionCC = 77;

void sendCC(std::int64_t controller, std::int64_t value, double timestamp, MorphActions& out) {
    MorphAction& action = out.emplace_back();
    action.event = MIDIEvent::ccEvent(controller, value, FC200SysExMorph::kOutputChannel);
    action.event.timestamp = timestamp;
}
}  // namespace

FC200SysExMorph::FC200SysExMorph(std::shared_ptr<FC200Settings> settings) : settings_(std::move(settings)) {}

void FC200SysExMorph::logStartupSummary(const MorphContext& context) {
    context.logMessage(
        MessageType::morph, kTitle,
        "translating Roland FC-200 SysEx controls to channel 15 CC64+; pedals 1-10 use CC64-73, "
        "expression uses CC77; pedals 6-10 toggle when enabled and can share pedals 1-5 CCs");
}

std::uint8_t FC200SysExMorph::checksum(std::uint8_t a, std::uint8_t b, std::uint8_t c) {
    return static_cast<std::uint8_t>((128 - (a + b + c) % 128) % 128);
}

std::optional<std::pair<int, int>> FC200SysExMorph::parse(const MIDIEvent& event) {
    if (event.type != MIDIEventType::systemExclusive) return std::nullopt;
    const ByteArray& d = event.data;
    if (d.size() != 10) return std::nullopt;
    if (d[0] != 0xF0 || d[1] != 0x41 || d[3] != 0x72 || d[4] != 0x12 || d[5] != 0x00 || d[9] != 0xF7) {
        return std::nullopt;
    }
    if (d[2] >= 0x80 || d[6] >= 0x80 || d[7] >= 0x80 || d[8] >= 0x80) return std::nullopt;
    if (d[8] != checksum(d[5], d[6], d[7])) return std::nullopt;
    return std::make_pair(int{d[6]}, int{d[7]});
}

void FC200SysExMorph::setToggled(int controlID, bool on) {
    const std::uint32_t bit = 1u << controlID;
    activeToggledControlIDs_ = on ? (activeToggledControlIDs_ | bit) : (activeToggledControlIDs_ & ~bit);
    settings_->setUpperPedalLatched(controlID + 1, on);
}

void FC200SysExMorph::process(const MIDIEvent& event, const MorphContext& /*context*/, MorphActions& out) {
    const auto parsed = parse(event);
    if (!parsed) return;
    const auto [c, v] = *parsed;
    if (c == kExpressionControlID) {
        sendCC(kExpressionCC, v, event.timestamp, out);
        return;
    }
    if (c > 9) return;
    const bool toggles = settings_->togglesUpperPedals();
    const bool shares = settings_->upperPedalsShareLowerCCs();
    if (c <= 4) {
        // With sharing, the partner upper pedal's latch follows this pedal.
        if (toggles && shares) setToggled(c + 5, v > 0);
        sendCC(kFirstPedalCC + c, v, event.timestamp, out);
        return;
    }
    if (!toggles) {
        sendCC(kFirstPedalCC + c, v, event.timestamp, out);
        return;
    }
    if (v == 0) return;  // release of a latching pedal
    const bool nowOn = !isToggled(c);
    setToggled(c, nowOn);
    sendCC(kFirstPedalCC + (shares ? c - 5 : c), nowOn ? 127 : 0, event.timestamp, out);
}

void FC200SysExMorph::reset(MorphActions& out) {
    const std::uint32_t taken = activeToggledControlIDs_;
    activeToggledControlIDs_ = 0;
    settings_->clearLatchedUpperPedals();
    const bool shares = settings_->upperPedalsShareLowerCCs();
    for (int c = 5; c <= 9; ++c) {
        if ((taken >> c) & 1u) sendCC(kFirstPedalCC + (shares ? c - 5 : c), 0, 0, out);
    }
}

}  // namespace velorin
