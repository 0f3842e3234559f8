// SPDX-License-Identifier: GPL-3.0-or-later
// Network MIDI through the hub, over real UDP sockets on loopback.
//
// The hub runs on a thread of its own (a poll loop, as in the server): the
// engine with one peer's input routed through the Router back to that peer's
// output, and its network session on UDP 45004/45005. The player is a second
// session of our own on this thread (UDP 45104/45105) that invites the hub.
//
//   BM_NetworkHubLatency  one note at a time, player → hub → Router → hub →
//                         player, the round trip of each; against the peer in
//                         the same run: a bare UDP echo on the hub's thread, one
//                         datagram at a time from a bare socket on this thread.
//                         hub_added = hub − bare (µs, p50/p99/max) and the ratio.
//                         With loss:5 each datagram the sessions send is dropped
//                         with probability 5 % (the bare echo stays lossless); a
//                         note not back within 30 ms is counted as lost.
//   BM_NetworkHubLoss     2 000 overlapping notes at 1 ms under 5 % loss either
//                         way, with the journal (journal:1) or without it
//                         (journal:0): notes left sounding at the player at
//                         quiescence, events the journal repaired (both ends),
//                         datagrams dropped.
//   BM_NetworkHubThroughput  1 to 256 notes offered in each of 1 000 ticks of 1 ms: the fraction
//                         back at the player, against bare UDP datagrams through
//                         the echo at the same pace in a pass of their own.
#include <benchmark/benchmark.h>

#include <atomic>
#include <map>
#include <random>
#include <set>

#include "LatencySamples.hpp"
#include "core/MemorySettingsStore.hpp"
#include "core/PollMainQueue.hpp"
#include "core/QueueThread.hpp"
#include "engine/MIDIEngine.hpp"
#include "link/LinkBeatScheduler.hpp"
#include "link/LinkClock.hpp"
#include "log/LogStore.hpp"
#include "network/NetworkMIDIService.hpp"
#include "platform/linux/UDPDatagramSocket.hpp"
#include "support/FakeLinkSession.hpp"

namespace velorin {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kHubPort = 45004;
constexpr std::uint16_t kPlayerPort = 45104;

// Drops each datagram sent with a fixed probability (a fixed seed: runs compare).
class LossySockets final : public DatagramSocketFactory {
public:
    LossySockets(DatagramSocketFactory& inner, double loss, std::uint32_t seed)
        : inner_(inner), loss_(loss), random_(seed) {}
    std::variant<std::unique_ptr<DatagramSocket>, int> open(std::uint16_t port,
                                                            ReceiveHandler onReceive) override {
        auto opened = inner_.open(port, std::move(onReceive));
        if (auto* socket = std::get_if<std::unique_ptr<DatagramSocket>>(&opened)) {
            return std::unique_ptr<DatagramSocket>(std::make_unique<Lossy>(*this, std::move(*socket)));
        }
        return opened;
    }
    void resolve(const NetworkMIDIAddress& a, std::function<void(Resolution)> done) override {
        inner_.resolve(a, std::move(done));
    }
    std::atomic<std::size_t> dropped{0};

private:
    class Lossy final : public DatagramSocket {
    public:
        Lossy(LossySockets& owner, std::unique_ptr<DatagramSocket> inner)
            : owner_(owner), inner_(std::move(inner)) {}
        std::uint16_t localPort() const override { return inner_->localPort(); }
        int sendTo(std::span<const std::uint8_t> datagram, const NetworkMIDIAddress& to) override {
            if (owner_.loss_ > 0 &&
                std::uniform_real_distribution<double>(0, 1)(owner_.random_) < owner_.loss_) {
                ++owner_.dropped;
                return 0;
            }
            return inner_->sendTo(datagram, to);
        }

    private:
        LossySockets& owner_;
        std::unique_ptr<DatagramSocket> inner_;
    };
    DatagramSocketFactory& inner_;
    double loss_;
    std::mt19937 random_;
};

NetworkMIDISessionConfig sessionConfig(bool journal) {
    NetworkMIDISessionConfig config;
    config.sendJournal = journal;
    config.invitationInterval = 100ms;
    config.invitationAttempts = 100;
    return config;
}

// One side's network MIDI service on `queue`, enabled on `port`.
std::unique_ptr<NetworkMIDIService> makeService(MainQueue& queue, LogStore& log,
                                                NetworkMIDISettings& settings, std::uint16_t port,
                                                DatagramSocketFactory& sockets, bool journal,
                                                NetworkMIDIService::Sink sink) {
    settings.setEnabled(true);
    settings.setControlPort(port);
    return std::make_unique<NetworkMIDIService>(
        NetworkMIDIService::Dependencies{.queue = queue,
                                         .log = log,
                                         .settings = settings,
                                         .sockets = sockets,
                                         .sessionConfig = sessionConfig(journal)},
        std::move(sink));
}

// The hub's objects, built, run and destroyed on its thread.
struct HubParts {
    HubParts(MainQueue& queue, double loss, bool journal)
        : log(LogStore::create(queue, settings)),
          clock(std::make_unique<test::FakeLinkSession>(queue), *log, settings, queue),
          scheduler(clock, *log),
          engine(MIDIEngine::Dependencies{.queue = queue,
                                          .settings = settings,
                                          .log = *log,
                                          .linkClock = clock,
                                          .scheduler = scheduler,
                                          .activity = activity}),
          udp(queue),
          sockets(udp, loss, 1),
          networkSettings(settings, "Hub") {
        service = makeService(
            queue, *log, networkSettings, kHubPort, sockets, journal,
            NetworkMIDIService::Sink{.endpointsChanged =
                                         [this](MIDITransportRegistrations r) {
                                             engine.setTransportEndpoints(NetworkMIDIService::kTransportKind,
                                                                          std::move(r));
                                         },
                                     .midiReceived =
                                         [this](std::string_view key, std::string_view source,
                                                std::span<const std::uint8_t> bytes) {
                                             packet.bytes.assign(bytes.begin(), bytes.end());
                                             engine.handleInput(std::span<const MIDIRawPacket>(&packet, 1),
                                                                key, source, Clock::now());
                                         }});
        engine.setTransportOutputHandler(
            NetworkMIDIService::kTransportKind,
            [this](const MIDIEvent& e, const std::string& key) { return service->send(e, key); });
        engine.setInputAssignment(true, "network-midi:Player", MIDIEngine::kRouterID, "inputs");
        engine.setOutputAssignment(true, "network-midi:Player", MIDIEngine::kRouterID, "outputs");
        engine.start();
        service->start();
        // The bare peer: each datagram straight back to its sender.
        auto opened = udp.open(0, [this](std::span<const std::uint8_t> d, const NetworkMIDIAddress& from) {
            echo->sendTo(d, from);
        });
        echo = std::move(std::get<std::unique_ptr<DatagramSocket>>(opened));
    }
    ~HubParts() {
        service->stop();
        engine.stop();
    }

    MemorySettingsStore settings;
    std::shared_ptr<LogStore> log;
    LinkClock clock;
    LinkBeatScheduler scheduler;
    MIDIActivityMonitor activity;
    MIDIEngine engine;
    UDPDatagramSocketFactory udp;
    LossySockets sockets;
    NetworkMIDISettings networkSettings;
    std::unique_ptr<NetworkMIDIService> service;
    std::unique_ptr<DatagramSocket> echo;
    MIDIRawPacket packet;
};

// The hub on its thread and the player on this one, connected.
struct Rig {
    Rig(double loss, bool journal)
        : udp(queue), sockets(udp, loss, 2), playerNetwork(playerSettings, "Player") {
        hubThread.runAndWait([&] { hub = std::make_unique<HubParts>(hubThread.queue(), loss, journal); });
        hubThread.runAndWait([&] { echoPort = hub->echo->localPort(); });
        player = makeService(
            queue, *log, playerNetwork, kPlayerPort, sockets, journal,
            NetworkMIDIService::Sink{
                .endpointsChanged = [this](MIDITransportRegistrations r) { connected = !r.outputs.empty(); },
                .midiReceived =
                    [this](std::string_view, std::string_view, std::span<const std::uint8_t> bytes) {
                        ++received;
                        lastArrival = Clock::now();
                        lastBytes.assign(bytes.begin(), bytes.end());
                        if (bytes.size() == 3) {
                            const std::pair<int, int> key{bytes[0] & 0x0F, bytes[1]};
                            if ((bytes[0] & 0xF0) == 0x90 && bytes[2] > 0) {
                                sounding.insert(key);
                            } else {
                                sounding.erase(key);
                            }
                        }
                    }});
        player->start();
        player->connect("127.0.0.1:" + std::to_string(kHubPort));
        queue.runFor(10s, [this] { return connected; });
        // Let the first clock synchronisations pass.
        queue.runFor(300ms);
        auto opened = udp.open(0, [this](std::span<const std::uint8_t>, const NetworkMIDIAddress&) {
            ++echoed;
            lastArrival = Clock::now();
        });
        bare = std::move(std::get<std::unique_ptr<DatagramSocket>>(opened));
    }
    ~Rig() {
        player->stop();
        queue.runFor(50ms);
        hubThread.runAndWait([&] { hub.reset(); });
    }
    bool send(const MIDIEvent& e) { return player->send(e, "network-midi:Hub"); }
    std::size_t hubRepairs() {
        std::size_t repairs = 0;
        hubThread.runAndWait([&] {
            if (auto* session = hub->service->session()) {
                for (const auto& peer : session->peers()) repairs += peer.statistics.journalRepairs;
            }
        });
        return repairs;
    }
    std::size_t playerRepairs() const {
        std::size_t repairs = 0;
        for (const auto& peer : player->session()->peers()) repairs += peer.statistics.journalRepairs;
        return repairs;
    }

    QueueThread hubThread;
    std::unique_ptr<HubParts> hub;
    std::uint16_t echoPort = 0;
    PollMainQueue queue;
    MemorySettingsStore playerSettings;
    std::shared_ptr<LogStore> log = LogStore::create(queue, playerSettings);
    UDPDatagramSocketFactory udp;
    LossySockets sockets;
    NetworkMIDISettings playerNetwork;
    std::unique_ptr<NetworkMIDIService> player;
    std::unique_ptr<DatagramSocket> bare;
    bool connected = false;
    std::size_t received = 0;
    std::size_t echoed = 0;
    Clock::time_point lastArrival;
    std::set<std::pair<int, int>> sounding;
    ByteArray lastBytes;
};

MIDIEvent note(std::size_t i, bool on) {
    MIDIEvent e = MIDIEvent::noteOnEvent(static_cast<std::int64_t>(36 + (i * 7) % 60), on ? 100 : 0,
                                         static_cast<std::int64_t>(i % 16));
    if (!on) e.type = MIDIEventType::noteOff;
    return e;
}

void BM_NetworkHubLatency(benchmark::State& state) {
    const double loss = static_cast<double>(state.range(0)) / 100.0;
    constexpr std::size_t kRounds = 2'000;
    Rig rig(loss, true);
    if (!rig.connected) {
        state.SkipWithError("the player did not connect to the hub");
        return;
    }
    const NetworkMIDIAddress echo{"127.0.0.1", rig.echoPort};
    const std::array<std::uint8_t, 20> datagram{};
    for (auto _ : state) {
        std::vector<double> hub;
        std::vector<double> bare;
        std::size_t lost = 0;
        for (std::size_t i = 0; i < kRounds; ++i) {
            // The peer first, then the hub, alternating, so both see the same machine.
            const std::size_t echoedBefore = rig.echoed;
            const auto t0 = Clock::now();
            rig.bare->sendTo(datagram, echo);
            if (rig.queue.runFor(200ms, [&] { return rig.echoed > echoedBefore; })) {
                bare.push_back(bench::micros(rig.lastArrival - t0));
            }
            // Waits for this very note: a late repair of an earlier one does not count.
            const MIDIEvent sent = note(i, true);
            const ByteArray expected{static_cast<std::uint8_t>(0x90 | sent.channel),
                                     static_cast<std::uint8_t>(sent.note), 100};
            rig.lastBytes.clear();
            const auto t1 = Clock::now();
            rig.send(sent);
            if (rig.queue.runFor(30ms, [&] { return rig.lastBytes == expected; })) {
                hub.push_back(bench::micros(rig.lastArrival - t1));
            } else {
                ++lost;
            }
            MIDIEvent off = sent;
            off.type = MIDIEventType::noteOff;
            off.velocity = 0;
            rig.send(off);
            rig.queue.runFor(1ms, [&] { return rig.sounding.empty(); });
        }
        const auto hubSummary = bench::summarize(hub);
        const auto bareSummary = bench::summarize(bare);
        bench::reportLatency(state, "hub", hubSummary);
        bench::reportLatency(state, "bare", bareSummary);
        state.counters["hub_added_p50_us"] = hubSummary.p50 - bareSummary.p50;
        state.counters["hub_added_p99_us"] = hubSummary.p99 - bareSummary.p99;
        state.counters["p50_ratio"] = bareSummary.p50 > 0 ? hubSummary.p50 / bareSummary.p50 : 0;
        state.counters["p99_ratio"] = bareSummary.p99 > 0 ? hubSummary.p99 / bareSummary.p99 : 0;
        state.counters["round_trips_lost"] = static_cast<double>(lost);
    }
}

void BM_NetworkHubLoss(benchmark::State& state) {
    const bool journal = state.range(0) != 0;
    constexpr std::size_t kNotes = 2'000;
    constexpr std::size_t kOverlap = 4;
    Rig rig(0.05, journal);
    if (!rig.connected) {
        state.SkipWithError("the player did not connect to the hub");
        return;
    }
    for (auto _ : state) {
        for (std::size_t i = 0; i < kNotes + kOverlap; ++i) {
            if (i < kNotes) rig.send(note(i, true));
            if (i >= kOverlap) rig.send(note(i - kOverlap, false));
            rig.queue.runFor(1ms);
        }
        // Quiescence: the journal-only packets after the last note.
        rig.queue.runFor(2s);
        state.counters["notes_left_sounding"] = static_cast<double>(rig.sounding.size());
        state.counters["repaired_at_hub"] = static_cast<double>(rig.hubRepairs());
        state.counters["repaired_at_player"] = static_cast<double>(rig.playerRepairs());
        state.counters["datagrams_dropped"] =
            static_cast<double>(rig.sockets.dropped.load() + rig.hub->sockets.dropped.load());
    }
}

void BM_NetworkHubThroughput(benchmark::State& state) {
    const auto perTick = static_cast<std::size_t>(state.range(0));
    constexpr std::size_t kTicks = 1'000;
    Rig rig(0, true);
    if (!rig.connected) {
        state.SkipWithError("the player did not connect to the hub");
        return;
    }
    const NetworkMIDIAddress echo{"127.0.0.1", rig.echoPort};
    const std::array<std::uint8_t, 20> datagram{};
    for (auto _ : state) {
        // One pass each, the hub's first, at the same pace.
        auto pass = [&](const std::function<void(std::size_t)>& sendOne, const std::size_t& counter) {
            const std::size_t before = counter;
            const auto start = Clock::now();
            for (std::size_t tick = 0; tick < kTicks; ++tick) {
                for (std::size_t k = 0; k < perTick; ++k) sendOne(tick * perTick + k);
                rig.queue.runFor(1ms);
            }
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            rig.queue.runFor(500ms);
            return std::make_pair(static_cast<double>(counter - before), seconds);
        };
        const double offered = static_cast<double>(kTicks * perTick);
        const auto [hubBack, hubSeconds] =
            pass([&](std::size_t i) { rig.send(note(i, i % 2 == 0)); }, rig.received);
        const auto [bareBack, bareSeconds] =
            pass([&](std::size_t) { rig.bare->sendTo(datagram, echo); }, rig.echoed);
        state.counters["hub_offered_per_s"] = offered / hubSeconds;
        state.counters["hub_delivered_fraction"] = hubBack / offered;
        state.counters["bare_offered_per_s"] = offered / bareSeconds;
        state.counters["bare_delivered_fraction"] = bareBack / offered;
    }
}

}  // namespace

BENCHMARK(BM_NetworkHubLatency)
    ->ArgName("loss")
    ->Arg(0)
    ->Arg(5)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NetworkHubLoss)
    ->ArgName("journal")
    ->Arg(1)
    ->Arg(0)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NetworkHubThroughput)
    ->ArgName("notes_per_ms")
    ->Arg(1)
    ->Arg(4)
    ->Arg(16)
    ->Arg(32)
    ->Arg(64)
    ->Arg(128)
    ->Arg(256)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace velorin

BENCHMARK_MAIN();
