// SPDX-License-Identifier: GPL-3.0-or-later
// Hub-added latency: the time from a note leaving the MIDI service's reader
// thread to the engine's send of it reaching the service.
//
// A producer thread plays the reader thread, at the reader's realtime priority
// where the system grants it: every 100 µs it takes a timestamp
// and hands the engine's input-port callback one packet holding one note
// (note-ons and note-offs in turn). The service's send is a sink that takes
// the second timestamp on the engine's thread. Routing: one source → Router →
// one destination. Two hubs:
//   Poll  the engine alone on a PollMainQueue run by the benchmark's thread;
//   Qt    the whole application as it runs: the engine on its own thread, the
//         Qt event loop on the benchmark's thread (offscreen platform), each
//         published line formatted for the terminal (written to /dev/null),
//         with the main window shown and its log pane showing the log
//         (window:1), or never shown, the engine started directly (window:0):
//         the window's own cost is the difference. With stress:1 the window is
//         kept busy meanwhile: its log pane full (20 000 rows), its routing
//         section rebuilt ten times a second (the selected morph switches),
//         the window resized every 100 ms, and a second source assigned to the
//         Octave Layer sends it a SysEx that switches a layer 100 times a
//         second (each switch a settings change and a new engine snapshot).
// Each with "log all" off and on (log_all:1 logs every note on the way in and
// out, and the log publishes a batch every 67 ms).
// The peer, measured in the same run on the same loop and at the same pace: a
// bare post, where the producer posts an empty job to the engine's queue that
// only takes the second timestamp. Counters in µs: post_* and hub_* (p50, p99,
// max), p99_ratio = hub_p99 / post_p99, pace_us, the producer's mean interval,
// and stall_us, the engine thread's longest stall while the notes ran: the
// largest delay of a 1 ms repeating timer on the engine's loop beyond its
// interval.
#include <benchmark/benchmark.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "LatencySamples.hpp"
#include "app/VelorinServerApplication.hpp"
#include "core/MemorySettingsStore.hpp"
#include "core/PollMainQueue.hpp"
#include "core/WriteBehindSettingsStore.hpp"
#include "engine/MIDIEndpointRegistration.hpp"
#include "engine/MIDIEngine.hpp"
#include "link/LinkClock.hpp"
#include "log/LogStore.hpp"
#include "platform/linux/RealtimePriority.hpp"
#include "platform/qt/QtMainQueue.hpp"
#include "support/FakeLinkSession.hpp"
#include "ui/LogPaneView.hpp"
#include "ui/MainWindow.hpp"
#include "ui/RoutingSectionView.hpp"
#include "ui/TerminalLogMirror.hpp"

namespace velorin {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kNotes = 100'000;
constexpr std::size_t kWarmUpNotes = 2'000;
// At slower paces a run lasts this long at most.
constexpr auto kMaxRunTime = std::chrono::seconds(10);

constexpr MIDIObjectRef kSourceRef = 1;
constexpr MIDIObjectRef kDestinationRef = 2;
constexpr MIDIObjectRef kControlSourceRef = 3;
constexpr std::int32_t kSourceID = 0x42430001;
constexpr std::int32_t kDestinationID = 0x42430002;
constexpr std::int32_t kControlSourceID = 0x42430003;

// The i-th note: a note-on and the note-off of the same key in turn.
std::array<std::uint8_t, 3> noteMessage(std::size_t i) {
    const auto key = static_cast<std::uint8_t>(48 + (i / 2) % 24);
    if (i % 2 == 0) return {0x90, key, 100};
    return {0x80, key, 0};
}

// Takes the arrival time of each expected event on the main thread, in order;
// notes are checked against the one expected next.
class ArrivalSink {
public:
    void expect(std::size_t count, std::function<void()> onComplete) {
        arrivals_.assign(count, {});
        arrived_ = 0;
        mismatches_ = 0;
        onComplete_ = std::move(onComplete);
    }
    // Empty bytes: a bare post, nothing to check.
    void arrive(std::span<const std::uint8_t> bytes = {}) {
        if (arrived_ == arrivals_.size()) return;
        arrivals_[arrived_] = Clock::now();
        if (!bytes.empty()) {
            const auto expected = noteMessage(arrived_);
            if (!std::equal(bytes.begin(), bytes.end(), expected.begin(), expected.end())) ++mismatches_;
        }
        if (++arrived_ == arrivals_.size()) onComplete_();
    }
    std::size_t arrived() const { return arrived_; }
    std::size_t mismatches() const { return mismatches_; }
    const std::vector<Clock::time_point>& arrivals() const { return arrivals_; }

private:
    std::vector<Clock::time_point> arrivals_;
    std::size_t arrived_ = 0;
    std::size_t mismatches_ = 0;
    std::function<void()> onComplete_;
};

// A MIDI service with two external sources (the notes' and a controller's) and
// one external destination. The sources' packets come from whichever thread
// calls deliver(), as from a reader thread; whatever is sent to the
// destination goes to the sink.
class BenchMIDIService final : public MIDIService {
public:
    explicit BenchMIDIService(ArrivalSink& sink) : sink_(sink) {}

    // Any thread, once the input port exists.
    void deliver(MIDIPacketList&& packets, MIDIObjectRef source = kSourceRef) {
        if (connected_.load() & bit(source)) receive_(std::move(packets), source);
    }

    MIDIRefResult createClient(std::string_view, NotifyCallback) override { return {0, 10}; }
    MIDIRefResult createInputPort(MIDIObjectRef, std::string_view, ReceiveCallback receive) override {
        receive_ = std::move(receive);
        return {0, 11};
    }
    MIDIRefResult createOutputPort(MIDIObjectRef, std::string_view) override { return {0, 12}; }
    MIDIStatus connectSource(MIDIObjectRef, MIDIObjectRef source, MIDIObjectRef) override {
        if (source != kSourceRef && source != kControlSourceRef) return -ENOENT;
        connected_ |= bit(source);
        return 0;
    }
    MIDIStatus disconnectSource(MIDIObjectRef, MIDIObjectRef source) override {
        connected_ &= ~bit(source);
        return 0;
    }
    std::size_t sourceCount() override { return 2; }
    MIDIObjectRef source(std::size_t index) override {
        return index == 0 ? kSourceRef : index == 1 ? kControlSourceRef : 0;
    }
    std::size_t destinationCount() override { return 1; }
    MIDIObjectRef destination(std::size_t index) override { return index == 0 ? kDestinationRef : 0; }
    MIDIStatus uniqueID(MIDIObjectRef endpoint, std::int32_t& id) const override {
        switch (endpoint) {
            case kSourceRef:
                id = kSourceID;
                return 0;
            case kDestinationRef:
                id = kDestinationID;
                return 0;
            case kControlSourceRef:
                id = kControlSourceID;
                return 0;
            default:
                return -ENOENT;
        }
    }
    MIDIStatus displayName(MIDIObjectRef endpoint, std::string& name) const override {
        switch (endpoint) {
            case kSourceRef:
                name = "Bench Keyboard";
                return 0;
            case kDestinationRef:
                name = "Bench Synth";
                return 0;
            case kControlSourceRef:
                name = "Bench Controller";
                return 0;
            default:
                return -ENOENT;
        }
    }
    MIDIStatus setUniqueID(MIDIObjectRef, std::int32_t) override { return 0; }
    MIDIRefResult createVirtualSource(MIDIObjectRef, std::string_view, std::int32_t) override {
        return {0, nextVirtualRef_++};
    }
    MIDIRefResult createVirtualDestination(MIDIObjectRef, std::string_view, std::int32_t,
                                           ReceiveCallback) override {
        return {0, nextVirtualRef_++};
    }
    MIDIStatus send(MIDIObjectRef, MIDIObjectRef destination, std::span<const std::uint8_t> bytes) override {
        if (destination == kDestinationRef) sink_.arrive(bytes);
        return 0;
    }
    MIDIStatus publish(MIDIObjectRef, std::span<const std::uint8_t>) override { return 0; }
    MIDIStatus disposeEndpoint(MIDIObjectRef) override { return 0; }
    MIDIStatus disposePort(MIDIObjectRef) override { return 0; }
    MIDIStatus disposeClient(MIDIObjectRef) override { return 0; }

private:
    static unsigned bit(MIDIObjectRef source) { return 1u << source; }

    ArrivalSink& sink_;
    ReceiveCallback receive_;
    std::atomic<unsigned> connected_{0};
    MIDIObjectRef nextVirtualRef_ = 100;
};

// The engine with its loop, routed source → Router → destination.
class Hub {
public:
    virtual ~Hub() = default;
    // The engine's queue.
    virtual MainQueue& queue() = 0;
    virtual BenchMIDIService& service() = 0;
    // Runs `job` on the engine's thread and returns when it ran.
    virtual void onEngineThread(const std::function<void()>& job) = 0;
    // The benchmark's thread: runs its loop until stopLoop() or until `limit` has passed.
    virtual void runLoop(Clock::duration limit) = 0;
    // Any thread.
    virtual void stopLoop() = 0;

    ArrivalSink sink;
    // Whether the engine started with the source routed to the destination.
    bool ready = false;

protected:
    // False when the engine did not start or does not listen to the source.
    // The engine's thread.
    static bool route(MIDIEngine& engine) {
        const std::string input = coreMIDIEndpointKey(kSourceID, kSourceRef);
        engine.setInputAssignment(true, input, MIDIEngine::kRouterID, "inputs");
        engine.setOutputAssignment(true, coreMIDIEndpointKey(kDestinationID, kDestinationRef),
                                   MIDIEngine::kRouterID, "outputs");
        return engine.isStarted() && engine.connectedInputEndpoints().contains(input);
    }
};

// The engine alone on a poll(2) loop.
class PollHub final : public Hub {
public:
    explicit PollHub(bool logAll) {
        if (logAll) log_->toggleLoggingAllMIDIEvents();
        engine_.start();
        ready = route(engine_);
    }
    MainQueue& queue() override { return queue_; }
    BenchMIDIService& service() override { return service_; }
    // The loop runs on the benchmark's thread, which calls this between runs.
    void onEngineThread(const std::function<void()>& job) override { job(); }
    void runLoop(Clock::duration limit) override { queue_.runFor(limit); }
    void stopLoop() override { queue_.stop(); }

private:
    PollMainQueue queue_;
    MemorySettingsStore settings_;
    std::shared_ptr<LogStore> log_ = LogStore::create(queue_, settings_);
    // Link stays disabled: the fake session never opens a socket anyway.
    LinkClock clock_{std::make_unique<test::FakeLinkSession>(queue_), *log_, settings_, queue_};
    LinkBeatScheduler scheduler_{clock_, *log_};
    MIDIActivityMonitor activity_;
    BenchMIDIService service_{sink};
    MIDIEngine engine_{MIDIEngine::Dependencies{.queue = queue_,
                                                .settings = settings_,
                                                .log = *log_,
                                                .linkClock = clock_,
                                                .scheduler = scheduler_,
                                                .activity = activity_,
                                                .linkLooperEnabled = true,
                                                .midiService = &service_}};
};

// The whole application: the engine on its own thread, the Qt event loop with
// the window (when shown) on this one.
class QtWindowHub final : public Hub {
public:
    QtWindowHub(bool logAll, bool showWindow, bool stress) {
        auto service = std::make_unique<BenchMIDIService>(sink);
        service_ = service.get();
        VelorinServerApplication::Platform platform;
        platform.queue = &queue_;
        // Written behind by a writer thread, as the user's file is.
        platform.settings = &settings_;
        platform.midiService = std::move(service);
        // The Link library's session, never enabled: no socket is opened.
        platform.usb = std::nullopt;
        platform.mirrorLogToStandardError = false;
        platform.withWindow = showWindow;
        app_ = std::make_unique<VelorinServerApplication>(std::move(platform));
        // The terminal mirror's work on every published line, minus the terminal.
        app_->logStore().setPublishedEntryHandler(
            [out = devNull_.get()](const LogEntry& entry) { writeTerminalLogLine(entry, out); });
        if (app_->logStore().isLoggingAllMIDIEvents() != logAll)
            app_->logStore().toggleLoggingAllMIDIEvents();
        if (showWindow) {
            app_->showWindow();  // starts the engine
        } else {
            app_->start();
        }
        QCoreApplication::processEvents();
        app_->onEngineThread([this, stress] {
            ready = devNull_ != nullptr && route(app_->engine());
            if (stress) {
                app_->engine().setInputAssignment(true,
                                                  coreMIDIEndpointKey(kControlSourceID, kControlSourceRef),
                                                  MIDIEngine::kOctaveLayerID, "inputs");
            }
        });
        if (stress && showWindow) startStress();
    }
    ~QtWindowHub() override { stopStress(); }

    MainQueue& queue() override { return app_->engineQueue(); }
    BenchMIDIService& service() override { return *service_; }
    void onEngineThread(const std::function<void()>& job) override { app_->onEngineThread(job); }
    void runLoop(Clock::duration limit) override {
        QEventLoop loop;
        loop_ = &loop;
        QTimer::singleShot(std::chrono::duration_cast<std::chrono::milliseconds>(limit), &loop,
                           &QEventLoop::quit);
        loop.exec();
        loop_ = nullptr;
    }
    // From the engine's thread, when the last note arrives.
    void stopLoop() override {
        queue_.post([this] {
            if (loop_ != nullptr) loop_->quit();
        });
    }
    void stopStress() {
        stressTimer_.reset();
        if (controller_.joinable()) {
            controllerStop_ = true;
            controller_.join();
        }
    }

private:
    static constexpr auto kStressInterval = std::chrono::milliseconds(100);
    static constexpr auto kControlInterval = std::chrono::milliseconds(10);

    // The window's share: a full log pane, then every 100 ms the routing
    // section rebuilt and the window resized; the controller's SysEx from a
    // thread of its own.
    void startStress() {
        for (std::size_t i = 0; i < LogStore::kMaxEntries; ++i) {
            app_->logStore().log("[MIDI] Stress line " + std::to_string(i));
        }
        app_->logStore().flush();
        QCoreApplication::processEvents();
        stressTimer_ = std::make_unique<QTimer>();
        QObject::connect(stressTimer_.get(), &QTimer::timeout, [this] {
            MainWindow& window = app_->window();
            RoutingSectionView& routing = window.routingSection();
            routing.setSelectedMorphKey(routing.selectedMorphKey() == MIDIEngine::kRouterID
                                            ? std::string(MIDIEngine::kLinkLooperID)
                                            : std::string(MIDIEngine::kRouterID));
            wide_ = !wide_;
            window.resize(wide_ ? 1300 : 1090, wide_ ? 800 : 692);
        });
        stressTimer_->start(kStressInterval);
        controller_ = std::thread([this] {
            ::prctl(PR_SET_TIMERSLACK, 1UL);
            for (std::uint8_t value = 0; !controllerStop_; value ^= 0x7F) {
                // The Octave Layer's +2 layer on or off.
                MIDIPacketList packets;
                packets.push_back(ByteArray{0xF0, 0x00, 0x01, 0x7E, 0x01, 0x02, 0x03, 0x00, value, 0xF7});
                service_->deliver(std::move(packets), kControlSourceRef);
                std::this_thread::sleep_for(kControlInterval);
            }
        });
    }

    struct FileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    QtMainQueue queue_;
    MemorySettingsStore storedSettings_;
    WriteBehindSettingsStore settings_{storedSettings_};
    std::unique_ptr<std::FILE, FileCloser> devNull_{std::fopen("/dev/null", "w")};
    BenchMIDIService* service_ = nullptr;
    std::unique_ptr<VelorinServerApplication> app_;
    QEventLoop* loop_ = nullptr;
    std::unique_ptr<QTimer> stressTimer_;
    bool wide_ = false;
    std::thread controller_;
    std::atomic<bool> controllerStop_{false};
};

struct Measured {
    std::vector<double> latencies;  // µs, in hand-over order
    double paceMicros = 0;
    double longestStallMicros = 0;
    bool complete = false;
    std::size_t mismatches = 0;
};

// The engine thread's longest stall: a repeating timer on the engine's loop
// notes how much later than its interval each tick comes. Made, read and
// ended on the engine's thread.
class StallProbe {
public:
    static constexpr auto kInterval = std::chrono::milliseconds(1);

    explicit StallProbe(MainQueue& queue) : last_(Clock::now()) {
        timer_ = queue.every(kInterval, [this] {
            const auto now = Clock::now();
            longest_ = std::max(longest_, now - last_ - Clock::duration(kInterval));
            last_ = now;
        });
    }
    double longestStallMicros() const { return bench::micros(longest_); }

private:
    Clock::time_point last_;
    Clock::duration longest_{0};
    TaskHandle timer_;
};

// Hands `count` events over from a producer thread, one every `pace` (timer
// slack at 1 ns so the pace holds), taking the departure time just before each
// hand-over, while the main thread runs the hub's loop until the sink has seen
// them all.
Measured measure(Hub& hub, std::size_t count, Clock::duration pace,
                 const std::function<void(std::size_t)>& handOver) {
    hub.onEngineThread([&hub, count] { hub.sink.expect(count, [&hub] { hub.stopLoop(); }); });
    std::vector<Clock::time_point> departures(count);
    std::unique_ptr<StallProbe> stalls;
    hub.onEngineThread([&] { stalls = std::make_unique<StallProbe>(hub.queue()); });
    std::thread producer([&] {
        ::prctl(PR_SET_TIMERSLACK, 1UL);
        // As the sequencer's reader thread asks for it (one above the engine's), where granted.
        RealtimePriority::request(RealtimeThread::current(), RealtimePriority::kDefaultPriority + 1);
        const auto start = Clock::now();
        for (std::size_t i = 0; i < count; ++i) {
            std::this_thread::sleep_until(start + pace * static_cast<long>(i));
            departures[i] = Clock::now();
            handOver(i);
        }
    });
    hub.runLoop(pace * static_cast<long>(count) + std::chrono::seconds(30));
    producer.join();

    Measured result;
    hub.onEngineThread([&] {
        result.longestStallMicros = stalls->longestStallMicros();
        stalls.reset();
        result.complete = hub.sink.arrived() == count;
        result.mismatches = hub.sink.mismatches();
    });
    if (!result.complete) return result;
    result.latencies.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        result.latencies.push_back(bench::micros(hub.sink.arrivals()[i] - departures[i]));
    }
    if (count > 1)
        result.paceMicros =
            bench::micros(departures.back() - departures.front()) / static_cast<double>(count - 1);
    return result;
}

Measured measureBarePost(Hub& hub, std::size_t count, Clock::duration pace) {
    ArrivalSink* sink = &hub.sink;
    return measure(hub, count, pace,
                   [&hub, sink](std::size_t) { hub.queue().post([sink] { sink->arrive(); }); });
}

Measured measureNotes(Hub& hub, std::size_t count, Clock::duration pace) {
    std::vector<MIDIPacketList> packets(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto message = noteMessage(i);
        packets[i].emplace_back(message.begin(), message.end());
    }
    return measure(hub, count, pace, [&](std::size_t i) { hub.service().deliver(std::move(packets[i])); });
}

void runHubLatency(benchmark::State& state, Hub& hub, std::chrono::microseconds pace) {
    if (!hub.ready) {
        state.SkipWithError("the engine did not start with the source routed to the destination");
        return;
    }
    const auto count = std::min<std::size_t>(kNotes, static_cast<std::size_t>(kMaxRunTime / pace));
    measureBarePost(hub, kWarmUpNotes, pace);
    measureNotes(hub, kWarmUpNotes, pace);
    for (auto _ : state) {
        const Measured post = measureBarePost(hub, count, pace);
        const Measured notes = measureNotes(hub, count, pace);
        if (!post.complete || !notes.complete || notes.mismatches != 0) {
            state.SkipWithError("events were lost or arrived out of order");
            return;
        }
        const bench::LatencySummary postSummary = bench::summarize(post.latencies);
        const bench::LatencySummary hubSummary = bench::summarize(notes.latencies);
        bench::reportLatency(state, "post", postSummary);
        bench::reportLatency(state, "hub", hubSummary);
        state.counters["p99_ratio"] = hubSummary.p99 / postSummary.p99;
        state.counters["pace_us"] = notes.paceMicros;
        state.counters["stall_us"] = notes.longestStallMicros;
    }
}

// Arguments: "log all", the pace in µs.
void BM_PollHubLatency(benchmark::State& state) {
    PollHub hub(state.range(0) != 0);
    runHubLatency(state, hub, std::chrono::microseconds(state.range(1)));
}

// Arguments: window shown, "log all", the pace in µs, the window under stress.
void BM_QtHubLatency(benchmark::State& state) {
    QtWindowHub hub(state.range(1) != 0, state.range(0) != 0, state.range(3) != 0);
    runHubLatency(state, hub, std::chrono::microseconds(state.range(2)));
}

// The log pane's share of the main thread, apart from any other load: one
// publication of 1 340 entries (67 ms of "log all" at 10 000 notes per
// second, an entry in and one out per note) into a shown pane already at the
// store's cap, with the rows trimmed and appended, the scroll to the newest
// and the repaint. Time per publication; pane:0 is the store's own part.
void BM_LogPanePublication(benchmark::State& state) {
    constexpr std::size_t kBatch = 1'340;
    QtMainQueue queue;
    MemorySettingsStore settings;
    const std::shared_ptr<LogStore> store = LogStore::create(queue, settings);
    std::unique_ptr<LogPaneView> pane;
    if (state.range(0) != 0) {
        pane = std::make_unique<LogPaneView>(store);
        pane->resize(1090, 400);
        pane->show();
    }
    const auto append = [&store](std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            store->logMIDI(MIDIEventLogDirection::input, std::string("Bench Keyboard"),
                           MIDIEvent::noteOnEvent(static_cast<std::int64_t>(48 + i % 24), 100, 0));
        }
    };
    append(LogStore::kMaxEntries);
    store->flush();
    QCoreApplication::processEvents();
    for (auto _ : state) {
        state.PauseTiming();
        append(kBatch);
        state.ResumeTiming();
        store->flush();
        QCoreApplication::processEvents();
    }
}
BENCHMARK(BM_LogPanePublication)
    ->ArgName("pane")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(200);

// Paces of 100 µs and 1000 µs: 10 000 and 1 000 events per second.
BENCHMARK(BM_PollHubLatency)
    ->Name("BM_HubLatency/Poll")
    ->ArgNames({"log_all", "pace_us"})
    ->Args({0, 100})
    ->Args({1, 100})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);
// The window under load is window:1 log_all:1 pace_us:100 stress:1 (10 s of
// notes); window:0 is the same application without it.
BENCHMARK(BM_QtHubLatency)
    ->Name("BM_HubLatency/Qt")
    ->ArgNames({"window", "log_all", "pace_us", "stress"})
    ->Args({1, 0, 100, 0})
    ->Args({1, 1, 100, 0})
    ->Args({1, 1, 100, 1})
    ->Args({0, 1, 100, 0})
    ->Args({1, 1, 1000, 1})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace velorin

// The window needs a QApplication; it runs on Qt's offscreen platform with a
// private runtime folder, so no display is needed.
int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    std::string runtime = "/tmp/velorin-bench-runtime-XXXXXX";
    if (::mkdtemp(runtime.data()) != nullptr) ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    {
        QApplication app(argc, argv);
        benchmark::RunSpecifiedBenchmarks();
    }
    benchmark::Shutdown();
    ::rmdir(runtime.c_str());
    return 0;
}
