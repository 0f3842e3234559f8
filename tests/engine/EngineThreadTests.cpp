// SPDX-License-Identifier: GPL-3.0-or-later
// The engine on a thread of its own, as the server runs it: built, started,
// stopped and destroyed on that thread while another thread delivers MIDI into
// its queue, as the ALSA reader does, and a third reads its snapshots and
// posts commands, as the window does. Run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/MemorySettingsStore.hpp"
#include "core/QueueThread.hpp"
#include "engine/MIDIEndpointRegistration.hpp"
#include "engine/MIDIEngine.hpp"
#include "engine/MIDIEngineView.hpp"
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

// Notes on and off from a thread of their own, each posted as the reader posts
// its packets (which the engine takes only while started); `posted` counts them.
std::thread deliverNotes(QueueThread& thread, MIDIEngine* engine, std::string inputKey,
                         std::atomic<int>& posted) {
    return std::thread([&thread, engine, inputKey = std::move(inputKey), &posted] {
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
}

// Replayed in order, what reached the synth leaves no note on (and some were played).
void expectNoNoteLeftSounding(const test::FakeMIDIService& midi, MIDIObjectRef synth) {
    std::array<bool, 128> sounding{};
    std::size_t noteOns = 0;
    for (const auto& sent : midi.sent) {
        if (sent.destination != synth || sent.bytes.size() != 3) continue;
        const bool on = (sent.bytes[0] & 0xF0) == 0x90 && sent.bytes[2] != 0;
        const bool off = (sent.bytes[0] & 0xF0) == 0x80 || (sent.bytes[0] & 0xF0) == 0x90;
        if (on) ++noteOns;
        if (on || off) sounding[sent.bytes[1]] = on;
    }
    EXPECT_GT(noteOns, 0u);
    for (std::size_t note = 0; note < sounding.size(); ++note)
        EXPECT_FALSE(sounding[note]) << "note " << note;
}

TEST(EngineThread, AStopWhileAnotherThreadDeliversNotesLeavesNoneSounding) {
    QueueThread thread;
    std::unique_ptr<EngineOnItsThread> rig;
    thread.runAndWait([&] { rig = std::make_unique<EngineOnItsThread>(thread.queue()); });
    std::atomic<int> posted{0};
    std::thread reader = deliverNotes(thread, rig->engine.get(), coreMIDIEndpointKey(7, rig->keys), posted);
    while (posted < 1000) std::this_thread::yield();
    thread.runAndWait([&rig] { rig->engine->stop(); });
    reader.join();
    thread.runAndWait([&] {
        expectNoNoteLeftSounding(rig->midi, rig->synth);
        rig.reset();
    });
}

// The window's side on a thread of its own: it reads every snapshot it is told
// of and posts a stream of commands while notes flow; the engine stops and is
// torn down while both go on.
TEST(EngineThread, TheWindowsSideReadsSnapshotsAndPostsCommandsWhileNotesFlowAndTheEngineStops) {
    QueueThread engineThread;
    QueueThread windowThread;
    std::unique_ptr<EngineOnItsThread> rig;
    MIDIEngineStateChannel channel(windowThread.queue(), std::make_shared<const MIDIEngineSnapshot>());
    std::unique_ptr<MIDIEngineStatePublisher> publisher;
    engineThread.runAndWait([&] {
        rig = std::make_unique<EngineOnItsThread>(engineThread.queue());
        publisher = std::make_unique<MIDIEngineStatePublisher>(*rig->engine, engineThread.queue(), channel);
    });
    const MIDIEngineCommands commands = publisher->commands();
    std::atomic<int> seen{0};
    std::atomic<bool> sawStarted{false};
    Subscription watching;
    windowThread.runAndWait([&] {
        watching = channel.observe([&] {
            const auto snapshot = channel.latest();
            if (snapshot->isStarted) sawStarted = true;
            ++seen;
        });
    });

    std::atomic<int> posted{0};
    std::thread reader =
        deliverNotes(engineThread, rig->engine.get(), coreMIDIEndpointKey(7, rig->keys), posted);
    windowThread.runAndWait([&commands] {
        for (int i = 0; i < 200; ++i) {
            commands.setOctaveLayerEnabled(OctaveLayerKind::plusTwo, i % 2 == 0);
            commands.setShowsFC200Morph(i % 3 != 0);
            commands.setOutputAssignment(i % 2 == 0, "morph:octave-layer", "router", "outputs");
            if (i % 50 == 0) commands.openMorphUI("octave-layer");
        }
        commands.dismissMorphUI();
    });
    // The last commands' state reaches the window's side within a few frames.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    const auto settled = [&channel] {
        const auto s = channel.latest();
        return !s->octaveLayersEnabled[rawValue(OctaveLayerKind::plusTwo)] && s->showsFC200Morph &&
               !s->isOutputAssigned("router", "outputs", "morph:octave-layer") && !s->presentedMorphUI;
    };
    while (!settled() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(settled());

    while (posted < 1000) std::this_thread::yield();
    engineThread.runAndWait([&rig] { rig->engine->stop(); });
    commands.panic();  // a command after the stop changes nothing and reaches no destroyed object
    reader.join();
    engineThread.runAndWait([&] {
        expectNoNoteLeftSounding(rig->midi, rig->synth);
        publisher.reset();
        rig.reset();
    });
    commands.setShowsFC200Morph(false);  // the publisher is gone: dropped
    engineThread.runAndWait([] {});
    windowThread.runAndWait([&watching] { watching.reset(); });
    EXPECT_TRUE(sawStarted);
    EXPECT_GT(seen.load(), 0);
}

}  // namespace
}  // namespace velorin
