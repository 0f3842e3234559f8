#pragma once

#include "core/Observable.hpp"
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
        : defaults_(defaults),
          _storedShowsIndividualUSBDevices(
              defaults.boolValue(kShowsIndividualUSBDevicesKey).value_or(false)) {}

    bool showsIndividualUSBDevices() const { return _storedShowsIndividualUSBDevices; }
    void setShowsIndividualUSBDevices(bool value) {
        if (value == _storedShowsIndividualUSBDevices) return;
        _storedShowsIndividualUSBDevices = value;
        defaults_.set(kShowsIndividualUSBDevicesKey, value);
        notifyObservers();
    }

private:
    SettingsStore& defaults_;
    bool _storedShowsIndividualUSBDevices;
};

}  // namespace velorin
