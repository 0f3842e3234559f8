// SPDX-License-Identifier: GPL-3.0-or-later
// Hub-added latency through the real ALSA sequencer: what a note sent through
// our "Velorin Server" port and back costs beyond the same note sent through
// the kernel's "Midi Through" port and back, and beyond a minimal forwarder.
//
// BM_AlsaHubLatency holds the engine on the real ALSA service in this process
// with a PollMainQueue (the app's port 1 destination → Router → the app's port
// 2 source) and a probe: a sequencer client of its own, driven by libasound
// from a thread of its own. Once per millisecond, at a random point of it, the probe
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
// BM_AlsaServerLatency measures the same route through the built velorin-server
// executable, started as a child process twice: headless (no display variable
// set, so it builds no window) and with its window on Qt's offscreen platform.
// Each child gets private XDG folders and a settings file, written with the
// server's own store and routing code, that turns on the additional ports and
// routes port 1 → Router → port 2. The peer is a forwarder written here: a
// client whose one thread blocks on the sequencer and re-sends every event it
// reads to its readable port's subscribers, nothing else. The server connects
// every subscribable source it finds and cannot be told otherwise, so the
// paths run in three phases, each paced as above and interleaved note by note:
//   1. no server: direct, forwarder and process forwarder;
//   2. server headless: forwarder, process forwarder and server;
//   3. server with its window: forwarder, process forwarder and server.
// The process forwarder is the same forwarder in a process of its own (this
// program started again): like the server, and unlike the forwarder thread
// beside the probe, it makes the kernel switch address spaces twice per note,
// which costs much more under an emulated CPU than on real hardware.
// Midi Through is used in phase 1 only (the server listens to it later), and
// the forwarders' readable ports are not subscribable by others (they connect
// themselves to the probe), so neither echo ever wakes the server. Counters in µs:
// direct_*, forwarder_* and process_forwarder_* (phase 1), headless_* and
// window_* (p50, p99, max); headless_peer_* and window_peer_* (p50, p99) are
// the forwarder's in phases 2 and 3, and headless_p50_ratio, headless_p99_ratio,
// window_p50_ratio and window_p99_ratio divide the server's figure by them;
// headless_process_peer_* and headless_process_p50_ratio (and so on) do the
// same with the process forwarder. Each server's exit status after SIGTERM must be 0, and
// its realtime priority lines are copied to standard error.
//
// Options: --notes=N (or VELORIN_BENCH_NOTES) notes per path and phase, default
// 10000; --server=PATH (or VELORIN_SERVER) the executable, default the one this
// build made. --forwarder-for=CLIENT:PORT is the process forwarder's own mode.
//
// Needs /dev/snd/seq with the snd-seq-dummy module loaded (it provides Midi
// Through); reports an error and measures nothing otherwise.
#include <alsa/asoundlib.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "LatencySamples.hpp"
#include "core/MemorySettingsStore.hpp"
#include "core/PollMainQueue.hpp"
#include "engine/AppVirtualMIDIPort.hpp"
#include "engine/MIDIEngine.hpp"
#include "engine/MIDIRoutingStore.hpp"
#include "link/LinkClock.hpp"
#include "log/LogStore.hpp"
#include "platform/alsa/AlsaMIDIService.hpp"
#include "support/FakeLinkSession.hpp"
#if defined(VELORIN_BENCH_SERVER)
#include "platform/qt/QSettingsStore.hpp"
#endif

extern char** environ;

namespace velorin {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kWarmUpNotes = 200;
constexpr auto kPace = std::chrono::milliseconds(1);
constexpr auto kReplyTimeout = std::chrono::milliseconds(500);
// How long a server may take to show its ports and pass its first note, and
// to exit after SIGTERM (generous: the VM runs code about ten times slower).
constexpr auto kServerStartTimeout = std::chrono::seconds(90);
constexpr auto kServerStopTimeout = std::chrono::seconds(30);
// Quiet time after the first note has passed, so that what the server still
// does at start-up (the window, the first inventory lines) is over before the
// measured notes.
constexpr auto kServerSettleTime = std::chrono::seconds(2);

// Notes per path and phase, and the server executable (see main()).
std::size_t gNotes = 10'000;
std::string gServerPath =
#if defined(VELORIN_BENCH_SERVER)
    VELORIN_BENCH_SERVER;
#else
    "";
#endif

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

    snd_seq_addr_t address() const {
        return {static_cast<unsigned char>(snd_seq_client_id(seq_)), static_cast<unsigned char>(port_)};
    }

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
    void stopListeningTo(const snd_seq_addr_t& source) {
        snd_seq_disconnect_from(seq_, port_, source.client, source.port);
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

// The least a program can do to pass notes between two sequencer ports: a
// client with a writable port "in" and a readable port "out", and one thread
// that blocks reading the sequencer and re-sends every event it gets to the
// subscribers of "out" at once. "out" is not subscribable by other clients,
// so a server that connects every source it finds never listens to it; the
// forwarder subscribes the listener itself before its thread starts.
class Forwarder {
public:
    explicit Forwarder(const snd_seq_addr_t& listener) {
        if (snd_seq_open(&seq_, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0) {
            seq_ = nullptr;
            return;
        }
        snd_seq_set_client_name(seq_, "Latency Forwarder");
        in_ = snd_seq_create_simple_port(seq_, "in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                         SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        out_ = snd_seq_create_simple_port(seq_, "out", SND_SEQ_PORT_CAP_READ,
                                          SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        if (in_ < 0 || out_ < 0 || snd_seq_connect_to(seq_, out_, listener.client, listener.port) < 0) return;
        thread_ = std::thread([this] { run(); });
    }
    ~Forwarder() {
        if (thread_.joinable()) {
            // Wakes the blocking read with an event to the forwarder's own
            // input (written by the kernel, not buffered, so this thread's
            // write does not touch the reader's state); the reader sees the
            // flag and ends without passing it on.
            stopping_.store(true);
            snd_seq_event_t wake;
            snd_seq_ev_clear(&wake);
            snd_seq_ev_set_source(&wake, static_cast<unsigned char>(in_));
            snd_seq_ev_set_dest(&wake, input().client, input().port);
            snd_seq_ev_set_direct(&wake);
            wake.type = SND_SEQ_EVENT_ECHO;
            snd_seq_event_output_direct(seq_, &wake);
            thread_.join();
        }
        if (seq_ != nullptr) snd_seq_close(seq_);
    }
    Forwarder(const Forwarder&) = delete;
    Forwarder& operator=(const Forwarder&) = delete;

    bool isRunning() const { return thread_.joinable(); }
    snd_seq_addr_t input() const {
        return {static_cast<unsigned char>(snd_seq_client_id(seq_)), static_cast<unsigned char>(in_)};
    }
    snd_seq_addr_t output() const {
        return {static_cast<unsigned char>(snd_seq_client_id(seq_)), static_cast<unsigned char>(out_)};
    }

private:
    void run() {
        for (;;) {
            snd_seq_event_t* event = nullptr;
            const int status = snd_seq_event_input(seq_, &event);
            if (stopping_.load()) return;
            if (status == -ENOSPC) continue;  // the input pool overran: events were lost, read on
            if (status < 0 || event == nullptr) return;
            snd_seq_ev_set_source(event, static_cast<unsigned char>(out_));
            snd_seq_ev_set_subs(event);
            snd_seq_ev_set_direct(event);
            snd_seq_event_output_direct(seq_, event);
        }
    }

    snd_seq_t* seq_ = nullptr;
    int in_ = -1;
    int out_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// "CLIENT:PORT", or nothing.
std::optional<snd_seq_addr_t> parseAddress(std::string_view text) {
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    int client = -1;
    int port = -1;
    const auto [clientEnd, clientError] = std::from_chars(text.data(), text.data() + colon, client);
    const auto [portEnd, portError] =
        std::from_chars(text.data() + colon + 1, text.data() + text.size(), port);
    if (clientError != std::errc() || portError != std::errc() || clientEnd != text.data() + colon ||
        portEnd != text.data() + text.size() || client < 0 || client > 255 || port < 0 || port > 255)
        return std::nullopt;
    return snd_seq_addr_t{static_cast<unsigned char>(client), static_cast<unsigned char>(port)};
}

std::string formatAddress(const snd_seq_addr_t& address) {
    return std::to_string(address.client) + ":" + std::to_string(address.port);
}

// The process forwarder's side (--forwarder-for): a Forwarder to `listener`,
// its input and output written to standard output as one line "C:P C:P", then
// kept until standard input ends. The exit status is 0 when it ran.
int runForwarderProcess(const snd_seq_addr_t& listener) {
    const Forwarder forwarder(listener);
    if (!forwarder.isRunning()) return 1;
    const std::string line =
        formatAddress(forwarder.input()) + " " + formatAddress(forwarder.output()) + "\n";
    if (::write(STDOUT_FILENO, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return 1;
    char ignored[64];
    while (::read(STDIN_FILENO, ignored, sizeof ignored) > 0) {
    }
    return 0;
}

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

// One way for a note to go out and come back: sent to `destination`, expected
// back from `replier`.
struct Path {
    snd_seq_addr_t destination;
    snd_seq_addr_t replier;
    std::string name;
};

struct RoundTrips {
    std::vector<std::vector<double>> samples;  // µs, one list per path
    // Which path lost a note (the run stops there), or empty.
    std::string lost;
};

// `count` notes, one per millisecond, each sent along every path in turn on
// the calling thread. Each note leaves at a random point of its millisecond
// (the same points every run): on a strict grid the notes would lock in phase
// with a server's periodic timers (a 100 ms one, the Link poll, meets every 100th
// note), so one timer's turn would meet the same note each period and alone
// decide whether the p99 grows, run by run. Players' notes keep no such phase.
RoundTrips runPaced(Probe& probe, std::size_t count, std::span<const Path> paths) {
    RoundTrips trips;
    trips.samples.resize(paths.size());
    for (auto& samples : trips.samples) samples.reserve(count);
    std::minstd_rand random(20261211);
    std::uniform_int_distribution<long> offset(0, std::chrono::nanoseconds(kPace).count() - 1);
    const auto start = Clock::now();
    for (std::size_t i = 0; i < count; ++i) {
        std::this_thread::sleep_until(start + kPace * static_cast<long>(i) +
                                      std::chrono::nanoseconds(offset(random)));
        for (std::size_t p = 0; p < paths.size(); ++p) {
            const auto trip = probe.roundTrip(i, paths[p].destination, paths[p].replier);
            if (!trip) {
                trips.lost = paths[p].name;
                return trips;
            }
            trips.samples[p].push_back(bench::micros(*trip));
        }
    }
    return trips;
}

// runPaced on a thread of its own while the main thread runs the engine's loop.
RoundTrips measure(Hub& hub, Probe& probe, std::size_t count, std::span<const Path> paths) {
    RoundTrips trips;
    std::atomic<bool> done{false};
    std::thread prober([&] {
        trips = runPaced(probe, count, paths);
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

    const Path paths[] = {{*thru, *thru, "Midi Through"}, {*ourDestination, *ourSource, "Velorin Server"}};
    if (const auto warmUp = measure(hub, probe, kWarmUpNotes, paths); !warmUp.lost.empty()) {
        state.SkipWithError(("a note did not come back through " + warmUp.lost).c_str());
        return;
    }
    for (auto _ : state) {
        const RoundTrips trips = measure(hub, probe, gNotes, paths);
        if (!trips.lost.empty()) {
            state.SkipWithError(("a note did not come back through " + trips.lost).c_str());
            return;
        }
        const bench::LatencySummary direct = bench::summarize(trips.samples[0]);
        const bench::LatencySummary ours = bench::summarize(trips.samples[1]);
        bench::reportLatency(state, "direct", direct);
        bench::reportLatency(state, "hub", ours);
        state.counters["added_p50_us"] = ours.p50 - direct.p50;
        state.counters["added_p99_us"] = ours.p99 - direct.p99;
        state.counters["p99_ratio"] = ours.p99 / direct.p99;
    }
}
BENCHMARK(BM_AlsaHubLatency)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

#if defined(VELORIN_BENCH_SERVER)

// The velorin-server executable as a child process: private XDG folders under
// a temporary folder, a settings file with the route port 1 → Router → port 2
// and the additional ports on, standard error kept in server.log there.
class ServerProcess {
public:
    enum class Display { headless, offscreen };

    ServerProcess(const std::string& executable, Display display) {
        std::string pattern = (std::filesystem::temp_directory_path() / "velorin-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            error_ = "cannot create a temporary folder";
            return;
        }
        work_ = pattern;
        const auto config = work_ / "config";
        const auto data = work_ / "data";
        const auto runtime = work_ / "runtime";
        std::error_code ignored;
        std::filesystem::create_directories(config, ignored);
        std::filesystem::create_directories(data, ignored);
        if (::mkdir(runtime.c_str(), 0700) != 0) {
            error_ = "cannot create the runtime folder";
            return;
        }
        if (!writeSettings(config / "Velorin" / "Velorin Server.conf")) return;
        spawn(executable, display, config, data, runtime);
    }
    ~ServerProcess() {
        if (pid_ > 0) {
            // Still running: the benchmark failed before stopping it.
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (!work_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(work_, ignored);
        }
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Why it did not start, or empty.
    const std::string& error() const { return error_; }

    bool isRunning() {
        if (pid_ <= 0) return false;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            error_ = "the server exited early (" + describe(status) + ")";
            return false;
        }
        return true;
    }

    // SIGTERM, then waits for the exit. Empty when the server exited with
    // status 0, else what happened.
    std::string stop() {
        if (!isRunning()) return error_.empty() ? "the server was not running" : error_;
        ::kill(pid_, SIGTERM);
        const auto deadline = Clock::now() + kServerStopTimeout;
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) != pid_) {
            if (Clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
                pid_ = -1;
                return "the server did not exit after SIGTERM";
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        pid_ = -1;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "" : describe(status);
    }

    // The log lines that contain `text`.
    std::vector<std::string> logLinesWith(std::string_view text) const {
        std::vector<std::string> lines;
        std::ifstream log(work_ / "server.log");
        for (std::string line; std::getline(log, line);) {
            if (line.find(text) != std::string::npos) lines.push_back(line);
        }
        return lines;
    }

private:
    static std::string describe(int status) {
        if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
        if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
        return "status " + std::to_string(status);
    }

    // Through the server's own store and routing code, as the tests' settings
    // writer does.
    bool writeSettings(const std::filesystem::path& file) {
        QSettingsStore settings(file.string());
        settings.set(AppVirtualMIDIPortPreferences::kAdditionalPortsEnabledKey, true);
        MIDIRoutingStore routing(settings);
        routing.setInputAssignment(true, AppVirtualMIDIPortDescriptor::forNumber(1).inputKey,
                                   MIDIEngine::kRouterID, "inputs");
        routing.setOutputAssignment(true, AppVirtualMIDIPortDescriptor::forNumber(2).outputKey,
                                    MIDIEngine::kRouterID, "outputs");
        if (settings.hasWriteFailed()) error_ = "cannot write " + file.string();
        return error_.empty();
    }

    void spawn(const std::string& executable, Display display, const std::filesystem::path& config,
               const std::filesystem::path& data, const std::filesystem::path& runtime) {
        // This process's environment without a display, a session bus or
        // folders of the user's; the offscreen platform names a display.
        std::vector<std::string> environment;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string_view text = *entry;
            const std::string_view name = text.substr(0, text.find('='));
            if (name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name == "QT_QPA_PLATFORM" ||
                name == "DBUS_SESSION_BUS_ADDRESS" || name == "XDG_CONFIG_HOME" || name == "XDG_DATA_HOME" ||
                name == "XDG_RUNTIME_DIR" || name == "USBMUXD_SOCKET_ADDRESS")
                continue;
            environment.emplace_back(text);
        }
        environment.push_back("XDG_CONFIG_HOME=" + config.string());
        environment.push_back("XDG_DATA_HOME=" + data.string());
        environment.push_back("XDG_RUNTIME_DIR=" + runtime.string());
        // A socket nothing listens on: the USB side looks for no real daemon.
        environment.push_back("USBMUXD_SOCKET_ADDRESS=UNIX:" + (work_ / "usbmuxd.sock").string());
        if (display == Display::offscreen) environment.emplace_back("QT_QPA_PLATFORM=offscreen");
        std::vector<char*> envp;
        for (auto& entry : environment) envp.push_back(entry.data());
        envp.push_back(nullptr);
        std::string program = executable;
        char* argv[] = {program.data(), nullptr};

        const std::string log = (work_ / "server.log").string();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        pid_t pid = -1;
        const int status = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (status != 0) {
            error_ = "cannot start " + executable + ": " + std::strerror(status);
            return;
        }
        pid_ = pid;
    }

    std::filesystem::path work_;
    pid_t pid_ = -1;
    std::string error_;
};

// The forwarder in a process of its own: this program started again with
// --forwarder-for, ended by closing its standard input.
class ForwarderProcess {
public:
    explicit ForwarderProcess(const snd_seq_addr_t& listener) {
        int toChild[2] = {-1, -1};
        int fromChild[2] = {-1, -1};
        if (::pipe2(toChild, O_CLOEXEC) != 0) return;
        if (::pipe2(fromChild, O_CLOEXEC) != 0) {
            ::close(toChild[0]);
            ::close(toChild[1]);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
        std::string program = "/proc/self/exe";
        std::string option = "--forwarder-for=" + formatAddress(listener);
        char* argv[] = {program.data(), option.data(), nullptr};
        pid_t pid = -1;
        const int status = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(toChild[0]);
        ::close(fromChild[1]);
        input_ = toChild[1];
        if (status != 0) {
            ::close(fromChild[0]);
            return;
        }
        pid_ = pid;
        // One line with both addresses, or nothing when the child failed.
        std::string line;
        char c = 0;
        while (line.size() < 64 && ::read(fromChild[0], &c, 1) == 1 && c != '\n') line.push_back(c);
        ::close(fromChild[0]);
        const auto space = line.find(' ');
        if (space == std::string::npos) return;
        in_ = parseAddress(std::string_view(line).substr(0, space));
        out_ = parseAddress(std::string_view(line).substr(space + 1));
    }
    ~ForwarderProcess() {
        if (input_ >= 0) ::close(input_);
        if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
    }
    ForwarderProcess(const ForwarderProcess&) = delete;
    ForwarderProcess& operator=(const ForwarderProcess&) = delete;

    bool isRunning() const { return in_.has_value() && out_.has_value(); }
    snd_seq_addr_t input() const { return *in_; }
    snd_seq_addr_t output() const { return *out_; }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    std::optional<snd_seq_addr_t> in_;
    std::optional<snd_seq_addr_t> out_;
};

// The server's ports, looked up by name once it shows them.
struct ServerPorts {
    snd_seq_addr_t destination{};
    snd_seq_addr_t source{};
};

// Waits until the server shows "Velorin Server" (destination) and "Velorin
// Server 2" (source) and a note passes from one to the other.
std::optional<ServerPorts> awaitServer(ServerProcess& server, Probe& probe, std::string& error) {
    const auto deadline = Clock::now() + kServerStartTimeout;
    std::optional<snd_seq_addr_t> destination;
    std::optional<snd_seq_addr_t> source;
    while (!destination || !source) {
        if (!server.isRunning()) {
            error = server.error();
            return std::nullopt;
        }
        if (Clock::now() > deadline) {
            error = "the server's ports did not appear";
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        destination = probe.find(MIDIEngine::kClientName, "Velorin Server",
                                 SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE);
        source = probe.find(MIDIEngine::kClientName, "Velorin Server 2",
                            SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
    }
    if (!probe.listenTo(*source)) {
        error = "cannot listen to the server's source";
        return std::nullopt;
    }
    // The route holds once the server has read its settings and taken its
    // ports into the inventory: until then notes are dropped.
    while (!probe.roundTrip(0, *destination, *source)) {
        if (!server.isRunning()) {
            error = server.error();
            return std::nullopt;
        }
        if (Clock::now() > deadline) {
            error = "no note came back through the server";
            return std::nullopt;
        }
    }
    std::this_thread::sleep_for(kServerSettleTime);
    return ServerPorts{*destination, *source};
}

// One phase with a server: its samples, or an error.
struct ServerPhase {
    std::vector<double> forwarder;
    std::vector<double> processForwarder;
    std::vector<double> server;
    std::string error;
};

ServerPhase measureServer(ServerProcess::Display display, Probe& probe, const Path& forwarder,
                          const Path& processForwarder) {
    const char* mode = display == ServerProcess::Display::headless ? "headless" : "window";
    ServerPhase phase;
    ServerProcess server(gServerPath, display);
    if (!server.error().empty()) {
        phase.error = std::string(mode) + ": " + server.error();
        return phase;
    }
    std::string error;
    const auto ports = awaitServer(server, probe, error);
    if (!ports) {
        phase.error = std::string(mode) + ": " + error;
        return phase;
    }
    const Path paths[] = {
        forwarder, processForwarder, {ports->destination, ports->source, std::string("the server, ") + mode}};
    auto trips = runPaced(probe, kWarmUpNotes, paths);
    if (trips.lost.empty()) trips = runPaced(probe, gNotes, paths);
    // The server's stop silences every note on its outputs; the probe need not hear that.
    probe.stopListeningTo(ports->source);
    const std::string stopped = server.stop();
    for (const auto& line : server.logLinesWith("priority"))
        std::fprintf(stderr, "[%s] %s\n", mode, line.c_str());
    if (!trips.lost.empty()) {
        phase.error = "a note did not come back through " + trips.lost;
    } else if (!stopped.empty()) {
        phase.error = std::string(mode) + ": " + stopped;
    } else {
        phase.forwarder = std::move(trips.samples[0]);
        phase.processForwarder = std::move(trips.samples[1]);
        phase.server = std::move(trips.samples[2]);
    }
    return phase;
}

void BM_AlsaServerLatency(benchmark::State& state) {
    if (const MIDIStatus status = AlsaMIDIService::probe(); status != 0) {
        state.SkipWithError(("no ALSA sequencer (status " + std::to_string(status) + ")").c_str());
        return;
    }
    if (::access(gServerPath.c_str(), X_OK) != 0) {
        state.SkipWithError(("no executable server at " + gServerPath).c_str());
        return;
    }
    Probe probe;
    const auto thru = probe.find("Midi Through", "", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
    if (!probe.isOpen() || !thru || !probe.listenTo(*thru)) {
        state.SkipWithError("the probe or Midi Through is not there");
        return;
    }
    const Forwarder forwarder(probe.address());
    if (!forwarder.isRunning()) {
        state.SkipWithError("the forwarder did not start");
        return;
    }
    const ForwarderProcess forwarderProcess(probe.address());
    if (!forwarderProcess.isRunning()) {
        state.SkipWithError("the process forwarder did not start");
        return;
    }
    const Path direct{*thru, *thru, "Midi Through"};
    const Path forwarded{forwarder.input(), forwarder.output(), "the forwarder"};
    const Path processForwarded{forwarderProcess.input(), forwarderProcess.output(), "the process forwarder"};

    for (auto _ : state) {
        // Phase 1, no server running: direct and forwarder.
        const Path firstPaths[] = {direct, forwarded, processForwarded};
        auto first = runPaced(probe, kWarmUpNotes, firstPaths);
        if (first.lost.empty()) first = runPaced(probe, gNotes, firstPaths);
        if (!first.lost.empty()) {
            state.SkipWithError(("a note did not come back through " + first.lost).c_str());
            return;
        }
        // Phases 2 and 3: the server headless, then with its window.
        const ServerPhase headless =
            measureServer(ServerProcess::Display::headless, probe, forwarded, processForwarded);
        if (!headless.error.empty()) {
            state.SkipWithError(headless.error.c_str());
            return;
        }
        const ServerPhase window =
            measureServer(ServerProcess::Display::offscreen, probe, forwarded, processForwarded);
        if (!window.error.empty()) {
            state.SkipWithError(window.error.c_str());
            return;
        }

        bench::reportLatency(state, "direct", bench::summarize(first.samples[0]));
        bench::reportLatency(state, "forwarder", bench::summarize(first.samples[1]));
        bench::reportLatency(state, "process_forwarder", bench::summarize(first.samples[2]));
        const auto reportServer = [&](const std::string& name, const ServerPhase& phase) {
            const bench::LatencySummary server = bench::summarize(phase.server);
            const bench::LatencySummary peer = bench::summarize(phase.forwarder);
            bench::reportLatency(state, name, server);
            state.counters[name + "_peer_p50_us"] = peer.p50;
            state.counters[name + "_peer_p99_us"] = peer.p99;
            state.counters[name + "_p50_ratio"] = server.p50 / peer.p50;
            state.counters[name + "_p99_ratio"] = server.p99 / peer.p99;
            const bench::LatencySummary processPeer = bench::summarize(phase.processForwarder);
            state.counters[name + "_process_peer_p50_us"] = processPeer.p50;
            state.counters[name + "_process_peer_p99_us"] = processPeer.p99;
            state.counters[name + "_process_p50_ratio"] = server.p50 / processPeer.p50;
            state.counters[name + "_process_p99_ratio"] = server.p99 / processPeer.p99;
        };
        reportServer("headless", headless);
        reportServer("window", window);
    }
}
BENCHMARK(BM_AlsaServerLatency)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

#endif

// A count from an option's or variable's text, or nothing.
std::optional<std::size_t> parseCount(std::string_view text) {
    std::size_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value == 0) return std::nullopt;
    return value;
}

}  // namespace
}  // namespace velorin

// Google Benchmark's options, then this program's own: --notes=N and
// --server=PATH (over VELORIN_BENCH_NOTES and VELORIN_SERVER).
int main(int argc, char** argv) {
    if (argc == 2 && std::string_view(argv[1]).starts_with("--forwarder-for=")) {
        const auto listener = velorin::parseAddress(std::string_view(argv[1]).substr(16));
        return listener ? velorin::runForwarderProcess(*listener) : 1;
    }
    benchmark::Initialize(&argc, argv);
    if (const char* notes = std::getenv("VELORIN_BENCH_NOTES"); notes != nullptr) {
        if (const auto count = velorin::parseCount(notes)) velorin::gNotes = *count;
    }
    if (const char* server = std::getenv("VELORIN_SERVER"); server != nullptr && *server != '\0')
        velorin::gServerPath = server;
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (option.starts_with("--notes=")) {
            const auto count = velorin::parseCount(option.substr(8));
            if (!count) {
                std::fprintf(stderr, "%s: --notes wants a positive count\n", argv[0]);
                return 1;
            }
            velorin::gNotes = *count;
        } else if (option.starts_with("--server=")) {
            velorin::gServerPath = option.substr(9);
        } else {
            rest.push_back(argv[i]);
        }
    }
    int restCount = static_cast<int>(rest.size());
    if (benchmark::ReportUnrecognizedArguments(restCount, rest.data())) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
