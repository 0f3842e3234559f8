// The engine on a thread of its own, as the headless server runs it: built,
// started, stopped and destroyed on that thread while another thread delivers
// MIDI into its queue, as the ALSA reader does. Run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/MemorySettingsStore.hpp"
#include "core/QueueThread.hpp"
#include "engine/MIDIEndpointRegistration.hpp"
#include "engine/MIDIEngine.hpp"
#include "link/LinkBeatScheduler.hpp"
#include "link/LinkClock.hpp"
#include "log/LogStore.hpp"
#include "support/FakeLinkSession.hpp"
#include "support/FakeMIDIService.hpp"

namespace velorin {
namespace {

// Everything the engine needs, confined to the engine's thread.
struct EngineOnItsThread {
    explicit EngineOnItsThread(MainQueue& queue) : log(LogStore::create(queue, settings)) {
        keys = midi.addSource("Keys", 7);
        synth = midi.addDestination("Synth", 8);
        clock = std::make_unique<LinkClock>(std::make_unique<test::FakeLinkSession>(queue), *log, settings,
                                            queue);
        scheduler = std::make_unique<LinkBeatScheduler>(*clock, *log);
        MIDIEngine::Dependencies deps{queue, settings, *log, *clock, *scheduler, activity, true};
        deps.midiService = &midi;
        engine = std::make_unique<MIDIEngine>(deps);
        engine->setInputAssignment(true, coreMIDIEndpointKey(7, keys), "router", "inputs");
        engine->setOutputAssignment(true, coreMIDIEndpointKey(8, synth), "router", "outputs");
        engine->start();
    }

    MemorySettingsStore settings;
    std::shared_ptr<LogStore> log;
    test::FakeMIDIService midi;
    MIDIObjectRef keys = 0;
    MIDIObjectRef synth = 0;
    std::unique_ptr<LinkClock> clock;
    std::unique_ptr<LinkBeatScheduler> scheduler;
    MIDIActivityMonitor activity;
    std::unique_ptr<MIDIEngine> engine;
};

TEST(EngineThread, AStopWhileAnotherThreadDeliversNotesLeavesNoneSounding) {
    QueueThread thread;
    std::unique_ptr<EngineOnItsThread> rig;
    thread.runAndWait([&] { rig = std::make_unique<EngineOnItsThread>(thread.queue()); });
    const std::string inputKey = coreMIDIEndpointKey(7, rig->keys);
    MIDIEngine* engine = rig->engine.get();

    // Notes on and off from the reader's thread, each posted as the reader posts
    // its packets (which the engine takes only while started), until well after the stop.
    std::atomic<int> posted{0};
    std::thread reader([&thread, engine, inputKey, &posted] {
        for (int i = 0; i < 4000; ++i) {
            const auto note = static_cast<std::uint8_t>(40 + (i / 2) % 40);
            const auto status = static_cast<std::uint8_t>(i % 2 == 0 ? 0x90 : 0x80);
            thread.queue().post([engine, inputKey, status, note] {
                if (!engine->isStarted()) return;
                const std::vector<MIDIRawPacket> packets{MIDIRawPacket{ByteArray{status, note, 0x64}}};
                engine->handleInput(packets, inputKey, std::string("Keys"));
            });
            ++posted;
        }
    });
    while (posted < 1000) std::this_thread::yield();
    thread.runAndWait([engine] { engine->stop(); });
    reader.join();

    // Replayed in order, what reached the synth leaves no note on.
    std::array<bool, 128> sounding{};
    std::size_t noteOns = 0;
    thread.runAndWait([&] {
        for (const auto& sent : rig->midi.sent) {
            if (sent.destination != rig->synth || sent.bytes.size() != 3) continue;
            const bool on = (sent.bytes[0] & 0xF0) == 0x90 && sent.bytes[2] != 0;
            const bool off = (sent.bytes[0] & 0xF0) == 0x80 || (sent.bytes[0] & 0xF0) == 0x90;
            if (on) ++noteOns;
            if (on || off) sounding[sent.bytes[1]] = on;
        }
        rig.reset();
    });
    EXPECT_GT(noteOns, 0u);
    for (std::size_t note = 0; note < sounding.size(); ++note)
        EXPECT_FALSE(sounding[note]) << "note " << note;
}

}  // namespace
}  // namespace velorin
