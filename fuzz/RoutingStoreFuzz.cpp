// SPDX-License-Identifier: GPL-3.0-or-later
// Loads the routing store's two records from arbitrary bytes. Byte 0 says where
// the input splits into the graph record and the availability record. A record
// that decodes must encode and decode back to itself, and a store built from it
// must answer every query without failing or looping.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "core/MemorySettingsStore.hpp"
#include "engine/MIDIRoutingStore.hpp"

using namespace velorin;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void checkNoEmpties(const RoutingMorphMap& map) {
    for (const auto& [morph, groups] : map) {
        check(!groups.empty());
        for (const auto& [group, keys] : groups) check(!keys.empty());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    const std::size_t split = rest.empty() ? 0 : (static_cast<std::size_t>(data[0]) * rest.size()) / 255;
    const auto graphBytes = rest.first(split);
    const auto availabilityBytes = rest.subspan(split);

    if (auto graph = MIDIRoutingStore::decodeGraph(graphBytes)) {
        checkNoEmpties(graph->inputAssignments);
        checkNoEmpties(graph->outputAssignments);
        if (auto encoded = MIDIRoutingStore::encodeGraph(*graph)) {
            auto again = MIDIRoutingStore::decodeGraph(*encoded);
            check(again && *again == *graph);
        }
    }
    if (auto availability = MIDIRoutingStore::decodeAvailability(availabilityBytes)) {
        if (auto encoded = MIDIRoutingStore::encodeAvailability(*availability)) {
            auto again = MIDIRoutingStore::decodeAvailability(*encoded);
            check(again && *again == *availability);
        }
    }

    MemorySettingsStore settings;
    settings.set(MIDIRoutingStore::kGraphKey, ByteArray(graphBytes.begin(), graphBytes.end()));
    settings.set(MIDIRoutingStore::kAvailabilityKey,
                 ByteArray(availabilityBytes.begin(), availabilityBytes.end()));
    MIDIRoutingStore store(settings);

    std::vector<std::string> morphs;
    for (const auto& [morph, groups] : store.assignments().outputAssignments) morphs.push_back(morph);
    for (const auto& [morph, groups] : store.assignments().inputAssignments) {
        for (const auto& [group, inputs] : groups) {
            for (const auto& input : inputs) {
                const auto& deliveries = store.deliveries(input);
                check(std::is_sorted(deliveries.begin(), deliveries.end()));
                for (const auto& d : deliveries) {
                    check(store.assignments()
                              .inputAssignments.at(d.morphKey)
                              .at(d.inputGroupKey)
                              .count(input) == 1);
                }
            }
        }
    }
    std::vector<MorphOutputDestinationPresentation::Candidate> candidates;
    for (std::size_t i = 0; i < morphs.size() && i < 16; ++i)
        candidates.push_back({morphs[i], morphs[i], ""});
    for (const auto& source : candidates) {
        store.chainTargets(source.morphID);
        store.chainSource(source.morphID);
        store.destinationChoices(source.morphID, candidates);
    }
    store.allMainOutputEndpoints();
    return 0;
}
