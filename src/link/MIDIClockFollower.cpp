// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/MIDIClockFollower.hpp"

#include <charconv>
#include <cmath>
#include <system_error>
#include <utility>

#include "log/LogStore.hpp"
#include "midi/MIDIClockMessage.hpp"

namespace velorin {

namespace {

// One decimal in the "C" locale, whatever locale the process runs in.
std::string bpmText(double bpm) {
    char number[64];
    const auto result = std::to_chars(number, number + sizeof number, bpm, std::chars_format::fixed, 1);
    return std::string(number, result.ec == std::errc{} ? result.ptr : number);
}

}  // namespace

MIDIClockFollower::MIDIClockFollower(MainQueue& queue, LinkTransportControl* control, LogStore& log)
    : queue_(queue), control_(control), log_(log) {}

void MIDIClockFollower::changed() {
    if (onChange_) onChange_();
}

void MIDIClockFollower::receive(std::span<const std::uint8_t> bytes, std::string_view inputKey,
                                std::string_view sourceName) {
    if (leaderKey_ && *leaderKey_ != inputKey) return;
    const MainQueue::TimePoint now = queue_.now();
    auto lead = [&] {
        if (leaderKey_) return;
        leaderKey_ = std::string(inputKey);
        leaderName_ = std::string(sourceName);
        estimator_.reset();
        lastTick_ = now;
        ticksSinceCommit_ = 0;
        lossCheck_ = queue_.every(kLossCheckInterval, [this] { checkLoss(); });
        changed();
    };
    for (const std::uint8_t b : bytes) {
        if (b >= 0xF8) {  // real-time: may sit anywhere, even between data bytes
            switch (b) {
                case kMIDIClockTick:
                    lead();
                    tick(now);
                    break;
                case kMIDIClockStart:
                    lead();
                    songPosition_ = 0;
                    pendingStartBeat_ = 0.0;
                    break;
                case kMIDIClockContinue:
                    lead();
                    pendingStartBeat_ =
                        static_cast<double>(songPosition_) / kMIDIClockSongPositionUnitsPerBeat;
                    break;
                case kMIDIClockStop:
                    if (!leaderKey_) break;
                    pendingStartBeat_.reset();
                    if (control_) control_->leadStop();
                    log_.log("[Clock] Stop from " + leaderName_);
                    break;
                default:
                    break;
            }
            continue;
        }
        if (b >= 0x80) {
            songPositionBytes_ = b == kMIDIClockSongPosition ? 2 : 0;
            songPositionValue_ = 0;
            continue;
        }
        if (songPositionBytes_ == 2) {
            songPositionValue_ = b;
            songPositionBytes_ = 1;
        } else if (songPositionBytes_ == 1) {
            songPosition_ = songPositionValue_ | (std::int64_t{b} << 7);
            songPositionBytes_ = 0;
        }
    }
}

void MIDIClockFollower::tick(MainQueue::TimePoint now) {
    lastTick_ = now;
    estimator_.addTick(now);
    if (pendingStartBeat_) {
        if (control_) control_->leadStart(*pendingStartBeat_, now);
        log_.log("[Clock] Start from " + leaderName_ + " at beat " + bpmText(*pendingStartBeat_));
        pendingStartBeat_.reset();
    }
    ++ticksSinceCommit_;
    const auto bpm = estimator_.bpm();
    if (!bpm) return;
    if (control_ && ticksSinceCommit_ >= kTicksBetweenCommits &&
        std::abs(*bpm - control_->sessionTempo()) >= kTempoThresholdBPM) {
        control_->leadTempo(*bpm);
        ticksSinceCommit_ = 0;
    }
    const bool shownChanged = !loggedTempo_ || bpmText(*loggedTempo_) != bpmText(*bpm);
    if (shownChanged && (!lastTempoLog_ || now - *lastTempoLog_ >= kTempoLogInterval)) {
        log_.log("[Clock] Following MIDI clock from " + leaderName_ + ": " + bpmText(*bpm) + " BPM");
        loggedTempo_ = bpm;
        lastTempoLog_ = now;
        changed();
    }
}

void MIDIClockFollower::checkLoss() {
    if (!leaderKey_ || !lastTick_) return;
    const auto tickSeconds = estimator_.tickSeconds();
    const MainQueue::Duration limit =
        tickSeconds ? std::chrono::duration_cast<MainQueue::Duration>(
                          std::chrono::duration<double>(*tickSeconds * kMIDIClockTicksPerBeat * kLossBeats))
                    : kLossTimeBeforeEstimate;
    if (queue_.now() - *lastTick_ > limit) lose();
}

void MIDIClockFollower::lose() {
    log_.log("[Clock] Lost MIDI clock from " + leaderName_);
    reset();
    changed();
}

void MIDIClockFollower::forget(std::string_view inputKey) {
    if (!leaderKey_ || *leaderKey_ != inputKey) return;
    log_.log("[Clock] Stopped following MIDI clock from " + leaderName_);
    reset();
    changed();
}

void MIDIClockFollower::reset() {
    lossCheck_.cancel();
    leaderKey_.reset();
    estimator_.reset();
    lastTick_.reset();
    pendingStartBeat_.reset();
    songPositionBytes_ = 0;
    loggedTempo_.reset();
    lastTempoLog_.reset();
}

}  // namespace velorin
