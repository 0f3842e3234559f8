// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/ManualMainQueue.hpp"
#include "core/MemorySettingsStore.hpp"
#include "engine/MIDIEngine.hpp"
#include "link/LinkBeatScheduler.hpp"
#include "link/LinkClock.hpp"
#include "log/LogStore.hpp"
#include "support/FakeLinkSession.hpp"
#include "support/MIDIEngineTestAccess.hpp"

namespace velorin::testing {

// Records every send and accepts it unless the output is listed as refusing.
class RecordingTransport final : public MIDIOutputTransport {
public:
    struct Send {
        std::string key;
        MIDIEvent event;
        friend bool operator==(const Send&, const Send&) = default;
    };
    bool send(const MIDIOutputEndpointRegistration& output, const MIDIEvent& event) override {
        sent.push_back({output.presentation.id, event});
        if (stamp) stamps.push_back(stamp());
        return !refusing.contains(output.presentation.id);
    }
    std::vector<MIDIEvent> eventsTo(const std::string& key) const {
        std::vector<MIDIEvent> out;
        for (const auto& s : sent) {
            if (s.key == key) out.push_back(s.event);
        }
        return out;
    }
    std::vector<Send> sent;
    std::set<std::string> refusing;
    // When set, called at every send; its answers (e.g. the Link beat) go to `stamps`.
    std::function<double()> stamp;
    std::vector<double> stamps;
};

inline MIDIInputEndpointRegistration input(std::string key, std::string title) {
    return {{std::move(key), std::move(title), "External MIDI source"},
            MIDIInputEndpointRoute::coreMIDISource(1)};
}
inline MIDIOutputEndpointRegistration output(std::string key, std::string title) {
    return {{std::move(key), std::move(title), "External MIDI destination"},
            MIDIOutputEndpointRoute::coreMIDIDestination(2)};
}

inline std::vector<MIDIRawPacket> packet(ByteArray bytes) {
    return {MIDIRawPacket{std::move(bytes)}};
}

// An engine on virtual time with a fake Link session, a recording transport and
// an inventory of two inputs ("in-a" "Keys", "in-b" "Pads") and three outputs
// ("out-a" "Synth", "out-b" "Keys", "out-c" "Drums").
struct EngineHarness {
    // `latency`: where the engine records its latency (none when null).
    explicit EngineHarness(bool linkLooper = true, MIDILatencyMonitor* latency = nullptr) {
        auto fake = std::make_unique<test::FakeLinkSession>(queue);
        session = fake.get();
        clock = std::make_unique<LinkClock>(std::move(fake), *log, settings, queue);
        scheduler = std::make_unique<LinkBeatScheduler>(*clock, *log);
        MIDIEngine::Dependencies deps{queue, settings, *log, *clock, *scheduler, activity, linkLooper};
        deps.latency = latency;
        deps.linkControl = clock.get();
        engine = std::make_unique<MIDIEngine>(deps);
        engine->setOutputTransport(&transport);
        auto made = MIDIEndpointInventory::make(
            {input("in-a", "Keys"), input("in-b", "Pads")},
            {output("out-a", "Synth"), output("out-b", "Keys"), output("out-c", "Drums")});
        engine->setEndpointInventory(std::get<MIDIEndpointInventory>(std::move(made)));
    }
    ~EngineHarness() {
        engine.reset();
        scheduler.reset();
        clock.reset();
    }

    // Link enabled and playing, the timeline at `beat`.
    void runTransportAt(double beat) {
        session->enabled = true;
        session->playing = true;
        session->jumpToBeat(beat);
    }
    // Moves virtual time on until the (running) Link timeline reads `beat`.
    void advanceToBeat(double beat) {
        const double seconds = (beat - session->beatNow()) * 60.0 / session->tempo();
        if (seconds > 0) queue.advance(std::chrono::nanoseconds(std::llround(seconds * 1e9)));
    }
    void play(const std::string& inputKey, ByteArray bytes,
              std::optional<std::string_view> source = std::nullopt) {
        const auto packets = packet(std::move(bytes));
        engine->handleInput(packets, inputKey, source);
    }
    // Plain log lines published so far; empties the log.
    std::vector<std::string> takeLines() {
        log->flush();
        std::vector<std::string> lines;
        for (const auto& entry : log->entries()) {
            if (const auto* m = std::get_if<LogEntry::Message>(&entry.kind)) lines.push_back(m->text);
            if (const auto* t = std::get_if<LogEntry::TypedMessage>(&entry.kind)) lines.push_back(t->text);
        }
        log->clear();
        return lines;
    }

    ManualMainQueue queue;
    MemorySettingsStore settings;
    std::shared_ptr<LogStore> log = LogStore::create(queue, settings);
    test::FakeLinkSession* session = nullptr;
    std::unique_ptr<LinkClock> clock;
    std::unique_ptr<LinkBeatScheduler> scheduler;
    MIDIActivityMonitor activity{[this] { return queue.uptimeSeconds(); }};
    RecordingTransport transport;
    std::unique_ptr<MIDIEngine> engine;
};

}  // namespace velorin::testing
