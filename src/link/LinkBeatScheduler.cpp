// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/LinkBeatScheduler.hpp"

#include <cmath>
#include <limits>
#include <memory>
#include <utility>

#include "log/LogStore.hpp"

namespace velorin {

namespace {

// Up to this many repetitions are stepped one interval at a time (the usual
// case: the poll runs every few milliseconds); beyond it the target is computed.
constexpr int kSteppedRepetitions = 64;

std::string noteDescriptor(const char* prefix, const MIDIEvent& event) {
    return prefix + std::to_string(event.note) + "-ch" + std::to_string(event.channel);
}

}  // namespace

LinkBeatScheduler::LinkBeatScheduler(const LinkBeatSchedulingClock& clock, LogStore& log)
    : linkClock_(clock), log_(log) {}

LinkBeatScheduler::NoteRole LinkBeatScheduler::noteRole(const MIDIEvent& event) {
    if (event.type == MIDIEventType::noteOff) return NoteRole::noteOff;
    if (event.type == MIDIEventType::noteOn) return event.velocity > 0 ? NoteRole::noteOn : NoteRole::noteOff;
    return NoteRole::other;
}

bool LinkBeatScheduler::hasRoomFor(const MIDIEvent& event) const {
    const NoteRole role = noteRole(event);
    if (role == NoteRole::noteOff) return queue_.size() < kMaxPendingEvents;
    // Note-ons that may still need a note-off, this one included.
    const std::size_t ons = pendingNoteOns_ + (role == NoteRole::noteOn ? 1 : 0);
    const std::size_t reserved = ons > pendingNoteOffs_ ? ons - pendingNoteOffs_ : 0;
    return queue_.size() + 1 + reserved <= kMaxPendingEvents;
}

void LinkBeatScheduler::count(const ScheduledMIDIEvent& event, int delta) {
    switch (noteRole(event.event)) {
        case NoteRole::noteOn:
            pendingNoteOns_ += static_cast<std::size_t>(delta);
            break;
        case NoteRole::noteOff:
            pendingNoteOffs_ += static_cast<std::size_t>(delta);
            break;
        case NoteRole::other:
            break;
    }
}

bool LinkBeatScheduler::schedule(ScheduledMIDIEvent event) {
    if (!std::isfinite(event.targetBeat)) return false;
    if (!hasRoomFor(event.event)) {
        // Once per burst: the flag is cleared by the next poll.
        if (!loggedQueueFull_) {
            loggedQueueFull_ = true;
            log_.log("[Scheduler] Queue full: dropping scheduled events (" +
                     std::to_string(kMaxPendingEvents) + " pending)");
        }
        return false;
    }
    const double beat = event.targetBeat;
    count(event, +1);
    queue_.emplace(beat, Entry{std::move(event), 0});
    return true;
}

LinkBeatScheduler::Queue::node_type LinkBeatScheduler::take(Queue::iterator it) {
    count(it->second.scheduled, -1);
    return queue_.extract(it);
}

LinkBeatScheduler::Queue::iterator LinkBeatScheduler::erase(Queue::iterator it) {
    count(it->second.scheduled, -1);
    return queue_.erase(it);
}

void LinkBeatScheduler::insert(Queue::node_type node) {
    // A multimap inserts after the equal keys already present: insertion order
    // is kept among events for the same beat.
    count(node.mapped().scheduled, +1);
    queue_.insert(std::move(node));
}

void LinkBeatScheduler::cancelEvents(std::string_view key) {
    for (auto it = queue_.begin(); it != queue_.end();) {
        const auto& cancellationKey = it->second.scheduled.cancellationKey;
        if (cancellationKey && *cancellationKey == key) {
            it = erase(it);
        } else {
            ++it;
        }
    }
}

void LinkBeatScheduler::clearLoggedSkipDescriptors() {
    loggedSkipDescriptors_.clear();
    ++skipStretch_;
    skipStretchUsed_ = false;
}

void LinkBeatScheduler::removeAllEvents() {
    queue_.clear();
    pendingNoteOns_ = 0;
    pendingNoteOffs_ = 0;
    loggedQueueFull_ = false;
}

std::vector<ScheduledMIDIEvent> LinkBeatScheduler::pendingEvents() const {
    std::vector<ScheduledMIDIEvent> events;
    events.reserve(queue_.size());
    for (const auto& [beat, entry] : queue_) events.push_back(entry.scheduled);
    return events;
}

std::string LinkBeatScheduler::skipDescriptor(const MIDIEvent& event) {
    switch (event.type) {
        case MIDIEventType::noteOn:
            return noteDescriptor("noteOn-", event);
        case MIDIEventType::noteOff:
            return noteDescriptor("noteOff-", event);
        case MIDIEventType::polyPressure:
            return noteDescriptor("polyPressure-", event);
        case MIDIEventType::cc:
            return noteDescriptor("cc-", event);
        case MIDIEventType::programChange:
            return noteDescriptor("program-", event);
        case MIDIEventType::channelPressure:
            return "pressure-ch" + std::to_string(event.channel);
        case MIDIEventType::pitchBend:
            return noteDescriptor("pitchBend-", event);
        case MIDIEventType::systemExclusive:
            return "sysex";
        case MIDIEventType::system:
            return "system-" + std::to_string(event.note);
    }
    return "sysex";
}

double LinkBeatScheduler::samePhaseBeat(double targetBeat, double interval, double beat) {
    double offset = std::fmod(targetBeat - beat, interval);
    if (offset < 0) offset += interval;
    const double phased = beat + offset;
    // Rounding may leave the result a hair before `beat`.
    return phased >= beat ? phased : beat;
}

double LinkBeatScheduler::nextRepetitionBeat(double targetBeat, double interval, double beat) {
    double next = targetBeat + interval;
    for (int i = 0; i < kSteppedRepetitions && next <= beat; ++i) next += interval;
    if (next > beat || !std::isfinite(next)) return next;

    // Far behind: k = the number of intervals that takes the target past the
    // beat, corrected for rounding in either direction.
    auto at = [&](double k) { return targetBeat + k * interval; };
    double k = std::floor((beat - targetBeat) / interval) + 1.0;
    if (!(k >= 1.0)) k = 1.0;
    for (int i = 0; i < 4 && at(k) <= beat; ++i) k += 1.0;
    for (int i = 0; i < 4 && k > 1.0 && at(k - 1.0) > beat; ++i) k -= 1.0;
    next = at(k);
    // An interval too small to move a value this large: the nearest beat
    // after `beat` is the first repetition that can be represented.
    if (!(next > beat)) next = std::nextafter(beat, std::numeric_limits<double>::infinity());
    return next;
}

void LinkBeatScheduler::rearm(Queue::node_type node, double beat) {
    auto& scheduled = node.mapped().scheduled;
    const auto interval = scheduled.repeatIntervalBeats;
    if (!interval || !(*interval > 0)) return;
    const double next = nextRepetitionBeat(scheduled.targetBeat, *interval, beat);
    if (!std::isfinite(next)) return;
    scheduled.targetBeat = next;
    scheduled.event.timestamp = next;
    node.mapped().skipCheckedStretch = 0;
    node.key() = next;
    insert(std::move(node));
}

void LinkBeatScheduler::logSkippedEvents() {
    skipStretchUsed_ = true;
    for (auto& [beat, entry] : queue_) {
        if (entry.skipCheckedStretch == skipStretch_) continue;  // its descriptor is already in the set
        entry.skipCheckedStretch = skipStretch_;
        auto descriptor = skipDescriptor(entry.scheduled.event);
        if (loggedSkipDescriptors_.insert(std::move(descriptor)).second) {
            log_.log("[Scheduler][" + entry.scheduled.morphID + "] Skipping: Link transport is not running");
        }
    }
}

std::vector<ScheduledMIDIEvent> LinkBeatScheduler::dueEvents() {
    std::vector<ScheduledMIDIEvent> due;
    collectDueEvents(due);
    return due;
}

void LinkBeatScheduler::handleBackwardJump(double beat, std::vector<ScheduledMIDIEvent>& out) {
    std::size_t released = 0;
    std::size_t rearmed = 0;
    std::vector<Queue::node_type> moved;
    for (auto it = queue_.begin(); it != queue_.end();) {
        const ScheduledMIDIEvent& scheduled = it->second.scheduled;
        const bool isNoteOff = noteRole(scheduled.event) == NoteRole::noteOff;
        const bool repeats = scheduled.repeatIntervalBeats && *scheduled.repeatIntervalBeats > 0;
        if (isNoteOff) {
            out.push_back(scheduled);
            ++released;
        }
        if (repeats) {
            moved.push_back(take(it++));
        } else if (isNoteOff) {
            it = erase(it);
        } else {
            ++it;  // a one-off event keeps its beat
        }
    }
    for (auto& node : moved) {
        auto& scheduled = node.mapped().scheduled;
        const double interval = *scheduled.repeatIntervalBeats;
        double next = samePhaseBeat(scheduled.targetBeat, interval, beat);
        // A note-off just sent waits for its next turn rather than leaving twice now.
        if (noteRole(scheduled.event) == NoteRole::noteOff && !(next > beat)) next += interval;
        if (!std::isfinite(next)) continue;
        scheduled.targetBeat = next;
        scheduled.event.timestamp = next;
        node.mapped().skipCheckedStretch = 0;
        node.key() = next;
        insert(std::move(node));
        ++rearmed;
    }
    if (released + rearmed > 0) {
        log_.log("[Scheduler] Link beat moved back \xE2\x80\x94 sending " + std::to_string(released) +
                 " pending note-off(s), re-arming " + std::to_string(rearmed) + " loop event(s)");
    }
}

void LinkBeatScheduler::collectDueEvents(std::vector<ScheduledMIDIEvent>& out) {
    loggedQueueFull_ = false;  // a refusal after this poll is a new burst
    const bool running = linkClock_.isActive() && linkClock_.isPlaying();
    if (!running) {
        if (!queue_.empty() && log_.isLoggingAllMIDIEvents()) logSkippedEvents();
        linkWasActive_ = false;
        return;
    }
    const double beat = linkClock_.currentBeat();
    // The next stop logs afresh.
    if (skipStretchUsed_) clearLoggedSkipDescriptors();
    const bool jumpedBack = lastRunningBeat_ && beat < *lastRunningBeat_ - kBackwardJumpToleranceBeats;
    if (!lastRunningBeat_ || beat > *lastRunningBeat_ || jumpedBack) lastRunningBeat_ = beat;
    if (jumpedBack && !queue_.empty()) handleBackwardJump(beat, out);

    if (linkWasActive_) {
        while (!queue_.empty() && beat >= queue_.begin()->first) {
            auto node = take(queue_.begin());
            auto& scheduled = node.mapped().scheduled;
            if (scheduled.repeatIntervalBeats && *scheduled.repeatIntervalBeats > 0) {
                out.push_back(scheduled);
                rearm(std::move(node), beat);
            } else {
                out.push_back(std::move(scheduled));
            }
        }
    } else {
        linkWasActive_ = true;
        if (queue_.empty()) return;
        std::size_t sent = 0;
        std::size_t stale = 0;
        while (!queue_.empty() && beat >= queue_.begin()->first) {
            auto node = take(queue_.begin());
            const auto& scheduled = node.mapped().scheduled;
            if (scheduled.event.type == MIDIEventType::noteOff) {
                out.push_back(scheduled);
                ++sent;
            } else {
                ++stale;
            }
            rearm(std::move(node), beat);
        }
        if (sent + stale > 0) {
            log_.log("[Scheduler] Link transport started \xE2\x80\x94 sending " + std::to_string(sent) +
                     " due note-off(s), discarding " + std::to_string(stale) + " stale event(s)");
        }
    }
}

}  // namespace velorin
