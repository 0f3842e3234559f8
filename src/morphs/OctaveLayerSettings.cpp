// SPDX-License-Identifier: GPL-3.0-or-later
#include "morphs/OctaveLayerSettings.hpp"

namespace velorin {

OctaveLayerSettings::OctaveLayerSettings(SettingsStore* defaults)
    : enabled_(defaults, kEnabledLayersKey, kDefaultEnabled) {}

void OctaveLayerSettings::setEnabled(bool isOn, OctaveLayerKind kind) {
    std::array<bool, 4> enabled = enabled_.value();
    enabled[rawValue(kind)] = isOn;
    if (enabled_.set(enabled)) notifyObservers();
}

}  // namespace velorin
