// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>

namespace velorin {

// One edit of the shared session state, applied to a freshly captured state and
// committed at once. The parts present are applied in this order: tempo, play
// state, forced beat; all at `atTime`.
struct LinkSessionChange {
    std::chrono::microseconds atTime{0};
    std::optional<double> tempo;
    std::optional<bool> isPlaying;
    std::optional<double> forcedBeat;  // beat forced at `atTime` (with `quantum`)
    double quantum = 4.0;
};

// The seam in front of the Link library: exactly the calls the Link wrapper
// makes. The real adapter is AbletonLinkSession; unit tests use a fake. Every
// read of session state captures it anew. Engine thread only.
class LinkSession {
public:
    using FailureHandler = std::function<void(std::string_view)>;

    virtual ~LinkSession() = default;

    virtual bool isEnabled() const = 0;
    virtual void enable(bool enabled) = 0;
    virtual bool isStartStopSyncEnabled() const = 0;
    virtual void enableStartStopSync(bool enabled) = 0;
    virtual std::size_t numPeers() const = 0;
    // The library's clock, in microseconds.
    virtual std::chrono::microseconds clockMicros() const = 0;

    virtual double tempo() const = 0;
    virtual bool isPlaying() const = 0;
    virtual double beatAtTime(std::chrono::microseconds time, double quantum) const = 0;
    // The time on the library's clock at which the timeline reaches `beat`:
    // the inverse of beatAtTime(), to the nearest microsecond.
    virtual std::chrono::microseconds timeAtBeat(double beat, double quantum) const = 0;
    virtual void commit(const LinkSessionChange& change) = 0;

    // Told, on the calling thread, about a library call that failed; the call
    // then answered a neutral value (false, 0) or did nothing.
    virtual void setFailureHandler(FailureHandler handler) { (void)handler; }

    // Single-edit conveniences.
    void setTempo(double bpm, std::chrono::microseconds atTime) {
        LinkSessionChange change;
        change.atTime = atTime;
        change.tempo = bpm;
        commit(change);
    }
    void setIsPlaying(bool playing, std::chrono::microseconds atTime) {
        LinkSessionChange change;
        change.atTime = atTime;
        change.isPlaying = playing;
        commit(change);
    }
    void forceBeatAtTime(double beat, std::chrono::microseconds atTime, double quantum) {
        LinkSessionChange change;
        change.atTime = atTime;
        change.forcedBeat = beat;
        change.quantum = quantum;
        commit(change);
    }
};

}  // namespace velorin
