// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "core/MainQueue.hpp"
#include "link/LinkSession.hpp"

namespace velorin::test {

// A Link session on a straight timeline whose clock is a MainQueue's (virtual
// time with ManualMainQueue). Peers are whatever the test says while enabled; a peer
// changing tempo or transport is simulated through the public fields and
// peerSetsTempo(). Every call that changes something is recorded in `calls`.
class FakeLinkSession final : public LinkSession {
public:
    explicit FakeLinkSession(const MainQueue& queue, double bpm = 120.0) : queue_(queue), tempo_(clamp(bpm)) {
        timeAnchor_ = clockMicros();
    }

    bool enabled = false;
    bool startStopSync = false;
    std::size_t peers = 0;
    bool playing = false;
    std::vector<std::string> calls;
    int commits = 0;

    bool isEnabled() const override { return enabled; }
    void enable(bool on) override {
        calls.push_back(on ? "enable(true)" : "enable(false)");
        enabled = on;
    }
    bool isStartStopSyncEnabled() const override { return startStopSync; }
    void enableStartStopSync(bool on) override {
        calls.push_back(on ? "enableStartStopSync(true)" : "enableStartStopSync(false)");
        startStopSync = on;
    }
    // Like the library: a disabled session has left the network and sees no peer.
    std::size_t numPeers() const override { return enabled ? peers : 0; }
    std::chrono::microseconds clockMicros() const override {
        return std::chrono::duration_cast<std::chrono::microseconds>(queue_.now().time_since_epoch());
    }
    double tempo() const override { return tempo_; }
    bool isPlaying() const override { return playing; }
    double beatAtTime(std::chrono::microseconds time, double /*quantum*/) const override {
        return beatAnchor_ + static_cast<double>((time - timeAnchor_).count()) * tempo_ / 60e6;
    }
    // The exact inverse of beatAtTime(), rounded to the nearest microsecond as the library does.
    std::chrono::microseconds timeAtBeat(double beat, double /*quantum*/) const override {
        return timeAnchor_ + std::chrono::microseconds(std::llround((beat - beatAnchor_) * 60e6 / tempo_));
    }
    void commit(const LinkSessionChange& change) override {
        ++commits;
        std::string record = "commit(";
        if (change.tempo) {
            record += "tempo ";
            reanchor(beatAtTime(change.atTime, change.quantum), change.atTime);
            tempo_ = clamp(*change.tempo);
        }
        if (change.isPlaying) {
            record += *change.isPlaying ? "play " : "stop ";
            playing = *change.isPlaying;
        }
        if (change.forcedBeat) {
            record += "beat=" + std::to_string(*change.forcedBeat) + " ";
            reanchor(*change.forcedBeat, change.atTime);
        }
        record += ")";
        calls.push_back(record);
    }

    // The beat now.
    double beatNow() const { return beatAtTime(clockMicros(), 4.0); }
    // A peer changes the session tempo (the beat now is kept).
    void peerSetsTempo(double bpm) {
        reanchor(beatNow(), clockMicros());
        tempo_ = clamp(bpm);
    }
    // The timeline jumps, as when joining a session that is far along.
    void jumpToBeat(double beat) { reanchor(beat, clockMicros()); }

private:
    static double clamp(double bpm) { return std::clamp(bpm, 20.0, 999.0); }
    void reanchor(double beat, std::chrono::microseconds time) {
        beatAnchor_ = beat;
        timeAnchor_ = time;
    }

    const MainQueue& queue_;
    double tempo_;
    double beatAnchor_ = 0;
    std::chrono::microseconds timeAnchor_{0};
};

}  // namespace velorin::test
