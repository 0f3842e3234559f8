// SPDX-License-Identifier: GPL-3.0-or-later
// Events per second through the hot path of one input: parse a packet, look up
// the input's deliveries, hand each event to the Router through the MorphEngine,
// encode every resulting action into a counting sink and record it as sent.
// A replaced global operator new counts allocations inside the timed loop; the
// "allocs_per_event" counter must stay 0 for channel messages.
#include <benchmark/benchmark.h>

#include "AllocationCounter.hpp"
#include "SpineBenchStream.hpp"
#include "core/MemorySettingsStore.hpp"
#include "engine/MIDIRoutingStore.hpp"
#include "midi/MIDIEvent.hpp"
#include "midi/MIDIParser.hpp"
#include "morphs/MorphEngine.hpp"
#include "morphs/RouterMorph.hpp"

using namespace velorin;

namespace {

void runPath(benchmark::State& state, bool withSysEx) {
    const auto stream = bench::makePacketStream(20000, withSysEx);
    MemorySettingsStore settings;
    MIDIRoutingStore routing(settings);
    routing.setInputAssignment(true, "alsa:bench-in", std::string(RouterMorph::kID), "inputs");
    routing.setOutputAssignment(true, "alsa:bench-out", std::string(RouterMorph::kID), "outputs");
    MorphEngine engine({{std::string(RouterMorph::kID), std::make_shared<RouterMorph>()}});
    MorphContext context;
    context.sourceName = "Bench Input";

    MIDIParserState parser;
    std::vector<MIDIEvent> events;
    MorphOutputs outputs;
    ByteArray sink;
    events.reserve(256);
    outputs.reserve(256);
    sink.reserve(4096);
    std::size_t sinkBytes = 0;
    std::size_t eventCount = 0;

    auto pass = [&] {
        for (auto packet : stream.packets) {
            events.clear();
            parsePacketBytes(packet, parser, events, nullptr);
            if (events.empty()) continue;
            const auto& deliveries = routing.deliveries("alsa:bench-in");
            for (const MIDIEvent& event : events) {
                ++eventCount;
                for (const RoutingInputDelivery& d : deliveries) {
                    outputs.clear();
                    engine.process(d.morphKey, d.inputGroupKey, event, context, outputs);
                    for (const MorphOutput& o : outputs) {
                        sink.clear();
                        appendEncodedBytes(o.action.event, sink);
                        sinkBytes += sink.size();
                        const std::optional<std::string_view> key =
                            o.action.cancellationKey
                                ? std::optional<std::string_view>(*o.action.cancellationKey)
                                : std::nullopt;
                        engine.recordSentEvent(o.action.event, o.morphID, key);
                    }
                }
            }
        }
    };
    pass();  // warm up: vectors reach their steady capacity
    eventCount = 0;
    const std::size_t allocationsBefore = bench::allocationCount();
    for (auto _ : state) pass();
    const std::size_t allocations = bench::allocationCount() - allocationsBefore;
    benchmark::DoNotOptimize(sinkBytes);
    state.SetItemsProcessed(static_cast<std::int64_t>(eventCount));
    state.counters["allocs_per_event"] =
        eventCount ? static_cast<double>(allocations) / static_cast<double>(eventCount) : 0.0;
}

void BM_RouterPath_ChannelMessages(benchmark::State& state) {
    runPath(state, false);
}
void BM_RouterPath_WithSysEx(benchmark::State& state) {
    runPath(state, true);
}
BENCHMARK(BM_RouterPath_ChannelMessages);
BENCHMARK(BM_RouterPath_WithSysEx);

}  // namespace

BENCHMARK_MAIN();
