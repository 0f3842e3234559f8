// SPDX-License-Identifier: GPL-3.0-or-later
// The whole engine path: handleInput → parse → dispatch → morph → sendEvent into
// a counting route, for the Router, the Octave Layer with all four layers, the
// Link Looper's capture and a two-morph chain; and panic's duration per target.
// Allocations inside the timed loop are counted with a replaced operator new.
#include <benchmark/benchmark.h>

#include <memory>

#include "AllocationCounter.hpp"
#include "core/ManualMainQueue.hpp"
#include "core/MemorySettingsStore.hpp"
#include "engine/MIDIEngine.hpp"
#include "engine/MIDILatencyMonitor.hpp"
#include "log/LogStore.hpp"

namespace velorin {
namespace {

struct ScriptedClock final : LinkBeatSchedulingClock {
    bool active = true;
    bool playing = true;
    double beat = 0;
    bool isActive() const override { return active; }
    bool isPlaying() const override { return playing; }
    double currentBeat() const override { return beat; }
};

struct CountingTransport final : MIDIOutputTransport {
    std::size_t sends = 0;
    bool send(const MIDIOutputEndpointRegistration&, const MIDIEvent& event) override {
        benchmark::DoNotOptimize(event.note);
        ++sends;
        return true;
    }
};

MIDIOutputEndpointRegistration output(std::string key) {
    return {{key, key, ""}, MIDIOutputEndpointRoute::coreMIDIDestination(1)};
}

struct Rig {
    ManualMainQueue queue;
    MemorySettingsStore settings;
    std::shared_ptr<LogStore> log = LogStore::create(queue, settings);
    ScriptedClock clock;
    LinkBeatScheduler scheduler{clock, *log};
    MIDIActivityMonitor activity;
    CountingTransport transport;
    MIDIEngine engine{MIDIEngine::Dependencies{queue, settings, *log, clock, scheduler, activity, true}};

    explicit Rig(std::size_t outputs = 1) {
        std::vector<MIDIOutputEndpointRegistration> list;
        for (std::size_t i = 0; i < outputs; ++i) list.push_back(output("out-" + std::to_string(i)));
        auto inventory = MIDIEndpointInventory::make(
            {{{"in", "Keyboard", ""}, MIDIInputEndpointRoute::coreMIDISource(1)}}, std::move(list));
        engine.setEndpointInventory(std::get<MIDIEndpointInventory>(std::move(inventory)));
        engine.setOutputTransport(&transport);
        engine.start();
    }
};

// One packet of `events` channel messages: note-ons and note-offs in turn.
std::vector<MIDIRawPacket> notePackets(std::size_t events) {
    ByteArray bytes;
    for (std::size_t i = 0; i < events; ++i) {
        const auto note = static_cast<std::uint8_t>(48 + (i / 2) % 24);
        bytes.insert(bytes.end(), {static_cast<std::uint8_t>(i % 2 == 0 ? 0x90 : 0x80), note,
                                   static_cast<std::uint8_t>(i % 2 == 0 ? 100 : 0)});
    }
    return {MIDIRawPacket{std::move(bytes)}};
}

// Runs batches of `state.range(0)` events through the rig; reports events/s,
// sends per event and allocations per event in the timed loop.
void runEvents(benchmark::State& state, Rig& rig, bool advanceBeat = false) {
    const auto events = static_cast<std::size_t>(state.range(0));
    const auto packets = notePackets(events);
    for (int i = 0; i < 64; ++i) rig.engine.handleInput(packets, "in", "Keyboard");  // warm up
    const std::size_t sendsBefore = rig.transport.sends;
    const std::size_t allocationsBefore = bench::allocationCount();
    for (auto _ : state) {
        if (advanceBeat) rig.clock.beat += 0.05;
        rig.engine.handleInput(packets, "in", "Keyboard");
    }
    const auto processed = static_cast<double>(state.iterations()) * static_cast<double>(events);
    state.SetItemsProcessed(static_cast<std::int64_t>(processed));
    state.counters["allocs_per_event"] =
        static_cast<double>(bench::allocationCount() - allocationsBefore) / processed;
    state.counters["sends_per_event"] = static_cast<double>(rig.transport.sends - sendsBefore) / processed;
}

void BM_Engine_Router(benchmark::State& state) {
    Rig rig;
    rig.engine.setInputAssignment(true, "in", "router", "inputs");
    rig.engine.setOutputAssignment(true, "out-0", "router", "outputs");
    runEvents(state, rig);
}
BENCHMARK(BM_Engine_Router)->Arg(1)->Arg(32);

void BM_Engine_OctaveLayerAllLayers(benchmark::State& state) {
    Rig rig;
    for (auto kind : kAllOctaveLayerKinds) rig.engine.octaveLayerSettings()->setEnabled(true, kind);
    rig.engine.setInputAssignment(true, "in", "octave-layer", "inputs");
    rig.engine.setOutputAssignment(true, "out-0", "octave-layer", "outputs");
    runEvents(state, rig);
}
BENCHMARK(BM_Engine_OctaveLayerAllLayers)->Arg(32);

void BM_Engine_LinkLooperCapture(benchmark::State& state) {
    Rig rig;
    rig.engine.setInputAssignment(true, "in", "link-looper", "inputs");
    rig.engine.setOutputAssignment(true, "out-0", "link-looper", "outputs");
    runEvents(state, rig, true);
}
BENCHMARK(BM_Engine_LinkLooperCapture)->Arg(32);

void BM_Engine_RouterChainedToOctaveLayer(benchmark::State& state) {
    Rig rig;
    rig.engine.setInputAssignment(true, "in", "router", "inputs");
    rig.engine.setOutputAssignment(true, "out-0", "router", "outputs");
    rig.engine.setOutputAssignment(true, "morph:octave-layer", "router", "outputs");
    rig.engine.setOutputAssignment(true, "out-0", "octave-layer", "outputs");
    runEvents(state, rig);
}
BENCHMARK(BM_Engine_RouterChainedToOctaveLayer)->Arg(32);

// Panic with `state.range(0)` targets; the time per target is reported.
void BM_Engine_PanicPerTarget(benchmark::State& state) {
    const auto targets = static_cast<std::size_t>(state.range(0));
    Rig rig(targets);
    for (std::size_t i = 0; i < targets; ++i) {
        rig.engine.setOutputAssignment(true, "out-" + std::to_string(i), "router", "outputs");
    }
    for (auto _ : state) {
        rig.engine.panic();
        rig.log->flush();  // keep the log's pending batch from growing across iterations
        rig.log->clear();
    }
    state.counters["targets"] = static_cast<double>(targets);
    // Seconds per target (shown with an SI prefix, e.g. 60u = 60 microseconds).
    state.counters["time_per_target"] =
        benchmark::Counter(static_cast<double>(targets),
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Engine_PanicPerTarget)->Arg(1)->Arg(4)->Unit(benchmark::kMicrosecond);

// What the latency readout costs one send: the clock read and the record.
void BM_LatencyMonitorRecordWithClockRead(benchmark::State& state) {
    MIDILatencyMonitor monitor;
    const auto arrival = MIDILatencyMonitor::Clock::now();
    for (auto _ : state) {
        const auto now = MIDILatencyMonitor::Clock::now();
        monitor.record(now - arrival, now);
    }
    benchmark::DoNotOptimize(monitor.summary(MIDILatencyMonitor::Clock::now()).count);
}
BENCHMARK(BM_LatencyMonitorRecordWithClockRead);

// A 1 MiB SysEx dump arriving in 256-byte packets with "log all" on: every
// packet logs a line about the message so far. Reports the time per dump.
void BM_Engine_LongSysExLogAll(benchmark::State& state) {
    Rig rig;
    rig.engine.setInputAssignment(true, "in", "router", "inputs");
    rig.log->toggleLoggingAllMIDIEvents();
    constexpr std::size_t kPacket = 256;
    std::vector<std::vector<MIDIRawPacket>> packets;
    for (std::size_t at = 0; at < kMaxSystemExclusiveBytes; at += kPacket) {
        ByteArray bytes(kPacket, 0x22);
        if (at == 0) bytes.front() = 0xF0;
        if (at + kPacket >= kMaxSystemExclusiveBytes) bytes.back() = 0xF7;
        packets.push_back({MIDIRawPacket{std::move(bytes)}});
    }
    for (auto _ : state) {
        for (const auto& packet : packets) rig.engine.handleInput(packet, "in", "Keyboard");
        state.PauseTiming();
        rig.log->flush();
        rig.log->clear();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(kMaxSystemExclusiveBytes));
}
BENCHMARK(BM_Engine_LongSysExLogAll)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velorin

BENCHMARK_MAIN();
