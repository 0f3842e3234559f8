// SPDX-License-Identifier: GPL-3.0-or-later
// Parser throughput: this system's packet parser against libasound's byte
// parser (snd_midi_event_encode_byte) on the same packets of a mixed stream.
// Both report bytes/s and events/s; the ratio of the bytes/s is the comparison.
#include <alsa/asoundlib.h>
#include <benchmark/benchmark.h>

#include "SpineBenchStream.hpp"
#include "midi/MIDIEvent.hpp"
#include "midi/MIDIParser.hpp"

using namespace velorin;

namespace {

// Argument 1: the mixed stream with SysEx; 0: channel and real-time bytes only.
const bench::PacketStream& stream(const benchmark::State& state) {
    static const bench::PacketStream withSysEx = bench::makePacketStream(20000, true);
    static const bench::PacketStream channelOnly = bench::makePacketStream(20000, false);
    return state.range(0) != 0 ? withSysEx : channelOnly;
}

void BM_VelorinParser(benchmark::State& state) {
    const auto& s = stream(state);
    MIDIParserState parser;
    std::vector<MIDIEvent> events;
    events.reserve(64);
    std::size_t count = 0;
    for (auto _ : state) {
        for (auto packet : s.packets) {
            parsePacketBytes(packet, parser, events, nullptr);
            count += events.size();
            benchmark::DoNotOptimize(events.data());
            events.clear();
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(s.bytes.size()));
    state.counters["events"] = benchmark::Counter(static_cast<double>(count), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_VelorinParser)->Arg(1)->Arg(0);

void BM_AlsaEncodeByte(benchmark::State& state) {
    const auto& s = stream(state);
    snd_midi_event_t* dev = nullptr;
    if (snd_midi_event_new(1024, &dev) < 0) {
        state.SkipWithError("snd_midi_event_new failed");
        return;
    }
    snd_seq_event_t ev;
    std::size_t count = 0;
    for (auto _ : state) {
        for (auto packet : s.packets) {
            for (std::uint8_t b : packet) {
                if (snd_midi_event_encode_byte(dev, b, &ev) == 1) {
                    ++count;
                    benchmark::DoNotOptimize(&ev);
                }
            }
        }
    }
    snd_midi_event_free(dev);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(s.bytes.size()));
    state.counters["events"] = benchmark::Counter(static_cast<double>(count), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AlsaEncodeByte)->Arg(1)->Arg(0);

}  // namespace

BENCHMARK_MAIN();
