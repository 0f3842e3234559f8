// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/MIDIEndpointRegistration.hpp"

#include "usb/VLUSBEndpointNames.hpp"

namespace velorin {

std::string coreMIDIEndpointKey(std::optional<std::int32_t> uniqueID, MIDIObjectRef endpoint) {
    if (uniqueID && *uniqueID != 0) return "core-midi:" + std::to_string(*uniqueID);
    return "core-midi-runtime:" + std::to_string(endpoint);
}

std::vector<MIDICoreMIDIInputConnection> coreMIDIInputConnections(const MIDIEndpointInventory& inventory) {
    std::vector<MIDICoreMIDIInputConnection> out;
    for (const auto& input : inventory.inputs()) {
        if (input.route.kind != MIDIInputEndpointRoute::Kind::coreMIDISource) continue;
        out.push_back({input.presentation.id, input.route.endpoint});
    }
    return out;
}

namespace {

struct ScannedEndpoint {
    MIDIObjectRef ref;
    std::string key;
    std::string title;
};

// The system's endpoints of one direction, without the app's own.
template <typename Count, typename Get>
std::vector<ScannedEndpoint> scan(MIDIService& service, const OwnedVirtualMIDIEndpointFilter& filter,
                                  const char* untitled, Count count, Get get) {
    std::vector<ScannedEndpoint> out;
    const std::size_t n = count();
    for (std::size_t i = 0; i < n; ++i) {
        const MIDIObjectRef ref = get(i);
        if (ref == 0 || filter.contains(ref)) continue;
        std::string name;
        std::string title = service.displayName(ref, name) == 0 ? name : untitled + std::to_string(i);
        std::int32_t id = 0;
        const bool hasID = service.uniqueID(ref, id) == 0;
        out.push_back(
            {ref, coreMIDIEndpointKey(hasID ? std::optional(id) : std::nullopt, ref), std::move(title)});
    }
    return out;
}

}  // namespace

std::vector<MIDIInputEndpointRegistration> systemInputRegistrations(
    MIDIService& service, const std::map<int, OwnedVirtualMIDIPair>& pairs,
    const OwnedVirtualMIDIEndpointFilter& filter) {
    std::vector<MIDIInputEndpointRegistration> out;
    for (const auto& [number, pair] : pairs) {
        if (!pair.isComplete()) continue;
        out.push_back(
            {{pair.descriptor.inputKey, pair.descriptor.displayName, "This app's virtual MIDI input"},
             MIDIInputEndpointRoute::coreMIDIVirtualDestination(pair.destination)});
    }
    const auto sources = scan(
        service, filter, "Source ", [&] { return service.sourceCount(); },
        [&](std::size_t i) { return service.source(i); });
    for (const auto& s : sources) {
        out.push_back(
            {{s.key, s.title, "External MIDI source"}, MIDIInputEndpointRoute::coreMIDISource(s.ref)});
    }
    return out;
}

std::vector<MIDIOutputEndpointRegistration> systemOutputRegistrations(
    MIDIService& service, const std::map<int, OwnedVirtualMIDIPair>& pairs,
    const OwnedVirtualMIDIEndpointFilter& filter) {
    std::vector<MIDIOutputEndpointRegistration> out;
    for (const auto& [number, pair] : pairs) {
        if (!pair.isComplete()) continue;
        out.push_back(
            {{pair.descriptor.outputKey, pair.descriptor.displayName, "This app's virtual MIDI output"},
             MIDIOutputEndpointRoute::coreMIDIVirtualSource(pair.source)});
    }
    const auto destinations = scan(
        service, filter, "Destination ", [&] { return service.destinationCount(); },
        [&](std::size_t i) { return service.destination(i); });
    for (const auto& d : destinations) {
        out.push_back({{d.key, d.title, "External MIDI destination"},
                       MIDIOutputEndpointRoute::coreMIDIDestination(d.ref)});
    }
    return out;
}

MIDITransportRegistrations transportRegistrations(const VLUSBDeviceList& devices,
                                                  bool showsIndividualDevices) {
    MIDITransportRegistrations out;
    for (auto& d : VLUSBEndpointDescriptions(devices, showsIndividualDevices)) {
        MIDIEndpointPresentation presentation{std::move(d.key), std::move(d.title), std::move(d.detail)};
        out.inputs.push_back(
            {presentation, MIDIInputEndpointRoute::transportOwned(MIDITransportKind::velorinUSB())});
        out.outputs.push_back({std::move(presentation),
                               MIDIOutputEndpointRoute::transportOwned(MIDITransportKind::velorinUSB())});
    }
    return out;
}

}  // namespace velorin
