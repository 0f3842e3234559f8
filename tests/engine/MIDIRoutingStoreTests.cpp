// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "core/MemorySettingsStore.hpp"
#include "engine/MIDIRoutingStore.hpp"

using namespace velorin;

namespace {

ByteArray bytesOf(std::string_view text) {
    return ByteArray(text.begin(), text.end());
}

nlohmann::json storedJson(const MemorySettingsStore& settings, std::string_view key) {
    auto data = settings.dataValue(key);
    EXPECT_TRUE(data);
    if (!data) return {};
    return nlohmann::json::parse(data->begin(), data->end());
}

// True when no object or array anywhere in `json` is empty.
bool hasNoEmptyContainers(const nlohmann::json& json) {
    if (json.is_object() || json.is_array()) {
        if (json.empty()) return false;
        for (const auto& child : json) {
            if (!hasNoEmptyContainers(child)) return false;
        }
    }
    return true;
}

}  // namespace

TEST(MIDIRoutingStore, FreshSettingsGiveNoRoutes) {
    MemorySettingsStore settings;
    MIDIRoutingStore store(settings);
    EXPECT_TRUE(store.deliveries("a").empty());
    EXPECT_TRUE(store.outputDestinations("router", "outputs").empty());
    EXPECT_TRUE(store.allMainOutputEndpoints().empty());
    EXPECT_EQ(settings.writeCount(), 0);  // nothing written back at load
}

TEST(MIDIRoutingStore, DeliveriesAreSortedByMorphThenGroup) {
    MemorySettingsStore settings;
    MIDIRoutingStore store(settings);
    store.setInputAssignment(true, "a", "router", "inputs");
    store.setInputAssignment(true, "a", "octave-layer", "inputs");
    store.setInputAssignment(true, "a", "link-looper", "inputs");
    store.setInputAssignment(true, "a", "link-looper", "control-inputs");
    store.setInputAssignment(true, "b", "router", "inputs");
    EXPECT_EQ(store.deliveries("a"), (std::vector<RoutingInputDelivery>{{"link-looper", "control-inputs"},
                                                                        {"link-looper", "inputs"},
                                                                        {"octave-layer", "inputs"},
                                                                        {"router", "inputs"}}));
    store.setInputAssignment(false, "a", "link-looper", "control-inputs");
    EXPECT_EQ(store.deliveries("a").size(), 3u);
    EXPECT_EQ(store.deliveries("b"), (std::vector<RoutingInputDelivery>{{"router", "inputs"}}));
}

// A chain saved by a build with the looper, loaded by one without it: it stays
// stored (the looper's build finds it again) but neither feeds nor blocks.
TEST(MIDIRoutingStore, ChainsToAMorphThisBuildLacksStayStoredButTakeNoPart) {
    MemorySettingsStore settings;
    {
        MIDIRoutingStore beta(settings);
        ASSERT_TRUE(beta.setOutputAssignment(true, "morph:link-looper", "router", "outputs"));
        ASSERT_TRUE(beta.setOutputAssignment(true, "morph:router", "link-looper", "outputs"));
    }
    MIDIRoutingStore production(settings);
    production.setRegisteredMorphs({"router", "octave-layer", "fc200-sysex"});
    EXPECT_EQ(production.firstChainTarget("router"), std::nullopt);
    EXPECT_EQ(production.chainSource("router"), std::nullopt);
    EXPECT_TRUE(production.canChain("router", "octave-layer"));
    EXPECT_TRUE(production.canChain("octave-layer", "router"));
    EXPECT_EQ(production.outputDestinations("router", "outputs").count("morph:link-looper"), 1u);

    MIDIRoutingStore betaAgain(settings);
    betaAgain.setRegisteredMorphs({"router", "octave-layer", "link-looper", "fc200-sysex"});
    EXPECT_EQ(betaAgain.firstChainTarget("router"), "link-looper");
    EXPECT_FALSE(betaAgain.canChain("router", "octave-layer"));
}

TEST(MIDIRoutingStorePersistence, GraphAndAvailabilityRoundTripThroughSettings) {
    MemorySettingsStore settings;
    {
        MIDIRoutingStore store(settings);
        store.setInputAssignment(true, "in-1", "router", "inputs");
        store.setInputAssignment(true, "in-2", "link-looper", "control-inputs");
        store.setOutputAssignment(true, "out-1", "router", "outputs");
        store.setOutputAssignment(true, "morph:octave-layer", "router", "outputs");
        store.setOutputAssignment(true, "out-2", "link-looper", "control-outputs");
        store.setInputAvailable(false, "in-2");
        store.setOutputAvailable(false, "out-9");
    }
    MIDIRoutingStore reloaded(settings);
    EXPECT_EQ(reloaded.deliveries("in-2"),
              (std::vector<RoutingInputDelivery>{{"link-looper", "control-inputs"}}));
    EXPECT_EQ(reloaded.outputDestinations("router", "outputs"),
              (RoutingKeySet{"morph:octave-layer", "out-1"}));
    EXPECT_TRUE(reloaded.isInputUnavailable("in-2"));
    EXPECT_TRUE(reloaded.isOutputUnavailable("out-9"));
    EXPECT_FALSE(reloaded.isOutputUnavailable("out-1"));

    auto graph = storedJson(settings, MIDIRoutingStore::kGraphKey);
    EXPECT_EQ(graph["inputAssignments"]["router"]["inputs"], nlohmann::json::array({"in-1"}));
    auto availability = storedJson(settings, MIDIRoutingStore::kAvailabilityKey);
    EXPECT_EQ(availability["unavailableOutputEndpointKeys"], nlohmann::json::array({"out-9"}));
}

TEST(MIDIRoutingStorePersistence, RemovingTheLastMemberPrunesGroupAndMorph) {
    MemorySettingsStore settings;
    MIDIRoutingStore store(settings);
    store.setInputAssignment(true, "a", "router", "inputs");
    store.setInputAssignment(true, "b", "octave-layer", "inputs");
    store.setOutputAssignment(true, "x", "router", "outputs");
    store.setOutputAssignment(true, "y", "router", "control-outputs");
    store.setInputAssignment(false, "a", "router", "inputs");
    store.setOutputAssignment(false, "y", "router", "control-outputs");
    EXPECT_EQ(store.assignments().inputAssignments.count("router"), 0u);
    EXPECT_EQ(store.assignments().outputAssignments.at("router").count("control-outputs"), 0u);
    EXPECT_TRUE(hasNoEmptyContainers(storedJson(settings, MIDIRoutingStore::kGraphKey)));

    store.setInputAssignment(false, "b", "octave-layer", "inputs");
    store.setOutputAssignment(false, "x", "router", "outputs");
    EXPECT_EQ(store.assignments(), RoutingAssignmentGraph{});
    auto json = storedJson(settings, MIDIRoutingStore::kGraphKey);
    EXPECT_EQ(json, nlohmann::json::parse(R"({"inputAssignments":{},"outputAssignments":{}})"));
}

TEST(MIDIRoutingStorePersistence, UnchangedStateWritesNothing) {
    MemorySettingsStore settings;
    MIDIRoutingStore store(settings);
    EXPECT_TRUE(store.setInputAssignment(true, "a", "router", "inputs"));
    EXPECT_TRUE(store.setInputAvailable(false, "a"));
    const int writes = settings.writeCount();
    EXPECT_FALSE(store.setInputAssignment(true, "a", "router", "inputs"));
    EXPECT_FALSE(store.setInputAssignment(false, "zzz", "router", "inputs"));
    EXPECT_FALSE(store.setOutputAssignment(false, "zzz", "nobody", "outputs"));
    EXPECT_FALSE(store.setInputAvailable(false, "a"));
    EXPECT_FALSE(store.setOutputAvailable(true, "never-off"));
    EXPECT_EQ(settings.writeCount(), writes);
}

TEST(MIDIRoutingStorePersistence, AKeyThatCannotBeEncodedSkipsTheWriteButStaysInMemory) {
    MemorySettingsStore settings;
    MIDIRoutingStore store(settings);
    store.setInputAssignment(true, "good", "router", "inputs");
    const auto before = settings.dataValue(MIDIRoutingStore::kGraphKey);
    const std::string invalidUTF8("bad\xff\xfe", 5);
    EXPECT_TRUE(store.setInputAssignment(true, invalidUTF8, "router", "inputs"));
    EXPECT_EQ(settings.dataValue(MIDIRoutingStore::kGraphKey), before);
    EXPECT_EQ(store.deliveries(invalidUTF8).size(), 1u);
}

TEST(MIDIRoutingStoreLoading, CorruptOrMisshapenDataYieldsDefaults) {
    const char* graphs[] = {
        "",
        "not json",
        "[]",
        "{\"inputAssignments\":{}}",  // outputAssignments missing: both lost
        "{\"inputAssignments\":{\"router\":{\"inputs\":[\"a\"]}}}",
        "{\"inputAssignments\":{\"router\":{\"inputs\":[\"a\"]}},\"outputAssignments\":[]}",
        "{\"inputAssignments\":{\"router\":{\"inputs\":[\"a\", 5]}},\"outputAssignments\":{}}",
        "{\"inputAssignments\":{\"router\":{\"inputs\":\"a\"}},\"outputAssignments\":{}}",
        "{\"inputAssignments\":{\"router\":[\"a\"]},\"outputAssignments\":{}}",
        "{\"inputAssignments\":{\"router\":{\"inputs\":[\"a\"]}},\"outputAssignments\":{}",
        "{\"inputAssignments\":{\"router\":{\"inputs\":[\"a\"]}},\"outputAssignments\":{}}garbage",
    };
    for (const char* text : graphs) {
        MemorySettingsStore settings;
        settings.set(MIDIRoutingStore::kGraphKey, bytesOf(text));
        settings.set(MIDIRoutingStore::kAvailabilityKey, bytesOf(text));
        MIDIRoutingStore store(settings);
        EXPECT_EQ(store.assignments(), RoutingAssignmentGraph{}) << text;
        EXPECT_EQ(store.availability(), MIDIDeviceAvailability{}) << text;
        EXPECT_TRUE(store.deliveries("a").empty()) << text;
    }
}

TEST(MIDIRoutingStoreLoading, ValueOfAnotherTypeYieldsDefaults) {
    MemorySettingsStore settings;
    settings.set(MIDIRoutingStore::kGraphKey,
                 std::string(R"({"inputAssignments":{"router":{"inputs":["a"]}},"outputAssignments":{}})"));
    MIDIRoutingStore store(settings);
    EXPECT_TRUE(store.deliveries("a").empty());
}

TEST(MIDIRoutingStoreLoading, ExtraMembersIgnoredDuplicatesCollapseEmptiesDropped) {
    MemorySettingsStore settings;
    settings.set(
        MIDIRoutingStore::kGraphKey,
        bytesOf(R"({"version":9,"inputAssignments":{"router":{"inputs":["a","a","b"],"control-inputs":[]},
                             "octave-layer":{}},"outputAssignments":{}})"));
    settings.set(
        MIDIRoutingStore::kAvailabilityKey,
        bytesOf(R"({"unavailableInputEndpointKeys":["x","x"],"unavailableOutputEndpointKeys":[],"z":1})"));
    MIDIRoutingStore store(settings);
    RoutingAssignmentGraph expected;
    expected.inputAssignments["router"]["inputs"] = {"a", "b"};
    EXPECT_EQ(store.assignments(), expected);
    EXPECT_EQ(store.availability().unavailableInputEndpointKeys, (RoutingKeySet{"x"}));
}

TEST(MIDIRoutingStoreAvailability, UnavailableEndpointKeepsItsAssignments) {
    MemorySettingsStore settings;
    MIDIRoutingStore store(settings);
    store.setInputAssignment(true, "in", "router", "inputs");
    store.setOutputAssignment(true, "out", "router", "outputs");
    const RoutingAssignmentGraph before = store.assignments();
    store.setInputAvailable(false, "in");
    store.setOutputAvailable(false, "out");
    EXPECT_TRUE(store.isInputUnavailable("in"));
    EXPECT_TRUE(store.isOutputUnavailable("out"));
    EXPECT_EQ(store.assignments(), before);
    store.setInputAvailable(true, "in");
    store.setOutputAvailable(true, "out");
    EXPECT_FALSE(store.isInputUnavailable("in"));
    EXPECT_FALSE(store.isOutputUnavailable("out"));
    EXPECT_EQ(store.assignments(), before);
    EXPECT_EQ(store.deliveries("in").size(), 1u);
}

TEST(MIDIRoutingStoreQueries, ChainTargetsSourcesAndMainOutputs) {
    MemorySettingsStore settings;
    MIDIRoutingStore store(settings);
    store.setOutputAssignment(true, "morph:link-looper", "router", "outputs");
    store.setOutputAssignment(true, "morph:", "router", "outputs");
    store.setOutputAssignment(true, "morph:fc200-sysex", "router", "outputs");
    store.setOutputAssignment(true, "out-a", "router", "outputs");
    store.setOutputAssignment(true, "out-a", "octave-layer", "outputs");
    store.setOutputAssignment(true, "out-b", "octave-layer", "control-outputs");
    store.setOutputAssignment(true, "morph:link-looper", "octave-layer", "outputs");
    EXPECT_EQ(store.chainTargets("router"), (std::vector<std::string>{"fc200-sysex", "link-looper"}));
    EXPECT_EQ(store.firstChainTarget("router"), std::optional<std::string_view>("fc200-sysex"));
    EXPECT_FALSE(store.firstChainTarget("fc200-sysex"));
    EXPECT_EQ(store.chainSource("link-looper"), std::optional<std::string>("octave-layer"));
    EXPECT_FALSE(store.chainSource("router"));
    EXPECT_EQ(store.morphsOutputting("out-a"), (std::vector<std::string>{"octave-layer", "router"}));
    EXPECT_TRUE(store.morphsOutputting("out-b").empty());  // only the "outputs" group counts
    EXPECT_EQ(store.allMainOutputEndpoints(), (RoutingKeySet{"out-a"}));
}

TEST(MIDIRoutingStoreChains, ChainsStayLinesWithoutCycles) {
    MemorySettingsStore settings;
    MIDIRoutingStore store(settings);
    EXPECT_FALSE(store.canChain("router", "router"));
    EXPECT_TRUE(store.canChain("router", "octave-layer"));
    store.setOutputAssignment(true, "morph:octave-layer", "router", "outputs");
    EXPECT_TRUE(store.canChain("router", "octave-layer"));        // the existing link
    EXPECT_FALSE(store.canChain("router", "link-looper"));        // router already feeds a morph
    EXPECT_FALSE(store.canChain("fc200-sysex", "octave-layer"));  // octave-layer already fed
    EXPECT_FALSE(store.canChain("octave-layer", "router"));       // cycle
    EXPECT_TRUE(store.canChain("octave-layer", "link-looper"));
    store.setOutputAssignment(true, "morph:link-looper", "octave-layer", "outputs");
    EXPECT_FALSE(store.canChain("link-looper", "router"));  // longer cycle
    EXPECT_TRUE(store.canChain("fc200-sysex", "router"));   // extends the line at its head
}

TEST(MIDIRoutingStoreChains, StoredCycleDoesNotHangTheWalk) {
    MemorySettingsStore settings;
    settings.set(MIDIRoutingStore::kGraphKey, bytesOf(R"({"inputAssignments":{},"outputAssignments":{
        "a":{"outputs":["morph:b"]},"b":{"outputs":["morph:c"]},"c":{"outputs":["morph:b"]}}})"));
    MIDIRoutingStore store(settings);
    EXPECT_FALSE(store.canChain("x", "a"));
    EXPECT_FALSE(store.canChain("a", "b"));  // walking from b revisits b
}

TEST(MIDIRoutingStoreChains, DestinationChoicesFollowTheRules) {
    MemorySettingsStore settings;
    MIDIRoutingStore store(settings);
    store.setOutputAssignment(true, "morph:octave-layer", "router", "outputs");
    std::vector<MorphOutputDestinationPresentation::Candidate> morphs{{"router", "Router", "r"},
                                                                      {"octave-layer", "Octave Layer", "o"},
                                                                      {"link-looper", "Link Looper", "l"}};
    auto fromRouter = store.destinationChoices("router", morphs);
    ASSERT_EQ(fromRouter.size(), 2u);
    EXPECT_EQ(fromRouter[0], (MorphOutputDestinationPresentation::Item{"morph:octave-layer", "octave-layer",
                                                                       "Octave Layer", "o", true}));
    EXPECT_EQ(fromRouter[1].id, "morph:link-looper");
    EXPECT_FALSE(fromRouter[1].isEnabled);
    auto fromLooper = store.destinationChoices("link-looper", morphs);
    ASSERT_EQ(fromLooper.size(), 2u);
    EXPECT_TRUE(fromLooper[0].isEnabled);   // router is the head of the line
    EXPECT_FALSE(fromLooper[1].isEnabled);  // octave-layer already fed
}

TEST(MIDIRoutingStoreLoading, DeeplyNestedDataYieldsDefaultsWithoutExhaustingTheStack) {
    std::string deep = R"({"inputAssignments":)" + std::string(200000, '[') + std::string(200000, ']') +
                       R"(,"outputAssignments":{}})";
    EXPECT_FALSE(MIDIRoutingStore::decodeGraph(bytesOf(deep)));
    EXPECT_FALSE(MIDIRoutingStore::decodeAvailability(bytesOf(std::string(200000, '{'))));
}
