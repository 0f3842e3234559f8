// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <memory>

#include "core/ManualMainQueue.hpp"
#include "core/MemorySettingsStore.hpp"
#include "engine/MIDIActivityMonitor.hpp"
#include "engine/MIDIEngine.hpp"
#include "engine/MIDIEngineView.hpp"
#include "link/LinkBeatScheduler.hpp"
#include "link/LinkClock.hpp"
#include "link/LinkClockView.hpp"
#include "log/LogStore.hpp"
#include "support/FakeLinkSession.hpp"
#include "support/FakeMIDIService.hpp"

namespace velorin::test {

// What the window's views read and drive, on virtual time: the real engine
// over a fake MIDI service, the real Link clock over a fake session (never a
// network), both publishing their snapshots and taking commands as the
// application wires them (one queue stands for both threads), and an activity
// monitor on the queue's clock.
struct WindowTestRig {
    ManualMainQueue queue;
    MemorySettingsStore settings;
    std::shared_ptr<LogStore> log = LogStore::create(queue, settings);
    FakeLinkSession* link = nullptr;
    std::unique_ptr<LinkClock> clock = makeClock();
    LinkBeatScheduler scheduler{*clock, *log};
    LinkStateChannel linkState{queue, std::make_shared<const LinkStateSnapshot>()};
    Subscription linkPublication = publishLinkState(*clock, linkState);
    LinkCommands linkCommands = makePostedLinkCommands(queue, *clock);
    MIDIActivityMonitor activity{
        [this] { return std::chrono::duration<double>(queue.now().time_since_epoch()).count(); }};
    FakeMIDIService midi;
    MIDIEngine engine{MIDIEngine::Dependencies{.queue = queue,
                                               .settings = settings,
                                               .log = *log,
                                               .linkClock = *clock,
                                               .scheduler = scheduler,
                                               .activity = activity,
                                               .linkLooperEnabled = true,
                                               .midiService = &midi}};
    MIDIEngineStateChannel engineState{queue, std::make_shared<const MIDIEngineSnapshot>()};
    MIDIEngineStatePublisher enginePublisher{engine, queue, engineState};
    MIDIEngineCommands engineCommands = enginePublisher.commands();

    // Runs the posted commands and lets the engine's next snapshot reach the views.
    void settle() { queue.advance(MIDIEngineStatePublisher::kMinInterval); }

private:
    std::unique_ptr<LinkClock> makeClock() {
        auto session = std::make_unique<FakeLinkSession>(queue);
        link = session.get();
        auto made = std::make_unique<LinkClock>(std::move(session), *log, settings, queue);
        // As the application does: the clock polls the session for as long as it lives.
        made->startPolling();
        return made;
    }
};

}  // namespace velorin::test
