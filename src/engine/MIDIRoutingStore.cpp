// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/MIDIRoutingStore.hpp"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace velorin {

namespace {

using Json = nlohmann::json;

constexpr std::string_view kOutputsGroupKey = "outputs";

const RoutingKeySet& emptyKeySet() {
    static const RoutingKeySet empty;
    return empty;
}

const std::vector<RoutingInputDelivery>& emptyDeliveries() {
    static const std::vector<RoutingInputDelivery> empty;
    return empty;
}

const RoutingKeySet* findGroup(const RoutingMorphMap& map, std::string_view morphKey,
                               std::string_view groupKey) {
    auto morph = map.find(morphKey);
    if (morph == map.end()) return nullptr;
    auto group = morph->second.find(groupKey);
    return group == morph->second.end() ? nullptr : &group->second;
}

// Inserts or removes one key, creating or pruning the enclosing maps so that no
// empty set or inner map remains. Returns whether anything changed.
bool setMembership(RoutingMorphMap& map, bool isMember, std::string_view key, std::string_view morphKey,
                   std::string_view groupKey) {
    if (isMember) {
        auto morph = map.find(morphKey);
        if (morph == map.end()) morph = map.emplace(std::string(morphKey), RoutingGroupMap{}).first;
        auto group = morph->second.find(groupKey);
        if (group == morph->second.end())
            group = morph->second.emplace(std::string(groupKey), RoutingKeySet{}).first;
        return group->second.emplace(key).second;
    }
    auto morph = map.find(morphKey);
    if (morph == map.end()) return false;
    auto group = morph->second.find(groupKey);
    if (group == morph->second.end()) return false;
    auto member = group->second.find(key);
    if (member == group->second.end()) return false;
    group->second.erase(member);
    if (group->second.empty()) morph->second.erase(group);
    if (morph->second.empty()) map.erase(morph);
    return true;
}

bool setSetMembership(RoutingKeySet& set, bool isMember, std::string_view key) {
    if (isMember) return set.emplace(key).second;
    auto it = set.find(key);
    if (it == set.end()) return false;
    set.erase(it);
    return true;
}

// Reads an array of strings into a set; anything else fails.
bool decodeKeySet(const Json& value, RoutingKeySet& out) {
    if (!value.is_array()) return false;
    for (const Json& item : value) {
        if (!item.is_string()) return false;
        out.insert(item.get_ref<const std::string&>());
    }
    return true;
}

// Reads morph key → group key → [keys]. Empty sets and maps are dropped so that
// the loaded graph keeps the invariant of the in-memory one.
bool decodeMorphMap(const Json& value, RoutingMorphMap& out) {
    if (!value.is_object()) return false;
    for (const auto& [morphKey, groups] : value.items()) {
        if (!groups.is_object()) return false;
        RoutingGroupMap groupMap;
        for (const auto& [groupKey, keys] : groups.items()) {
            RoutingKeySet set;
            if (!decodeKeySet(keys, set)) return false;
            if (!set.empty()) groupMap.emplace(groupKey, std::move(set));
        }
        if (!groupMap.empty()) out.emplace(morphKey, std::move(groupMap));
    }
    return true;
}

Json encodeKeySet(const RoutingKeySet& set) {
    Json array = Json::array();
    for (const std::string& key : set) array.push_back(key);
    return array;
}

Json encodeMorphMap(const RoutingMorphMap& map) {
    Json object = Json::object();
    for (const auto& [morphKey, groups] : map) {
        Json groupObject = Json::object();
        for (const auto& [groupKey, keys] : groups) groupObject[groupKey] = encodeKeySet(keys);
        object[morphKey] = std::move(groupObject);
    }
    return object;
}

std::optional<Json> parseObject(std::span<const std::uint8_t> bytes) {
    Json json = Json::parse(bytes.begin(), bytes.end(), nullptr, /*allow_exceptions=*/false);
    if (!json.is_object()) return std::nullopt;  // also the "discarded" value of a parse error
    return json;
}

std::optional<ByteArray> dumpBytes(const Json& json) {
    try {
        // Strict: a key that is not valid UTF-8 makes the encode fail rather than
        // be written in a form that would not read back.
        const std::string text = json.dump(-1, ' ', false, Json::error_handler_t::strict);
        return ByteArray(text.begin(), text.end());
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

MIDIRoutingStore::MIDIRoutingStore(SettingsStore& defaults) : defaults_(defaults) {
    if (auto data = defaults_.dataValue(kGraphKey)) {
        if (auto graph = decodeGraph(*data)) assignments_ = std::move(*graph);
    }
    if (auto data = defaults_.dataValue(kAvailabilityKey)) {
        if (auto availability = decodeAvailability(*data)) availability_ = std::move(*availability);
    }
    rebuildDeliveryIndex();
}

// --- records -----------------------------------------------------------------

std::optional<RoutingAssignmentGraph> MIDIRoutingStore::decodeGraph(std::span<const std::uint8_t> bytes) {
    auto json = parseObject(bytes);
    if (!json) return std::nullopt;
    auto inputs = json->find("inputAssignments");
    auto outputs = json->find("outputAssignments");
    if (inputs == json->end() || outputs == json->end()) return std::nullopt;
    RoutingAssignmentGraph graph;
    if (!decodeMorphMap(*inputs, graph.inputAssignments)) return std::nullopt;
    if (!decodeMorphMap(*outputs, graph.outputAssignments)) return std::nullopt;
    return graph;
}

std::optional<MIDIDeviceAvailability> MIDIRoutingStore::decodeAvailability(
    std::span<const std::uint8_t> bytes) {
    auto json = parseObject(bytes);
    if (!json) return std::nullopt;
    auto inputs = json->find("unavailableInputEndpointKeys");
    auto outputs = json->find("unavailableOutputEndpointKeys");
    if (inputs == json->end() || outputs == json->end()) return std::nullopt;
    MIDIDeviceAvailability availability;
    if (!decodeKeySet(*inputs, availability.unavailableInputEndpointKeys)) return std::nullopt;
    if (!decodeKeySet(*outputs, availability.unavailableOutputEndpointKeys)) return std::nullopt;
    return availability;
}

std::optional<ByteArray> MIDIRoutingStore::encodeGraph(const RoutingAssignmentGraph& graph) {
    Json json = Json::object();
    json["inputAssignments"] = encodeMorphMap(graph.inputAssignments);
    json["outputAssignments"] = encodeMorphMap(graph.outputAssignments);
    return dumpBytes(json);
}

std::optional<ByteArray> MIDIRoutingStore::encodeAvailability(const MIDIDeviceAvailability& availability) {
    Json json = Json::object();
    json["unavailableInputEndpointKeys"] = encodeKeySet(availability.unavailableInputEndpointKeys);
    json["unavailableOutputEndpointKeys"] = encodeKeySet(availability.unavailableOutputEndpointKeys);
    return dumpBytes(json);
}

void MIDIRoutingStore::saveGraph() {
    ++generation_;
    if (auto bytes = encodeGraph(assignments_)) defaults_.set(kGraphKey, std::move(*bytes));
}

void MIDIRoutingStore::saveAvailability() {
    ++generation_;
    if (auto bytes = encodeAvailability(availability_)) defaults_.set(kAvailabilityKey, std::move(*bytes));
}

// --- inputs ------------------------------------------------------------------

void MIDIRoutingStore::rebuildDeliveryIndex() {
    deliveryIndex_.clear();
    // The maps iterate in key order, so each list comes out sorted by morph key,
    // then by input group key.
    for (const auto& [morphKey, groups] : assignments_.inputAssignments) {
        for (const auto& [groupKey, inputs] : groups) {
            for (const std::string& input : inputs) {
                deliveryIndex_[input].push_back(RoutingInputDelivery{morphKey, groupKey});
            }
        }
    }
}

const std::vector<RoutingInputDelivery>& MIDIRoutingStore::deliveries(std::string_view inputKey) const {
    auto it = deliveryIndex_.find(inputKey);
    return it == deliveryIndex_.end() ? emptyDeliveries() : it->second;
}

bool MIDIRoutingStore::setInputAssignment(bool isAssigned, std::string_view inputKey,
                                          std::string_view morphKey, std::string_view inputGroupKey) {
    if (!setMembership(assignments_.inputAssignments, isAssigned, inputKey, morphKey, inputGroupKey))
        return false;
    rebuildDeliveryIndex();
    saveGraph();
    return true;
}

// --- outputs -----------------------------------------------------------------

bool MIDIRoutingStore::setOutputAssignment(bool isAssigned, std::string_view destinationKey,
                                           std::string_view morphKey, std::string_view outputGroupKey) {
    if (!setMembership(assignments_.outputAssignments, isAssigned, destinationKey, morphKey,
                       outputGroupKey)) {
        return false;
    }
    saveGraph();
    return true;
}

const RoutingKeySet& MIDIRoutingStore::outputDestinations(std::string_view morphKey,
                                                          std::string_view outputGroupKey) const {
    const RoutingKeySet* set = findGroup(assignments_.outputAssignments, morphKey, outputGroupKey);
    return set ? *set : emptyKeySet();
}

std::optional<std::string_view> MIDIRoutingStore::firstChainTarget(std::string_view morphKey) const {
    const RoutingKeySet& outputs = outputDestinations(morphKey, kOutputsGroupKey);
    // "morph:" entries sort together, in the order of their remainders.
    for (auto it = outputs.lower_bound(kMorphDestinationPrefix); it != outputs.end(); ++it) {
        std::string_view key = *it;
        if (!key.starts_with(kMorphDestinationPrefix)) break;
        const std::string_view target = key.substr(kMorphDestinationPrefix.size());
        if (!target.empty() && isRegisteredMorph(target)) return target;
    }
    return std::nullopt;
}

bool MIDIRoutingStore::isRegisteredMorph(std::string_view morphKey) const {
    return registeredMorphs_.empty() ||
           std::find(registeredMorphs_.begin(), registeredMorphs_.end(), morphKey) != registeredMorphs_.end();
}

std::vector<std::string> MIDIRoutingStore::chainTargets(std::string_view morphKey) const {
    std::vector<std::string> targets;
    const RoutingKeySet& outputs = outputDestinations(morphKey, kOutputsGroupKey);
    for (auto it = outputs.lower_bound(kMorphDestinationPrefix); it != outputs.end(); ++it) {
        std::string_view key = *it;
        if (!key.starts_with(kMorphDestinationPrefix)) break;
        const std::string_view target = key.substr(kMorphDestinationPrefix.size());
        if (!target.empty() && isRegisteredMorph(target)) targets.emplace_back(target);
    }
    return targets;
}

std::optional<std::string> MIDIRoutingStore::chainSource(std::string_view morphKey) const {
    std::string destination(kMorphDestinationPrefix);
    destination += morphKey;
    for (const auto& [source, groups] : assignments_.outputAssignments) {
        if (!isRegisteredMorph(source)) continue;
        auto group = groups.find(kOutputsGroupKey);
        if (group != groups.end() && group->second.count(destination) > 0) return source;
    }
    return std::nullopt;
}

std::vector<std::string> MIDIRoutingStore::morphsOutputting(std::string_view endpointKey) const {
    std::vector<std::string> morphs;
    for (const auto& [morphKey, groups] : assignments_.outputAssignments) {
        auto group = groups.find(kOutputsGroupKey);
        if (group != groups.end() && group->second.count(endpointKey) > 0) morphs.push_back(morphKey);
    }
    return morphs;
}

RoutingKeySet MIDIRoutingStore::allMainOutputEndpoints() const {
    RoutingKeySet endpoints;
    for (const auto& [morphKey, groups] : assignments_.outputAssignments) {
        auto group = groups.find(kOutputsGroupKey);
        if (group == groups.end()) continue;
        for (const std::string& key : group->second) {
            if (!std::string_view(key).starts_with(kMorphDestinationPrefix)) endpoints.insert(key);
        }
    }
    return endpoints;
}

bool MIDIRoutingStore::canChain(std::string_view source, std::string_view target) const {
    if (source == target) return false;
    if (auto current = firstChainTarget(source); current && *current != target) return false;
    if (auto fedBy = chainSource(target); fedBy && *fedBy != source) return false;
    // Follow the chain from the target: reaching the source would close a cycle;
    // revisiting a morph means the stored graph already holds one.
    std::vector<std::string_view> visited{target};
    std::string_view current = target;
    while (auto next = firstChainTarget(current)) {
        if (*next == source) return false;
        if (std::find(visited.begin(), visited.end(), *next) != visited.end()) return false;
        visited.push_back(*next);
        current = *next;
    }
    return true;
}

std::vector<MorphOutputDestinationPresentation::Item> MIDIRoutingStore::destinationChoices(
    std::string_view morphKey, std::span<const MorphOutputDestinationPresentation::Candidate> morphs) const {
    std::vector<MorphOutputDestinationPresentation::Item> items;
    const RoutingKeySet& outputs = outputDestinations(morphKey, kOutputsGroupKey);
    for (const auto& candidate : morphs) {
        if (candidate.morphID == morphKey) continue;
        MorphOutputDestinationPresentation::Item item;
        item.id = std::string(kMorphDestinationPrefix) + candidate.morphID;
        item.morphID = candidate.morphID;
        item.title = candidate.title;
        item.detail = candidate.detail;
        item.isEnabled = outputs.count(item.id) > 0 || canChain(morphKey, candidate.morphID);
        items.push_back(std::move(item));
    }
    return items;
}

// --- availability ------------------------------------------------------------

bool MIDIRoutingStore::isInputUnavailable(std::string_view key) const {
    return availability_.unavailableInputEndpointKeys.count(key) > 0;
}

bool MIDIRoutingStore::isOutputUnavailable(std::string_view key) const {
    return availability_.unavailableOutputEndpointKeys.count(key) > 0;
}

bool MIDIRoutingStore::setInputAvailable(bool isAvailable, std::string_view key) {
    if (!setSetMembership(availability_.unavailableInputEndpointKeys, !isAvailable, key)) return false;
    saveAvailability();
    return true;
}

bool MIDIRoutingStore::setOutputAvailable(bool isAvailable, std::string_view key) {
    if (!setSetMembership(availability_.unavailableOutputEndpointKeys, !isAvailable, key)) return false;
    saveAvailability();
    return true;
}

}  // namespace velorin
