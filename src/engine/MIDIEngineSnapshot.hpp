// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/MIDIRoutingStore.hpp"
#include "engine/MorphRegistry.hpp"
#include "morphs/LinkLooperStateStore.hpp"
#include "morphs/OctaveLayerKind.hpp"

namespace velorin {

// An endpoint as the window lists it.
struct MIDIRoutingEndpoint {
    std::string id;
    std::string title;
    std::string detail;
    friend bool operator==(const MIDIRoutingEndpoint&, const MIDIRoutingEndpoint&) = default;
};
using MIDIInputRoutingEndpoint = MIDIRoutingEndpoint;
using MIDIOutputRoutingEndpoint = MIDIRoutingEndpoint;

// Everything of the engine the window shows, as one immutable value taken on
// the engine's thread: the morphs and their routing, the endpoint lists, the
// morph options and states, and the presented morph panel. The window reads
// only this; it never reaches into the engine.
struct MIDIEngineSnapshot {
    bool isStarted = false;
    // The morphs the window lists, in its order (FC-200 only while shown).
    std::vector<MorphPresentationMetadata> morphs;
    // The endpoints the routing section offers (available ones only).
    std::vector<MIDIInputRoutingEndpoint> routingInputs;
    std::vector<MIDIOutputRoutingEndpoint> routingOutputs;
    // The system's endpoints, available or not, as the settings sheet lists them.
    std::vector<MIDIInputRoutingEndpoint> externalInputs;
    std::vector<MIDIOutputRoutingEndpoint> externalOutputs;
    RoutingAssignmentGraph assignments;
    MIDIDeviceAvailability availability;
    // Per listed morph: the other morphs its "outputs" group may feed.
    std::map<std::string, std::vector<MorphOutputDestinationPresentation::Item>, std::less<>>
        destinationChoices;
    std::optional<MorphUIRoute> presentedMorphUI;

    bool additionalPortsActive = false;
    bool showsIndividualUSBDevices = false;

    bool showsFC200Morph = false;
    bool fc200TogglesUpperPedals = false;
    bool fc200UpperPedalsShareLowerCCs = false;
    // Pedals 6 to 10.
    std::array<bool, 5> fc200UpperPedalsOn{};
    // By OctaveLayerKind.
    std::array<bool, 4> octaveLayersEnabled{};
    int loopLengthBeats = 0;
    std::vector<LooperState> loopers;

    friend bool operator==(const MIDIEngineSnapshot&, const MIDIEngineSnapshot&) = default;

    bool isInputAssigned(std::string_view morphKey, std::string_view groupKey,
                         std::string_view inputKey) const {
        const RoutingKeySet* keys = find(assignments.inputAssignments, morphKey, groupKey);
        return keys != nullptr && keys->contains(inputKey);
    }
    bool isOutputAssigned(std::string_view morphKey, std::string_view groupKey,
                          std::string_view destinationKey) const {
        const RoutingKeySet* keys = find(assignments.outputAssignments, morphKey, groupKey);
        return keys != nullptr && keys->contains(destinationKey);
    }
    const std::vector<MorphOutputDestinationPresentation::Item>& destinationChoicesOf(
        std::string_view morphKey) const {
        static const std::vector<MorphOutputDestinationPresentation::Item> none;
        const auto found = destinationChoices.find(morphKey);
        return found == destinationChoices.end() ? none : found->second;
    }

private:
    static const RoutingKeySet* find(const RoutingMorphMap& map, std::string_view morph,
                                     std::string_view group) {
        const auto m = map.find(morph);
        if (m == map.end()) return nullptr;
        const auto g = m->second.find(group);
        return g == m->second.end() ? nullptr : &g->second;
    }
};

}  // namespace velorin
