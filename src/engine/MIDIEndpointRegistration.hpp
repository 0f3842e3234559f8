// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/MIDIService.hpp"
#include "engine/AppVirtualMIDIPort.hpp"
#include "engine/MIDIEndpointInventory.hpp"
#include "usb/VLUSBDevice.hpp"

namespace velorin {

// The key of an external source or destination: "core-midi:" + its unique ID
// when one was read and is non-zero, else "core-midi-runtime:" + its reference.
std::string coreMIDIEndpointKey(std::optional<std::int32_t> uniqueID, MIDIObjectRef endpoint);

// An external source the engine's input port connects to.
struct MIDICoreMIDIInputConnection {
    std::string endpointKey;
    MIDIObjectRef endpoint = 0;
    friend bool operator==(const MIDICoreMIDIInputConnection&, const MIDICoreMIDIInputConnection&) = default;
};
// The inputs routed as operating-system sources, in inventory order.
std::vector<MIDICoreMIDIInputConnection> coreMIDIInputConnections(const MIDIEndpointInventory& inventory);

// The system scans: the app's complete port pairs first (by port number),
// then the system's sources (destinations) in its order, without the app's
// own endpoints.
std::vector<MIDIInputEndpointRegistration> systemInputRegistrations(
    MIDIService& service, const std::map<int, OwnedVirtualMIDIPair>& pairs,
    const OwnedVirtualMIDIEndpointFilter& filter);
std::vector<MIDIOutputEndpointRegistration> systemOutputRegistrations(
    MIDIService& service, const std::map<int, OwnedVirtualMIDIPair>& pairs,
    const OwnedVirtualMIDIEndpointFilter& filter);

// The USB endpoints: one pair per connected device, or the one aggregate pair.
struct MIDITransportRegistrations {
    std::vector<MIDIInputEndpointRegistration> inputs;
    std::vector<MIDIOutputEndpointRegistration> outputs;
    friend bool operator==(const MIDITransportRegistrations&, const MIDITransportRegistrations&) = default;
};
MIDITransportRegistrations transportRegistrations(const VLUSBDeviceList& devices,
                                                  bool showsIndividualDevices);

}  // namespace velorin
