// Hub-added latency: the time from a note leaving the MIDI service's reader
// thread to the engine's send of it reaching the service.
//
// A producer thread plays the reader thread: every 100 µs it takes a timestamp
// and hands the engine's input-port callback one packet holding one note
// (note-ons and note-offs in turn). The service's send is a sink that takes
// the second timestamp on the main thread. Routing: one source → Router → one
// destination. Two main loops:
//   Poll  the engine alone on a PollMainQueue;
//   Qt    the whole application on the Qt event loop (offscreen platform),
//         each published line formatted for the terminal (written to
//         /dev/null), with the main window shown and its log pane showing the
//         log (window:1), or never shown, the engine started directly
//         (window:0): the window's own cost is the difference.
// Each with "log all" off and on (log_all:1 logs every note on the way in and
// out, and the log publishes a batch every 67 ms).
// The peer, measured in the same run on the same loop and at the same pace: a
// bare post, where the producer posts an empty job that only takes the second
// timestamp. Counters in µs: post_* and hub_* (p50, p99, max), p99_ratio =
// hub_p99 / post_p99, pace_us, the producer's mean interval, and stall_us,
// the main thread's longest stall while the notes ran: the largest delay of a
// 1 ms repeating timer on the main loop beyond its interval.
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
#include "engine/MIDIEndpointRegistration.hpp"
#include "engine/MIDIEngine.hpp"
#include "link/LinkClock.hpp"
#include "log/LogStore.hpp"
#include "platform/qt/QtMainQueue.hpp"
#include "support/FakeLinkSession.hpp"
#include "ui/LogPaneView.hpp"
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
constexpr std::int32_t kSourceID = 0x42430001;
constexpr std::int32_t kDestinationID = 0x42430002;

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

// A MIDI service with one external source and one external destination. The
// source's packets come from whichever thread calls deliver(), as from a reader
// thread; whatever is sent to the destination goes to the sink.
class BenchMIDIService final : public MIDIService {
public:
    explicit BenchMIDIService(ArrivalSink& sink) : sink_(sink) {}

    // Any thread, once the input port exists.
    void deliver(MIDIPacketList&& packets) {
        if (connected_) receive_(std::move(packets), kSourceRef);
    }

    MIDIRefResult createClient(std::string_view, NotifyCallback) override { return {0, 10}; }
    MIDIRefResult createInputPort(MIDIObjectRef, std::string_view, ReceiveCallback receive) override {
        receive_ = std::move(receive);
        return {0, 11};
    }
    MIDIRefResult createOutputPort(MIDIObjectRef, std::string_view) override { return {0, 12}; }
    MIDIStatus connectSource(MIDIObjectRef, MIDIObjectRef source, MIDIObjectRef) override {
        if (source != kSourceRef) return -ENOENT;
        connected_ = true;
        return 0;
    }
    MIDIStatus disconnectSource(MIDIObjectRef, MIDIObjectRef) override {
        connected_ = false;
        return 0;
    }
    std::size_t sourceCount() override { return 1; }
    MIDIObjectRef source(std::size_t index) override { return index == 0 ? kSourceRef : 0; }
    std::size_t destinationCount() override { return 1; }
    MIDIObjectRef destination(std::size_t index) override { return index == 0 ? kDestinationRef : 0; }
    MIDIStatus uniqueID(MIDIObjectRef endpoint, std::int32_t& id) const override {
        if (endpoint != kSourceRef && endpoint != kDestinationRef) return -ENOENT;
        id = endpoint == kSourceRef ? kSourceID : kDestinationID;
        return 0;
    }
    MIDIStatus displayName(MIDIObjectRef endpoint, std::string& name) const override {
        if (endpoint != kSourceRef && endpoint != kDestinationRef) return -ENOENT;
        name = endpoint == kSourceRef ? "Bench Keyboard" : "Bench Synth";
        return 0;
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
    ArrivalSink& sink_;
    ReceiveCallback receive_;
    std::atomic<bool> connected_{false};
    MIDIObjectRef nextVirtualRef_ = 100;
};

// The engine with its main loop, routed source → Router → destination.
class Hub {
public:
    virtual ~Hub() = default;
    virtual MainQueue& queue() = 0;
    virtual BenchMIDIService& service() = 0;
    // Main thread: runs the loop until stopLoop() or until `limit` has passed.
    virtual void runLoop(Clock::duration limit) = 0;
    virtual void stopLoop() = 0;

    ArrivalSink sink;
    // Whether the engine started with the source routed to the destination.
    bool ready = false;

protected:
    // False when the engine did not start or does not listen to the source.
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

// The whole application on the Qt event loop, its window shown.
class QtWindowHub final : public Hub {
public:
    QtWindowHub(bool logAll, bool showWindow) {
        auto service = std::make_unique<BenchMIDIService>(sink);
        service_ = service.get();
        VelorinServerApplication::Platform platform;
        platform.queue = &queue_;
        platform.settings = &settings_;
        platform.midiService = std::move(service);
        platform.linkSession = std::make_unique<test::FakeLinkSession>(queue_);
        platform.usb = std::nullopt;
        platform.mirrorLogToStandardError = false;
        app_ = std::make_unique<VelorinServerApplication>(std::move(platform));
        // The terminal mirror's work on every published line, minus the terminal.
        app_->logStore().setPublishedEntryHandler(
            [out = devNull_.get()](const LogEntry& entry) { writeTerminalLogLine(entry, out); });
        if (app_->logStore().isLoggingAllMIDIEvents() != logAll)
            app_->logStore().toggleLoggingAllMIDIEvents();
        if (showWindow) {
            app_->showWindow();  // starts the engine
        } else {
            app_->engine().start();
        }
        QCoreApplication::processEvents();
        ready = devNull_ != nullptr && route(app_->engine());
    }
    MainQueue& queue() override { return queue_; }
    BenchMIDIService& service() override { return *service_; }
    void runLoop(Clock::duration limit) override {
        QEventLoop loop;
        loop_ = &loop;
        QTimer::singleShot(std::chrono::duration_cast<std::chrono::milliseconds>(limit), &loop,
                           &QEventLoop::quit);
        loop.exec();
        loop_ = nullptr;
    }
    void stopLoop() override {
        if (loop_ != nullptr) loop_->quit();
    }

private:
    struct FileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    QtMainQueue queue_;
    MemorySettingsStore settings_;
    std::unique_ptr<std::FILE, FileCloser> devNull_{std::fopen("/dev/null", "w")};
    BenchMIDIService* service_ = nullptr;
    std::unique_ptr<VelorinServerApplication> app_;
    QEventLoop* loop_ = nullptr;
};

struct Measured {
    std::vector<double> latencies;  // µs, in hand-over order
    double paceMicros = 0;
    double longestStallMicros = 0;
    bool complete = false;
    std::size_t mismatches = 0;
};

// The main thread's longest stall: a repeating timer on the hub's main loop
// notes how much later than its interval each tick comes.
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
    hub.sink.expect(count, [&hub] { hub.stopLoop(); });
    std::vector<Clock::time_point> departures(count);
    const StallProbe stalls(hub.queue());
    std::thread producer([&] {
        ::prctl(PR_SET_TIMERSLACK, 1UL);
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
    result.longestStallMicros = stalls.longestStallMicros();
    result.complete = hub.sink.arrived() == count;
    result.mismatches = hub.sink.mismatches();
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

// Arguments: window shown, "log all", the pace in µs.
void BM_QtHubLatency(benchmark::State& state) {
    QtWindowHub hub(state.range(1) != 0, state.range(0) != 0);
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
// The window under load is window:1 log_all:1 pace_us:100 (10 s of notes);
// window:0 is the same application without it.
BENCHMARK(BM_QtHubLatency)
    ->Name("BM_HubLatency/Qt")
    ->ArgNames({"window", "log_all", "pace_us"})
    ->Args({1, 0, 100})
    ->Args({1, 1, 100})
    ->Args({0, 1, 100})
    ->Args({1, 1, 1000})
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
