// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/MIDIClockSender.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "log/LogStore.hpp"
#include "midi/MIDIClockMessage.hpp"

namespace velorin {

MIDIClockSender::MIDIClockSender(MainQueue& queue, const LinkBeatSchedulingClock& clock, LogStore& log,
                                 Send send)
    : queue_(queue), clock_(clock), log_(log), send_(std::move(send)) {}

void MIDIClockSender::setRunning(bool running) {
    if (running == running_) return;
    running_ = running;
    synced_ = false;
    startTick_.reset();
    if (running) {
        ticksSent_ = 0;
        step();
        return;
    }
    wakeUp_.cancel();
    armedAt_.reset();
    if (sentPlaying_) sendStop();
}

double MIDIClockSender::startBarFor(double beat) {
    const double bar = std::floor(beat / kBeatsPerBar) * kBeatsPerBar;
    return beat - bar <= 1.0 / kTicksPerBeat ? bar : bar + kBeatsPerBar;
}

void MIDIClockSender::wake() {
    wakeUp_.release();  // the one-shot job has run
    armedAt_.reset();
    step();
}

void MIDIClockSender::resync(double beat) {
    nextTick_ = static_cast<std::int64_t>(std::ceil((beat - kEarlyToleranceBeats) * kTicksPerBeat));
    startTick_.reset();
    lastBeat_ = beat;
    synced_ = true;
}

void MIDIClockSender::sendStop() {
    send_(MIDIEvent::systemEvent(kMIDIClockStop), MIDIClockAudience::everyOutput);
    sentPlaying_ = false;
}

void MIDIClockSender::sendTick() {
    send_(MIDIEvent::systemEvent(kMIDIClockTick),
          sentPlaying_ ? MIDIClockAudience::everyOutput : MIDIClockAudience::tickingWhileStopped);
    ++ticksSent_;
}

void MIDIClockSender::step() {
    if (!running_) return;
    if (!clock_.isActive()) {
        if (sentPlaying_) sendStop();
        synced_ = false;
        startTick_.reset();
        arm();
        return;
    }
    const double beat = clock_.currentBeat();
    const bool playing = clock_.isPlaying();
    if (!std::isfinite(beat)) {
        arm();
        return;
    }
    if (!synced_) {
        resync(beat);
    } else if (beat < lastBeat_ - kBackwardJumpBeats || beat > tickBeat(nextTick_ + kMaxCatchUpTicks)) {
        // The receivers' song position no longer matches the timeline.
        log_.log(playing
                     ? "[Clock] Link timeline jumped: Stop and Song Position 0, Start again on the next bar"
                     : "[Clock] Link timeline jumped: Stop and Song Position 0");
        if (sentPlaying_) sendStop();
        send_(MIDIEvent::systemEvent(kMIDIClockSongPosition, 0), MIDIClockAudience::everyOutput);
        resync(beat);
    }
    lastBeat_ = std::max(lastBeat_, beat);

    if (!playing) {
        if (sentPlaying_) sendStop();
        startTick_.reset();
    } else if (!sentPlaying_ && !startTick_) {
        startTick_ = std::llround(startBarFor(beat) * kTicksPerBeat);
        // Seen just after the bar line it started on: that bar's tick leaves now.
        nextTick_ = std::min(nextTick_, *startTick_);
    }

    while (beat >= tickBeat(nextTick_) - kEarlyToleranceBeats) {
        if (startTick_ && nextTick_ >= *startTick_) {
            send_(MIDIEvent::systemEvent(kMIDIClockStart), MIDIClockAudience::everyOutput);
            sentPlaying_ = true;
            startTick_.reset();
        }
        sendTick();
        ++nextTick_;
    }
    arm();
}

void MIDIClockSender::arm() {
    Duration wait = kMaxSleep;
    if (synced_ && clock_.isActive()) {
        if (const auto until = clock_.timeUntilBeat(tickBeat(nextTick_))) {
            const Duration left = *until > 2 * kFinalApproach ? *until / 2 : Duration(*until);
            wait = std::clamp<Duration>(left, kRetryDelay, kMaxSleep);
        }
    }
    const auto at = queue_.now() + wait;
    armedAt_ = at;
    wakeUp_ = queue_.postAtPrecisely(at, [this] { wake(); });
}

}  // namespace velorin
