#include "morphs/FC200Settings.hpp"

namespace velorin {

FC200Settings::FC200Settings(SettingsStore* defaults) : defaults_(defaults) {
    if (!defaults_) return;
    showsMorph_ = defaults_->boolValue(kShowsMorphKey).value_or(false);
    togglesUpperPedals_ = defaults_->boolValue(kTogglesUpperPedalsKey).value_or(false);
    upperPedalsShareLowerCCs_ = defaults_->boolValue(kUpperPedalsShareLowerCCsKey).value_or(false);
}

void FC200Settings::store(const char* key, bool value) {
    if (defaults_) defaults_->set(key, value);
    notifyObservers();
}

void FC200Settings::setShowsMorph(bool value) {
    if (showsMorph_ == value) return;
    showsMorph_ = value;
    store(kShowsMorphKey, value);
}

void FC200Settings::setTogglesUpperPedals(bool value) {
    if (togglesUpperPedals_ == value) return;
    togglesUpperPedals_ = value;
    store(kTogglesUpperPedalsKey, value);
}

void FC200Settings::setUpperPedalsShareLowerCCs(bool value) {
    if (upperPedalsShareLowerCCs_ == value) return;
    upperPedalsShareLowerCCs_ = value;
    store(kUpperPedalsShareLowerCCsKey, value);
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
