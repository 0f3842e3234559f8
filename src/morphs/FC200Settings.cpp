// SPDX-License-Identifier: GPL-3.0-or-later
#include "morphs/FC200Settings.hpp"

namespace velorin {

FC200Settings::FC200Settings(SettingsStore* defaults)
    : showsMorph_(defaults, kShowsMorphKey, false),
      togglesUpperPedals_(defaults, kTogglesUpperPedalsKey, false),
      upperPedalsShareLowerCCs_(defaults, kUpperPedalsShareLowerCCsKey, false) {}

void FC200Settings::setShowsMorph(bool value) {
    if (showsMorph_.set(value)) notifyObservers();
}

void FC200Settings::setTogglesUpperPedals(bool value) {
    if (togglesUpperPedals_.set(value)) notifyObservers();
}

void FC200Settings::setUpperPedalsShareLowerCCs(bool value) {
    if (upperPedalsShareLowerCCs_.set(value)) notifyObservers();
}

void FC200Settings::setUpperPedalLatched(int pedalNumber, bool isOn) {
    const bool changed = isOn ? latched_.insert(pedalNumber).second : latched_.erase(pedalNumber) > 0;
    if (changed) notifyObservers();
}

void FC200Settings::clearLatchedUpperPedals() {
    if (latched_.empty()) return;
    latched_.clear();
    notifyObservers();
}

std::vector<FC200Settings::UpperPedalToggleState> FC200Settings::upperPedalToggleStates() const {
    std::vector<UpperPedalToggleState> states;
    for (int pedal = 6; pedal <= 10; ++pedal) states.push_back({pedal, latched_.contains(pedal)});
    return states;
}

}  // namespace velorin
