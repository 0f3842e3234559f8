// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "core/Observable.hpp"
#include "core/PersistedValue.hpp"
#include "core/SettingsStore.hpp"

namespace velorin {

// Whether USB devices appear as one endpoint pair each or as one aggregate pair.
class VLUSBPresentationSettings final : public Observable {
public:
    static constexpr const char* kShowsIndividualUSBDevicesKey = "vlUSBShowsIndividualUSBDevices";
    static constexpr const char* kTitle = "Show Individual USB Devices";
    static constexpr const char* kHelpText =
        "When off, routing uses one Velorin USB All input and output for every connected device.";

    explicit VLUSBPresentationSettings(SettingsStore& defaults)
        : showsIndividualUSBDevices_(&defaults, kShowsIndividualUSBDevicesKey, false) {}

    bool showsIndividualUSBDevices() const { return showsIndividualUSBDevices_.value(); }
    // When the value changed, writes it and notifies observers.
    void setShowsIndividualUSBDevices(bool value) {
        if (showsIndividualUSBDevices_.set(value)) notifyObservers();
    }

private:
    PersistedValue<bool> showsIndividualUSBDevices_;
};

}  // namespace velorin
