#pragma once

#include <array>

#include "core/Observable.hpp"
#include "core/SettingsStore.hpp"
#include "morphs/OctaveLayerKind.hpp"

namespace velorin {

// Which octave layers are enabled; shared by the Octave Layer morph and the
// window, which observes it. Persisted as four Booleans in case order. Main thread only.
class OctaveLayerSettings final : public Observable {
public:
    static constexpr const char* kEnabledLayersKey = "octaveLayerEnabledLayers";
    static constexpr std::array<bool, 4> kDefaultEnabled = {false, false, true, false};

    // `defaults` may be null: then nothing is read or persisted. Reads the stored
    // list once; anything but exactly four Booleans gives the default.
    explicit OctaveLayerSettings(SettingsStore* defaults);

    bool isEnabled(OctaveLayerKind kind) const { return storedEnabledByIndex_[rawValue(kind)]; }
    const std::array<bool, 4>& storedEnabledByIndex() const { return storedEnabledByIndex_; }
    // Changes the layer (notifying observers when it differs), then writes the
    // whole list whether or not it changed.
    void setEnabled(bool isOn, OctaveLayerKind kind);
    void toggle(OctaveLayerKind kind) { setEnabled(!isEnabled(kind), kind); }

private:
    SettingsStore* defaults_;
    std::array<bool, 4> storedEnabledByIndex_ = kDefaultEnabled;
};

}  // namespace velorin
