// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "core/MainQueue.hpp"
#include "core/SnapshotChannel.hpp"
#include "engine/MIDIEngineSnapshot.hpp"
#include "morphs/OctaveLayerKind.hpp"

namespace velorin {

class MIDIEngine;

// The window's side of the engine: the snapshots it reads and the commands it
// gives. Neither lets the window reach the engine.
using MIDIEngineStateChannel = SnapshotChannel<MIDIEngineSnapshot>;

// What the window may ask of the engine. Any thread; each is carried out later
// on the engine's thread, and a snapshot follows it even when nothing changed,
// so a view that guessed the outcome (a switch already flipped) learns the
// truth (adding ports can fail).
struct MIDIEngineCommands {
    std::function<void(bool isAssigned, std::string inputKey, std::string morphKey, std::string groupKey)>
        setInputAssignment;
    std::function<void(bool isAssigned, std::string destinationKey, std::string morphKey,
                       std::string groupKey)>
        setOutputAssignment;
    std::function<void(bool isAvailable, std::string endpointKey)> setInputAvailable;
    std::function<void(bool isAvailable, std::string endpointKey)> setOutputAvailable;
    std::function<void(bool)> setShowsIndividualUSBDevices;
    std::function<void(bool)> setShowsFC200Morph;
    std::function<void(bool)> setAdditionalVirtualPortsEnabled;
    std::function<void(bool)> setFC200UpperPedalsToggleEnabled;
    std::function<void(bool)> setFC200UpperPedalsShareLowerCCsEnabled;
    std::function<void(OctaveLayerKind, bool)> setOctaveLayerEnabled;
    std::function<void(int looperIndex, bool on)> setLinkLooper;
    std::function<void(int looperIndex, bool muted)> setLinkLooperMute;
    std::function<void(std::string morphID)> openMorphUI;
    std::function<void()> dismissMorphUI;
    std::function<void()> panic;
};

// Publishes the engine's snapshot into a channel: at once, then after every
// change the engine or a morph's settings or state store announces, built on
// the engine's thread after the work that changed it (never inside a MIDI
// dispatch) and at most once per kMinInterval, the length of a display frame,
// however fast SysEx switches things. A value equal to the last published one
// is left out. Lives on the engine's thread, and must go before the engine.
class MIDIEngineStatePublisher {
public:
    static constexpr MainQueue::Duration kMinInterval = std::chrono::milliseconds(16);

    MIDIEngineStatePublisher(MIDIEngine& engine, MainQueue& engineQueue, MIDIEngineStateChannel& channel);
    ~MIDIEngineStatePublisher();
    MIDIEngineStatePublisher(const MIDIEngineStatePublisher&) = delete;
    MIDIEngineStatePublisher& operator=(const MIDIEngineStatePublisher&) = delete;

    // Commands that post to the engine's queue. They may outlive this
    // publisher: then they do nothing.
    MIDIEngineCommands commands() const;

private:
    struct Core;
    std::shared_ptr<Core> core_;
};

}  // namespace velorin
