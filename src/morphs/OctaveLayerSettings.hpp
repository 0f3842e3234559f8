// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>

#include "core/Observable.hpp"
#include "core/PersistedValue.hpp"
#include "core/SettingsStore.hpp"
#include "morphs/OctaveLayerKind.hpp"

namespace velorin {

// Which octave layers are enabled; shared by the Octave Layer morph and the
// window, which observes it. Persisted as four Booleans in case order. Engine thread only.
class OctaveLayerSettings final : public Observable {
public:
    static constexpr const char* kEnabledLayersKey = "octaveLayerEnabledLayers";
    static constexpr std::array<bool, 4> kDefaultEnabled = {false, false, true, false};

    // `defaults` may be null: then nothing is read or persisted. Reads the stored
    // list once; anything but exactly four Booleans gives the default.
    explicit OctaveLayerSettings(SettingsStore* defaults);

    bool isEnabled(OctaveLayerKind kind) const { return enabled_.value()[rawValue(kind)]; }
    const std::array<bool, 4>& storedEnabledByIndex() const { return enabled_.value(); }
    // Changes the layer; when it differs, writes the whole list and notifies observers.
    void setEnabled(bool isOn, OctaveLayerKind kind);
    void toggle(OctaveLayerKind kind) { setEnabled(!isEnabled(kind), kind); }

private:
    PersistedValue<std::array<bool, 4>> enabled_;
};

}  // namespace velorin
