// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/SettingsStore.hpp"

namespace velorin {

// A set of endpoint (or destination) keys, and the groups of one morph.
using RoutingKeySet = std::set<std::string, std::less<>>;
using RoutingGroupMap = std::map<std::string, RoutingKeySet, std::less<>>;
using RoutingMorphMap = std::map<std::string, RoutingGroupMap, std::less<>>;

inline constexpr std::string_view kMorphDestinationPrefix = "morph:";

// Which inputs feed which input group of which morph, and where each output
// group of each morph goes: output endpoint keys, or "morph:<key>" to feed that
// morph's "inputs". No empty set or inner map is ever kept.
struct RoutingAssignmentGraph {
    RoutingMorphMap inputAssignments;   // morph key → input group key → input endpoint keys
    RoutingMorphMap outputAssignments;  // morph key → output group key → destination keys
    friend bool operator==(const RoutingAssignmentGraph&, const RoutingAssignmentGraph&) = default;
};

// Endpoints the user has switched off. Their assignments stay.
struct MIDIDeviceAvailability {
    RoutingKeySet unavailableInputEndpointKeys;
    RoutingKeySet unavailableOutputEndpointKeys;
    friend bool operator==(const MIDIDeviceAvailability&, const MIDIDeviceAvailability&) = default;
};

// One place where an input's events go.
struct RoutingInputDelivery {
    std::string morphKey;
    std::string inputGroupKey;
    friend bool operator==(const RoutingInputDelivery&, const RoutingInputDelivery&) = default;
    friend auto operator<=>(const RoutingInputDelivery&, const RoutingInputDelivery&) = default;
};

struct RoutingInputGroupDescriptor {
    std::string key;
    std::string title;
    friend bool operator==(const RoutingInputGroupDescriptor&, const RoutingInputGroupDescriptor&) = default;

    static RoutingInputGroupDescriptor inputs() { return {"inputs", "Inputs"}; }
    static RoutingInputGroupDescriptor controlInputs() { return {"control-inputs", "Control Inputs"}; }
};

struct RoutingOutputGroupDescriptor {
    std::string key;
    std::string title;
    friend bool operator==(const RoutingOutputGroupDescriptor&,
                           const RoutingOutputGroupDescriptor&) = default;

    static RoutingOutputGroupDescriptor outputs() { return {"outputs", "Outputs"}; }
    static RoutingOutputGroupDescriptor controlOutputs() { return {"control-outputs", "Control Outputs"}; }
};

struct MorphOutputDestinationPresentation {
    // One morph that a morph's "outputs" group may feed, as offered in the window.
    struct Item {
        std::string id;  // "morph:" + morphID
        std::string morphID;
        std::string title;
        std::string detail;
        bool isEnabled = false;
        friend bool operator==(const Item&, const Item&) = default;
    };
    // A listed morph, as the engine's presentation describes it.
    struct Candidate {
        std::string morphID;
        std::string title;
        std::string detail;
    };
};

// Holds the routing graph and the availability sets, loads them from the
// settings store and writes each back after every change. Engine thread only.
// The settings store must outlive the routing store.
class MIDIRoutingStore {
public:
    static constexpr std::string_view kGraphKey = "midiRoutingAssignmentGraph.v2";
    static constexpr std::string_view kAvailabilityKey = "midiDeviceAvailability.v1";

    explicit MIDIRoutingStore(SettingsStore& defaults);

    const RoutingAssignmentGraph& assignments() const { return assignments_; }
    const MIDIDeviceAvailability& availability() const { return availability_; }
    // Changes with every change of the assignments, the availability or the
    // registered morphs, so that what is derived from them can be kept.
    std::uint64_t generation() const { return generation_; }

    // Where events of `inputKey` go, sorted by morph key, then input group key.
    // Cheap: answered from an index rebuilt only when input assignments change.
    // The reference stays valid until the next change of the input assignments.
    const std::vector<RoutingInputDelivery>& deliveries(std::string_view inputKey) const;

    // Each setter returns whether the state changed; only a change is saved.
    bool setInputAssignment(bool isAssigned, std::string_view inputKey, std::string_view morphKey,
                            std::string_view inputGroupKey);
    bool setOutputAssignment(bool isAssigned, std::string_view destinationKey, std::string_view morphKey,
                             std::string_view outputGroupKey);

    // The destination keys of one output group (an empty set when absent). The
    // reference stays valid until the next change of the output assignments.
    const RoutingKeySet& outputDestinations(std::string_view morphKey, std::string_view outputGroupKey) const;

    std::vector<std::string> chainTargets(std::string_view morphKey) const;
    // The first of chainTargets without building the list (for the send path);
    // the view stays valid until the next change of the output assignments.
    std::optional<std::string_view> firstChainTarget(std::string_view morphKey) const;
    std::optional<std::string> chainSource(std::string_view morphKey) const;
    std::vector<std::string> morphsOutputting(std::string_view endpointKey) const;
    RoutingKeySet allMainOutputEndpoints() const;

    // The morphs this build registers. Chains from or to any other morph (one
    // saved by a build with more morphs) stay stored but take no part in the
    // chain rules, the send path or the choices. Until set, every morph counts.
    void setRegisteredMorphs(std::vector<std::string> morphKeys) {
        registeredMorphs_ = std::move(morphKeys);
        ++generation_;
    }
    bool isRegisteredMorph(std::string_view morphKey) const;

    bool canChain(std::string_view sourceMorphKey, std::string_view targetMorphKey) const;
    std::vector<MorphOutputDestinationPresentation::Item> destinationChoices(
        std::string_view morphKey,
        std::span<const MorphOutputDestinationPresentation::Candidate> morphs) const;

    bool isInputUnavailable(std::string_view key) const;
    bool isOutputUnavailable(std::string_view key) const;
    bool setInputAvailable(bool isAvailable, std::string_view key);
    bool setOutputAvailable(bool isAvailable, std::string_view key);

    // The stored records: decoding answers nothing for anything but the exact
    // shape; encoding answers nothing when a key cannot be written as JSON.
    static std::optional<RoutingAssignmentGraph> decodeGraph(std::span<const std::uint8_t> bytes);
    static std::optional<MIDIDeviceAvailability> decodeAvailability(std::span<const std::uint8_t> bytes);
    static std::optional<ByteArray> encodeGraph(const RoutingAssignmentGraph& graph);
    static std::optional<ByteArray> encodeAvailability(const MIDIDeviceAvailability& availability);

private:
    struct StringHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };

    void rebuildDeliveryIndex();
    void saveGraph();
    void saveAvailability();

    SettingsStore& defaults_;
    std::vector<std::string> registeredMorphs_;
    RoutingAssignmentGraph assignments_;
    MIDIDeviceAvailability availability_;
    std::uint64_t generation_ = 0;
    std::unordered_map<std::string, std::vector<RoutingInputDelivery>, StringHash, std::equal_to<>>
        deliveryIndex_;
};

}  // namespace velorin

template <>
struct std::hash<velorin::RoutingInputDelivery> {
    std::size_t operator()(const velorin::RoutingInputDelivery& d) const noexcept {
        const std::size_t h = std::hash<std::string>{}(d.morphKey);
        return h ^ (std::hash<std::string>{}(d.inputGroupKey) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
    }
};
