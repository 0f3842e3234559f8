// Hub-added latency through the real ALSA sequencer: what a note sent through
// our "Velorin Server" port and back costs beyond the same note sent through
// the kernel's "Midi Through" port and back.
//
// One process holds the engine on the real ALSA service and a PollMainQueue
// (the app's port 1 destination → Router → the app's port 2 source) and a
// probe: a sequencer client of its own, driven by libasound from a thread of
// its own. Once per millisecond the probe
//   direct  sends a note to Midi Through and waits for it to come back
//           (Midi Through's port is subscribed to the probe's);
//   hub     sends the same note to our "Velorin Server" destination and waits
//           for it to come back from our "Velorin Server 2" source.
// Notes alternate note-on / note-off; each round trip runs from just before
// the send to the receipt. The engine listens to no system source during the
// run, so Midi Through's echo wakes no thread of ours. Counters in µs:
// direct_* and hub_* (p50, p99, max), added_p50_us / added_p99_us (hub minus
// direct) and p99_ratio = hub_p99 / direct_p99.
//
// Needs /dev/snd/seq with the snd-seq-dummy module loaded (it provides Midi
// Through); reports an error and measures nothing otherwise.
#include <alsa/asoundlib.h>
#include <benchmark/benchmark.h>
#include <poll.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "LatencySamples.hpp"
#include "core/MemorySettingsStore.hpp"
#include "core/PollMainQueue.hpp"
#include "engine/AppVirtualMIDIPort.hpp"
#include "engine/MIDIEngine.hpp"
#include "link/LinkClock.hpp"
#include "log/LogStore.hpp"
#include "platform/alsa/AlsaMIDIService.hpp"
#include "support/FakeLinkSession.hpp"

namespace velorin {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kNotes = 10'000;
constexpr std::size_t kWarmUpNotes = 200;
constexpr auto kPace = std::chrono::milliseconds(1);
constexpr auto kReplyTimeout = std::chrono::milliseconds(500);

// A sequencer client with one port that sends notes and waits for them to come
// back. Set up on the main thread; used by one thread at a time afterwards.
class Probe {
public:
    Probe() {
        if (snd_seq_open(&seq_, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) {
            seq_ = nullptr;
            return;
        }
        snd_seq_set_client_name(seq_, "Latency Probe");
        // Writable and subscribable for the replies; not a source, so the
        // engine's scan does not connect to it.
        port_ = snd_seq_create_simple_port(
            seq_, "probe", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
            SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        const int count = snd_seq_poll_descriptors_count(seq_, POLLIN);
        descriptors_.resize(static_cast<std::size_t>(std::max(count, 0)));
        snd_seq_poll_descriptors(seq_, descriptors_.data(), static_cast<unsigned int>(descriptors_.size()),
                                 POLLIN);
    }
    ~Probe() {
        if (seq_ != nullptr) snd_seq_close(seq_);
    }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    bool isOpen() const { return seq_ != nullptr && port_ >= 0; }

    // The first port of the client named `clientName` whose name is `portName`
    // (any when empty) and whose capabilities include `caps`.
    std::optional<snd_seq_addr_t> find(std::string_view clientName, std::string_view portName,
                                       unsigned int caps) const {
        snd_seq_client_info_t* client = nullptr;
        snd_seq_port_info_t* port = nullptr;
        snd_seq_client_info_alloca(&client);
        snd_seq_port_info_alloca(&port);
        snd_seq_client_info_set_client(client, -1);
        while (snd_seq_query_next_client(seq_, client) >= 0) {
            if (clientName != snd_seq_client_info_get_name(client)) continue;
            snd_seq_port_info_set_client(port, snd_seq_client_info_get_client(client));
            snd_seq_port_info_set_port(port, -1);
            while (snd_seq_query_next_port(seq_, port) >= 0) {
                if ((snd_seq_port_info_get_capability(port) & caps) != caps) continue;
                if (!portName.empty() && portName != snd_seq_port_info_get_name(port)) continue;
                return *snd_seq_port_info_get_addr(port);
            }
        }
        return std::nullopt;
    }

    // Events from `source` reach the probe's port.
    bool listenTo(const snd_seq_addr_t& source) {
        return snd_seq_connect_from(seq_, port_, source.client, source.port) >= 0;
    }

    // Sends the i-th note to `destination` and waits for the same note from
    // `replier`. The round trip time, or nothing when it did not come back.
    std::optional<Clock::duration> roundTrip(std::size_t i, const snd_seq_addr_t& destination,
                                             const snd_seq_addr_t& replier) {
        const bool on = i % 2 == 0;
        const auto key = static_cast<unsigned char>(48 + (i / 2) % 24);
        snd_seq_event_t event;
        snd_seq_ev_clear(&event);
        snd_seq_ev_set_source(&event, static_cast<unsigned char>(port_));
        snd_seq_ev_set_dest(&event, destination.client, destination.port);
        snd_seq_ev_set_direct(&event);
        // Set by hand: the note macros' flag arithmetic does not pass -Wsign-conversion.
        event.type = on ? SND_SEQ_EVENT_NOTEON : SND_SEQ_EVENT_NOTEOFF;
        event.data.note.note = key;
        event.data.note.velocity = on ? 100 : 0;
        const auto start = Clock::now();
        if (snd_seq_event_output_direct(seq_, &event) < 0) return std::nullopt;
        const auto deadline = start + kReplyTimeout;
        for (;;) {
            snd_seq_event_t* reply = nullptr;
            const int status = snd_seq_event_input(seq_, &reply);
            if (status >= 0 && reply != nullptr) {
                if (reply->source.client == replier.client && reply->source.port == replier.port &&
                    reply->type == event.type && reply->data.note.note == key) {
                    return Clock::now() - start;
                }
                continue;
            }
            if (status != -EAGAIN && status != -ENOSPC) return std::nullopt;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return std::nullopt;
            ::poll(descriptors_.data(), descriptors_.size(), static_cast<int>(left.count()) + 1);
        }
    }

private:
    snd_seq_t* seq_ = nullptr;
    int port_ = -1;
    std::vector<pollfd> descriptors_;
};

// The engine on the real ALSA service: its port 1's input through the Router
// to its port 2's output (the Router never sends an input's events back to the
// endpoint of the same name, so port 1 cannot answer itself).
struct Hub {
    PollMainQueue queue;
    MemorySettingsStore settings;
    std::shared_ptr<LogStore> log = LogStore::create(queue, settings);
    LinkClock clock{std::make_unique<test::FakeLinkSession>(queue), *log, settings, queue};
    LinkBeatScheduler scheduler{clock, *log};
    MIDIActivityMonitor activity;
    AlsaMIDIService service{[log = log](std::string line) { log->log(std::move(line)); }};
    MIDIEngine engine{MIDIEngine::Dependencies{.queue = queue,
                                               .settings = settings,
                                               .log = *log,
                                               .linkClock = clock,
                                               .scheduler = scheduler,
                                               .activity = activity,
                                               .linkLooperEnabled = true,
                                               .midiService = &service}};

    Hub() {
        engine.start();
        engine.setAdditionalVirtualPortsEnabled(true);
        engine.setInputAssignment(true, AppVirtualMIDIPortDescriptor::forNumber(1).inputKey,
                                  MIDIEngine::kRouterID, "inputs");
        engine.setOutputAssignment(true, AppVirtualMIDIPortDescriptor::forNumber(2).outputKey,
                                   MIDIEngine::kRouterID, "outputs");
    }
};

struct RoundTrips {
    std::vector<double> direct;  // µs
    std::vector<double> hub;
    // Which path lost a note (the run stops there), or empty.
    std::string lost;
};

// Runs `count` paced pairs of round trips on a thread of their own while the
// main thread runs the engine's loop.
RoundTrips measure(Hub& hub, Probe& probe, std::size_t count, const snd_seq_addr_t& thru,
                   const snd_seq_addr_t& ourDestination, const snd_seq_addr_t& ourSource) {
    RoundTrips trips;
    trips.direct.reserve(count);
    trips.hub.reserve(count);
    std::atomic<bool> done{false};
    std::thread prober([&] {
        const auto start = Clock::now();
        for (std::size_t i = 0; i < count; ++i) {
            std::this_thread::sleep_until(start + kPace * static_cast<long>(i));
            const auto direct = probe.roundTrip(i, thru, thru);
            const auto ours = probe.roundTrip(i, ourDestination, ourSource);
            if (!direct || !ours) {
                trips.lost = !direct ? "Midi Through" : "Velorin Server";
                break;
            }
            trips.direct.push_back(bench::micros(*direct));
            trips.hub.push_back(bench::micros(*ours));
        }
        done = true;
        hub.queue.stop();
    });
    while (!done) hub.queue.runFor(std::chrono::seconds(1));
    prober.join();
    return trips;
}

void BM_AlsaHubLatency(benchmark::State& state) {
    if (const MIDIStatus status = AlsaMIDIService::probe(); status != 0) {
        state.SkipWithError(("no ALSA sequencer (status " + std::to_string(status) + ")").c_str());
        return;
    }
    Hub hub;
    Probe probe;
    const auto thru = probe.find("Midi Through", "", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
    const auto ourDestination = probe.find(MIDIEngine::kClientName, "Velorin Server",
                                           SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE);
    const auto ourSource = probe.find(MIDIEngine::kClientName, "Velorin Server 2",
                                      SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
    if (!hub.engine.isStarted() || !probe.isOpen() || !thru || !ourDestination || !ourSource ||
        !probe.listenTo(*thru) || !probe.listenTo(*ourSource)) {
        state.SkipWithError("the engine, the probe or Midi Through is not there");
        return;
    }
    // The refresh that follows the probe's arrival connects every system
    // source, Midi Through included; once it has run, drop those connections.
    hub.queue.runFor(MIDIEngine::kRoutingRefreshDelay * 2);
    hub.engine.disconnectAllInputs();

    if (const auto warmUp = measure(hub, probe, kWarmUpNotes, *thru, *ourDestination, *ourSource);
        !warmUp.lost.empty()) {
        state.SkipWithError(("a note did not come back through " + warmUp.lost).c_str());
        return;
    }
    for (auto _ : state) {
        const RoundTrips trips = measure(hub, probe, kNotes, *thru, *ourDestination, *ourSource);
        if (!trips.lost.empty()) {
            state.SkipWithError(("a note did not come back through " + trips.lost).c_str());
            return;
        }
        const bench::LatencySummary direct = bench::summarize(trips.direct);
        const bench::LatencySummary ours = bench::summarize(trips.hub);
        bench::reportLatency(state, "direct", direct);
        bench::reportLatency(state, "hub", ours);
        state.counters["added_p50_us"] = ours.p50 - direct.p50;
        state.counters["added_p99_us"] = ours.p99 - direct.p99;
        state.counters["p99_ratio"] = ours.p99 / direct.p99;
    }
}
BENCHMARK(BM_AlsaHubLatency)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace velorin

BENCHMARK_MAIN();
