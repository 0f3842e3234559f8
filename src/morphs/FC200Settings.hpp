// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <set>
#include <vector>

#include "core/Observable.hpp"
#include "core/PersistedValue.hpp"
#include "core/SettingsStore.hpp"

namespace velorin {

// The FC-200 morph's three user options (persisted) and the upper pedals whose
// toggle is currently on (not persisted). The window edits and observes it.
// Engine thread only.
class FC200Settings final : public Observable {
public:
    static constexpr const char* kShowsMorphKey = "fc200ShowsMorph";
    static constexpr const char* kTogglesUpperPedalsKey = "fc200TogglesUpperPedals";
    static constexpr const char* kUpperPedalsShareLowerCCsKey = "fc200UpperPedalsShareLowerCCs";

    struct UpperPedalToggleState {
        int pedalNumber = 0;
        bool isOn = false;
        friend bool operator==(const UpperPedalToggleState&, const UpperPedalToggleState&) = default;
    };

    // `defaults` may be null: then nothing is read or persisted.
    explicit FC200Settings(SettingsStore* defaults);

    bool showsMorph() const { return showsMorph_.value(); }
    bool togglesUpperPedals() const { return togglesUpperPedals_.value(); }
    bool upperPedalsShareLowerCCs() const { return upperPedalsShareLowerCCs_.value(); }
    // Each setter does nothing when the value is unchanged; otherwise it
    // changes the field, writes it and notifies observers.
    void setShowsMorph(bool value);
    void setTogglesUpperPedals(bool value);
    void setUpperPedalsShareLowerCCs(bool value);

    const std::set<int>& latchedUpperPedalNumbers() const { return latched_; }
    void setUpperPedalLatched(int pedalNumber, bool isOn);
    void clearLatchedUpperPedals();
    // Pedals 6, 7, 8, 9, 10 in that order.
    std::vector<UpperPedalToggleState> upperPedalToggleStates() const;

private:
    PersistedValue<bool> showsMorph_;
    PersistedValue<bool> togglesUpperPedals_;
    PersistedValue<bool> upperPedalsShareLowerCCs_;
    std::set<int> latched_;
};

}  // namespace velorin
