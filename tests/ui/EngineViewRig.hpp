// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>

#include "core/ManualMainQueue.hpp"
#include "engine/MIDIEngine.hpp"
#include "engine/MIDIEngineView.hpp"

namespace velorin::test {

// The window's side of an engine on virtual time, wired as the application
// wires it (one queue stands for both threads): the snapshots the views read
// and the commands they post.
struct EngineViewRig {
    EngineViewRig(MIDIEngine& engine, ManualMainQueue& engineQueue)
        : queue(engineQueue), publisher(engine, engineQueue, state), commands(publisher.commands()) {}

    // Runs the posted commands and lets the engine's next snapshot reach the views.
    void settle() { queue.advance(MIDIEngineStatePublisher::kMinInterval); }

    ManualMainQueue& queue;
    MIDIEngineStateChannel state{queue, std::make_shared<const MIDIEngineSnapshot>()};
    MIDIEngineStatePublisher publisher;
    MIDIEngineCommands commands;
};

}  // namespace velorin::test
