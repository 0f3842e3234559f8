// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "core/MainQueue.hpp"
#include "link/LinkBeatSchedulingClock.hpp"
#include "midi/MIDIEvent.hpp"

namespace velorin {

class LogStore;

// Which of the clock's outputs a message is for: every one, or only those that
// also take ticks while the transport is stopped.
enum class MIDIClockAudience : std::uint8_t { everyOutput, tickingWhileStopped };

// MIDI clock locked to the Link timeline: tick n leaves at the host time the
// timeline gives for beat n/24, woken by the queue's precise wake-up for each
// tick, approached in halves so a tempo change moves the very next tick. Start (FA) goes out with
// the tick on the first bar line (quantum 4) once the transport plays — at
// once, with that bar's tick, when the transport was seen within one tick
// after the bar line it started on — and Stop (FC) when it stops. A timeline
// that jumps (a reset, a peer moving the session, a jump ahead of more than a
// beat) sends Stop and Song Position 0, and while playing starts again on the
// next bar. While Link is off nothing is sent. Engine thread only.
class MIDIClockSender {
public:
    using Duration = MainQueue::Duration;
    using Send = std::function<void(const MIDIEvent&, MIDIClockAudience)>;

    static constexpr int kTicksPerBeat = 24;
    static constexpr double kBeatsPerBar = 4.0;
    // Moving back by more than this counts as a jump rather than clock jitter.
    static constexpr double kBackwardJumpBeats = 1.0 / 16.0;
    // Ticks missed by a late wake (a stalled thread) up to one beat are sent at
    // once so the receivers' song position stays right; further behind counts
    // as a jump.
    static constexpr int kMaxCatchUpTicks = kTicksPerBeat;
    // A wake this close before its tick's beat sends it (the tick's time is
    // rounded to microseconds).
    static constexpr double kEarlyToleranceBeats = 1e-5;
    // The longest sleep between two looks at the session: transport edges and
    // Link coming on are seen within this time even at slow tempi.
    static constexpr Duration kMaxSleep = std::chrono::milliseconds(50);
    // A tick further ahead than twice this is approached in halves, each wake
    // reading the timeline anew, so a tempo change (even to twice as fast) made
    // after the last tick still moves the next one.
    static constexpr Duration kFinalApproach = std::chrono::milliseconds(2);
    // After a wake that came too early for its tick, the least wait before the next.
    static constexpr Duration kRetryDelay = std::chrono::microseconds(20);

    MIDIClockSender(MainQueue& queue, const LinkBeatSchedulingClock& clock, LogStore& log, Send send);
    MIDIClockSender(const MIDIClockSender&) = delete;
    MIDIClockSender& operator=(const MIDIClockSender&) = delete;

    // On: the clock runs (the engine: started, with outputs to clock). Off:
    // Stop is sent when the receivers were playing, and the wake-ups end.
    void setRunning(bool running);
    bool isRunning() const { return running_; }
    // Whether the receivers were last told to play.
    bool isPlaying() const { return sentPlaying_; }
    // Ticks sent since the clock was switched on.
    std::uint64_t ticksSent() const { return ticksSent_; }
    // When the next wake comes, if one is armed.
    std::optional<MainQueue::TimePoint> armedFor() const { return armedAt_; }

private:
    void wake();
    void step();
    void arm();
    void resync(double beat);
    void sendStop();
    void sendTick();
    double tickBeat(std::int64_t index) const { return static_cast<double>(index) / kTicksPerBeat; }
    // The bar line the transport, seen at `beat`, starts on.
    static double startBarFor(double beat);

    MainQueue& queue_;
    const LinkBeatSchedulingClock& clock_;
    LogStore& log_;
    Send send_;
    TaskHandle wakeUp_;
    std::optional<MainQueue::TimePoint> armedAt_;
    bool running_ = false;
    // Synchronised to the timeline (false until the first look, after Link was off).
    bool synced_ = false;
    bool sentPlaying_ = false;
    std::int64_t nextTick_ = 0;
    // The tick index of the bar on which Start goes out.
    std::optional<std::int64_t> startTick_;
    double lastBeat_ = 0;
    std::uint64_t ticksSent_ = 0;
};

}  // namespace velorin
