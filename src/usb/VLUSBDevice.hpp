// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/Observable.hpp"
#include "usb/VLUSBDeviceInfo.hpp"

namespace velorin {

enum class VLUSBDeviceConnectionState { connected, disconnected };

// A USB device as the engine sees it, keyed by its device key so that it keeps
// its MIDI endpoints across reconnects.
class VLUSBDevice final : public Observable {
public:
    VLUSBDevice(std::string key, std::uint32_t transientIdentifier, VLUSBDeviceInfo info,
                VLUSBDeviceConnectionState state)
        : id_(std::move(key)),
          _transientIdentifier(transientIdentifier),
          _info(std::move(info)),
          _connectionState(state) {}

    const std::string& id() const { return id_; }
    std::uint32_t transientIdentifier() const { return _transientIdentifier; }
    const VLUSBDeviceInfo& info() const { return _info; }
    VLUSBDeviceConnectionState connectionState() const { return _connectionState; }
    bool isConnected() const { return _connectionState == VLUSBDeviceConnectionState::connected; }

    void setTransientIdentifier(std::uint32_t value) {
        if (value == _transientIdentifier) return;
        _transientIdentifier = value;
        notifyObservers();
    }
    void setInfo(VLUSBDeviceInfo info) {
        if (info == _info) return;
        _info = std::move(info);
        notifyObservers();
    }
    void setConnectionState(VLUSBDeviceConnectionState state) {
        if (state == _connectionState) return;
        _connectionState = state;
        notifyObservers();
    }

private:
    std::string id_;
    std::uint32_t _transientIdentifier;
    VLUSBDeviceInfo _info;
    VLUSBDeviceConnectionState _connectionState;
};

using VLUSBDeviceList = std::vector<std::shared_ptr<VLUSBDevice>>;

}  // namespace velorin
