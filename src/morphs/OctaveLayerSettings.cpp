#include "morphs/OctaveLayerSettings.hpp"

namespace velorin {

OctaveLayerSettings::OctaveLayerSettings(SettingsStore* defaults) : defaults_(defaults) {
    if (!defaults_) return;
    if (const auto stored = defaults_->boolListValue(kEnabledLayersKey); stored && stored->size() == 4) {
        for (std::size_t i = 0; i < 4; ++i) storedEnabledByIndex_[i] = (*stored)[i];
    }
}

void OctaveLayerSettings::setEnabled(bool isOn, OctaveLayerKind kind) {
    const std::size_t i = rawValue(kind);
    const bool changed = storedEnabledByIndex_[i] != isOn;
    storedEnabledByIndex_[i] = isOn;
    if (defaults_) {
        defaults_->set(kEnabledLayersKey,
                       std::vector<bool>(storedEnabledByIndex_.begin(), storedEnabledByIndex_.end()));
    }
    if (changed) notifyObservers();
}

}  // namespace velorin
