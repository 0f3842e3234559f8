// SPDX-License-Identifier: GPL-3.0-or-later
// Natural title order: the comparison itself, and the engine's endpoint lists
// (routing columns and the settings sheet's device lists) sorted by it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "EngineTestSupport.hpp"
#include "engine/EndpointTitleOrder.hpp"
#include "support/FakeMIDIService.hpp"

namespace velorin {
namespace {

TEST(EndpointTitleOrder, ComparesDigitRunsByValueAndLettersWithoutCase) {
    // Each title sorts strictly before the next.
    const std::vector<std::string> ascending = {"",
                                                "2 Synth",
                                                "10 Synth",
                                                "a",
                                                "B",
                                                "bass",
                                                "Port",
                                                "Port 1",
                                                "port 2",
                                                "PORT 3",
                                                "Port 9",
                                                "Port 10",
                                                "Port 10 b",
                                                "Port 11",
                                                "Port 99",
                                                "Port 100",
                                                "Port 1000000000000000000000",
                                                "Port 1000000000000000000001",
                                                "Port A",
                                                "Zed",
                                                "\xc3\x89tude"};
    for (std::size_t i = 0; i < ascending.size(); ++i) {
        EXPECT_FALSE(titleLess(ascending[i], ascending[i])) << ascending[i];
        for (std::size_t j = i + 1; j < ascending.size(); ++j) {
            EXPECT_TRUE(titleLess(ascending[i], ascending[j])) << ascending[i] << " < " << ascending[j];
            EXPECT_FALSE(titleLess(ascending[j], ascending[i])) << ascending[j] << " !< " << ascending[i];
        }
    }
    // Equal in this order: case and leading zeros alone; the caller breaks the tie.
    for (const auto& [a, b] :
         std::vector<std::pair<std::string, std::string>>{{"Port 7", "port 7"}, {"Take 007", "Take 7"}}) {
        EXPECT_FALSE(titleLess(a, b)) << a << " vs " << b;
        EXPECT_FALSE(titleLess(b, a)) << b << " vs " << a;
    }
}

TEST(EndpointTitleOrder, EngineListsSortPort1ToPort19NaturallyKeepingInventoryOrderForTies) {
    ManualMainQueue queue;
    MemorySettingsStore settings;
    auto log = LogStore::create(queue, settings);
    test::FakeMIDIService midi;
    // Added in the order a scan finds them: 19 down to 1, then a second "port 5".
    for (int n = 19; n >= 1; --n) {
        midi.addSource("Port " + std::to_string(n), 100 + n);
        midi.addDestination("Port " + std::to_string(n), 200 + n);
    }
    midi.addSource("port 5", 300);
    auto session = std::make_unique<test::FakeLinkSession>(queue);
    LinkClock clock(std::move(session), *log, settings, queue);
    LinkBeatScheduler scheduler(clock, *log);
    MIDIActivityMonitor activity{[&queue] { return queue.uptimeSeconds(); }};
    MIDIEngine::Dependencies deps{queue, settings, *log, clock, scheduler, activity, true};
    deps.midiService = &midi;
    MIDIEngine engine(deps);
    engine.start();

    std::vector<std::string> expected;
    for (int n = 1; n <= 19; ++n) {
        expected.push_back("Port " + std::to_string(n));
        if (n == 5) expected.emplace_back("port 5");
    }
    const auto titles = [](const auto& list) {
        std::vector<std::string> out;
        for (const auto& e : list) {
            if (e.title.rfind("Velorin", 0) != 0) out.push_back(e.title);
        }
        return out;
    };
    EXPECT_EQ(titles(engine.routingInputEndpoints()), expected);
    EXPECT_EQ(titles(engine.externalInputEndpoints()), expected);
    // The tie keeps inventory order: "Port 5" was found before "port 5".
    const auto inputs = engine.externalInputEndpoints();
    const auto port5 =
        std::find_if(inputs.begin(), inputs.end(), [](const auto& e) { return e.title == "Port 5"; });
    ASSERT_NE(port5, inputs.end());
    EXPECT_EQ(port5->id, "core-midi:105");
    expected.erase(std::find(expected.begin(), expected.end(), "port 5"));
    EXPECT_EQ(titles(engine.routingOutputEndpoints()), expected);
    EXPECT_EQ(titles(engine.externalOutputEndpoints()), expected);
    engine.stop();
}

}  // namespace
}  // namespace velorin
