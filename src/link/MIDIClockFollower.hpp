// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/MainQueue.hpp"
#include "link/LinkTransportControl.hpp"
#include "link/MIDIClockTempoEstimator.hpp"

namespace velorin {

class LogStore;

// Lets one MIDI clock lead the Link session. The first input whose clock
// arrives leads; the others are ignored until it is lost. Its ticks set the
// session tempo (MIDIClockTempoEstimator; the tempo is committed only when it
// differs from the session's by kTempoThresholdBPM, at most every
// kTicksBetweenCommits ticks, so peers are not flooded), Start and Continue
// start the transport with the tick that follows them on the song's beat
// (0, or the last Song Position), Stop stops it. No tick for two beats'
// time (kLossTimeBeforeEstimate before there is a tempo) loses the clock: it is
// logged, the tempo stays where it was, and any input may lead again.
// Engine thread only.
class MIDIClockFollower {
public:
    static constexpr double kTempoThresholdBPM = 0.05;
    static constexpr int kTicksBetweenCommits = 6;
    static constexpr double kLossBeats = 2.0;
    static constexpr MainQueue::Duration kLossTimeBeforeEstimate = std::chrono::seconds(2);
    static constexpr MainQueue::Duration kLossCheckInterval = std::chrono::milliseconds(50);
    static constexpr MainQueue::Duration kTempoLogInterval = std::chrono::seconds(1);

    // `control` may be null: the clock is then followed and shown, but leads nothing.
    MIDIClockFollower(MainQueue& queue, LinkTransportControl* control, LogStore& log);
    MIDIClockFollower(const MIDIClockFollower&) = delete;
    MIDIClockFollower& operator=(const MIDIClockFollower&) = delete;

    // The bytes of one packet from an input assigned to follow; only clock,
    // Start, Continue, Stop and Song Position count, the rest is skipped.
    void receive(std::span<const std::uint8_t> bytes, std::string_view inputKey, std::string_view sourceName);
    // The input no longer follows (unassigned, gone): a leader stops leading.
    void forget(std::string_view inputKey);
    // Leaves no leader (the engine stopped).
    void reset();

    const std::optional<std::string>& leaderKey() const { return leaderKey_; }
    const std::string& leaderName() const { return leaderName_; }
    std::optional<double> tempo() const { return estimator_.bpm(); }
    const MIDIClockTempoEstimator& estimator() const { return estimator_; }
    // Called when the leader or its shown tempo changes (at most once per
    // kTempoLogInterval for the tempo).
    void setOnChange(std::function<void()> onChange) { onChange_ = std::move(onChange); }

private:
    void tick(MainQueue::TimePoint now);
    void checkLoss();
    void lose();
    void changed();

    MainQueue& queue_;
    LinkTransportControl* control_;
    LogStore& log_;
    std::function<void()> onChange_;
    MIDIClockTempoEstimator estimator_;
    std::optional<std::string> leaderKey_;
    std::string leaderName_;
    std::optional<MainQueue::TimePoint> lastTick_;
    TaskHandle lossCheck_;
    // Song Position in sixteenths; the data bytes still expected of one.
    std::int64_t songPosition_ = 0;
    int songPositionBytes_ = 0;
    std::int64_t songPositionValue_ = 0;
    // The beat the transport starts on with the next tick, after Start or Continue.
    std::optional<double> pendingStartBeat_;
    int ticksSinceCommit_ = 0;
    std::optional<MainQueue::TimePoint> lastTempoLog_;
    std::optional<double> loggedTempo_;
};

}  // namespace velorin
