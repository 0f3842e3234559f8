// SPDX-License-Identifier: GPL-3.0-or-later
// The protocol core's cost per note. The peer is the MIDI byte parser on the
// same three bytes, measured in the same run: the ratio says what the RTP
// framing and the journal add on top of reading MIDI at all.
//   BM_MIDIByteParserNote        the peer: parse 90 3C 64
//   BM_RTPMIDIDecodeNote         read a datagram with one note and a journal
//   BM_RTPMIDIEncodeNote         write it: command section, journal, header
//   BM_SessionNoteBackToBack     sendMIDI on one session → receive on another
//                                → the MIDI callback, inline, both notes of a
//                                note-on/off pair, with the journal; reports
//                                allocations per note
#include <benchmark/benchmark.h>

#include <memory>

#include "AllocationCounter.hpp"
#include "core/ManualMainQueue.hpp"
#include "midi/MIDIParser.hpp"
#include "netmidi/NetworkMIDISession.hpp"
#include "netmidi/RTPMIDIPayload.hpp"
#include "netmidi/RecoveryJournal.hpp"

using namespace velorin;

namespace {

const ByteArray kNoteOn{0x90, 0x3C, 0x64};

void BM_MIDIByteParserNote(benchmark::State& state) {
    MIDIParserState parser;
    std::vector<MIDIEvent> events;
    events.reserve(8);
    for (auto _ : state) {
        parsePacketBytes(kNoteOn, parser, events, nullptr);
        benchmark::DoNotOptimize(events.data());
        events.clear();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MIDIByteParserNote);

ByteArray noteDatagram() {
    RecoveryJournalSender journal(1);
    const auto now = std::chrono::steady_clock::now();
    for (std::int64_t n = 60; n < 64; ++n) journal.record(MIDIEvent::noteOnEvent(n, 100, 0), 1, now);
    journal.record(MIDIEvent::ccEvent(1, 20, 0), 1, now);
    ByteArray journalBytes;
    journal.encode(now, 640, journalBytes);
    RTPMIDICommandWriter writer;
    writer.appendChannelEvent(0, MIDIEvent::noteOnEvent(60, 100, 0));
    ByteArray datagram;
    encodeRTPMIDIPacket({true, kRTPMIDIPayloadType, 2, 0, 7}, writer.bytes(), std::span(journalBytes),
                        datagram);
    return datagram;
}

void BM_RTPMIDIDecodeNote(benchmark::State& state) {
    const ByteArray datagram = noteDatagram();
    RTPMIDIReceiveState receive;
    std::vector<RTPMIDITimedEvent> events;
    events.reserve(8);
    for (auto _ : state) {
        RTPMIDIPacketView view;
        parseRTPMIDIPacket(datagram, view);
        decodeCommandSection(view, receive, events);
        benchmark::DoNotOptimize(events.data());
        events.clear();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RTPMIDIDecodeNote);

void BM_RTPMIDIEncodeNote(benchmark::State& state) {
    RecoveryJournalSender journal(1);
    const auto now = std::chrono::steady_clock::now();
    for (std::int64_t n = 60; n < 64; ++n) journal.record(MIDIEvent::noteOnEvent(n, 100, 0), 1, now);
    RTPMIDICommandWriter writer;
    ByteArray journalBytes, datagram;
    journalBytes.reserve(1024);
    datagram.reserve(kMaxRTPMIDIDatagramBytes);
    const MIDIEvent note = MIDIEvent::noteOnEvent(60, 100, 0);
    for (auto _ : state) {
        journalBytes.clear();
        journal.encode(now, 640, journalBytes);
        writer.reset(kMaxRTPMIDIDatagramBytes - 14 - journalBytes.size());
        writer.appendChannelEvent(0, note);
        encodeRTPMIDIPacket({true, kRTPMIDIPayloadType, 2, 0, 7}, writer.bytes(), std::span(journalBytes),
                            datagram);
        benchmark::DoNotOptimize(datagram.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RTPMIDIEncodeNote);

void BM_SessionNoteBackToBack(benchmark::State& state) {
    ManualMainQueue queue;
    std::unique_ptr<NetworkMIDISession> a, b;
    std::size_t received = 0;
    auto wire = [&](const std::string& host, std::unique_ptr<NetworkMIDISession>& other) {
        NetworkMIDISession::Callbacks callbacks;
        callbacks.send = [&, host](NetworkMIDIChannel channel, const NetworkMIDIAddress&,
                                   std::span<const std::uint8_t> bytes) {
            const std::uint16_t port = channel == NetworkMIDIChannel::control ? 5004 : 5005;
            other->receive(channel, {host, port}, bytes);
        };
        callbacks.midi = [&](const NetworkMIDIPeer&, const MIDIEvent& e) {
            benchmark::DoNotOptimize(&e);
            ++received;
        };
        return callbacks;
    };
    a = std::make_unique<NetworkMIDISession>(queue, NetworkMIDISessionConfig{}, wire("10.0.0.1", b));
    b = std::make_unique<NetworkMIDISession>(queue, NetworkMIDISessionConfig{}, wire("10.0.0.2", a));
    a->start();
    b->start();
    const NetworkMIDIPeerId peer = a->invite({"10.0.0.2", 5004});
    queue.runPending();
    const MIDIEvent on = MIDIEvent::noteOnEvent(60, 100, 0);
    const MIDIEvent off = MIDIEvent::noteOffEvent(60, 0, 0);
    const std::size_t allocationsBefore = bench::allocationCount();
    for (auto _ : state) {
        a->sendMIDI(peer, on);
        a->sendMIDI(peer, off);
    }
    const double allocations = static_cast<double>(bench::allocationCount() - allocationsBefore);
    if (received != 2 * static_cast<std::size_t>(state.iterations())) state.SkipWithError("notes lost");
    state.SetItemsProcessed(2 * state.iterations());
    state.counters["allocs/note"] = allocations / (2.0 * static_cast<double>(state.iterations()));
    a->stop();
    b->stop();
}
BENCHMARK(BM_SessionNoteBackToBack);

}  // namespace
BENCHMARK_MAIN();
