// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "link/LinkBeatSchedulingClock.hpp"
#include "midi/MIDIEvent.hpp"
#include "midi/ScheduledMIDIEvent.hpp"

namespace velorin {

class LogStore;

// Holds events that are to leave at a future Link beat, ordered by target beat
// (equal beats keep their insertion order), and releases them when polled.
// Nothing is released while the Link transport is not running; on the first
// running poll overdue events other than note-offs are discarded. Repeating
// events are re-armed at their first repetition after the current beat.
// Engine thread only.
class LinkBeatScheduler {
public:
    // More pending events than this are refused, so a flood of scheduled
    // output while the transport is stopped cannot exhaust memory. Room is kept
    // for a note-off for every queued note-on: a note-on (or any other event)
    // is refused where its note-off could not be queued after it.
    static constexpr std::size_t kMaxPendingEvents = 100000;
    // The Link beat moving back by more than this (a timeline reset, a peer
    // moving the session) counts as a jump rather than jitter of the clock.
    static constexpr double kBackwardJumpToleranceBeats = 1.0 / 16.0;

    LinkBeatScheduler(const LinkBeatSchedulingClock& clock, LogStore& log);
    LinkBeatScheduler(const LinkBeatScheduler&) = delete;
    LinkBeatScheduler& operator=(const LinkBeatScheduler&) = delete;

    // Ordered insert after every queued event with the same or an earlier
    // beat. Returns false (and keeps nothing) for a target that is not a
    // finite number, which could never fall due and would hold back the
    // events behind it, or when the queue is full.
    bool schedule(ScheduledMIDIEvent event);
    // Removes every queued event whose cancellation key equals `key`.
    void cancelEvents(std::string_view key);
    void removeAllEvents();
    // Forgets which skip descriptors were logged, so the next stopped poll logs
    // afresh (the engine does this when it stops).
    void clearLoggedSkipDescriptors();

    // The poll: the events whose beat has come, in queue order. When the beat
    // has jumped back since the previous running poll, every queued note-off
    // is released at once (one that repeats stays queued for its next turn)
    // and repeating events are re-armed at the same phase of their loop after
    // the new beat, so loops go on playing instead of waiting for the old beat.
    std::vector<ScheduledMIDIEvent> dueEvents();
    // The same, appended to `out` (which the caller may reuse).
    void collectDueEvents(std::vector<ScheduledMIDIEvent>& out);

    std::size_t pendingCount() const { return queue_.size(); }
    std::size_t pendingNoteOnCount() const { return pendingNoteOns_; }
    std::size_t pendingNoteOffCount() const { return pendingNoteOffs_; }
    // The target beat of the first queued event, if any.
    std::optional<double> firstTargetBeat() const {
        if (queue_.empty()) return std::nullopt;
        return queue_.begin()->first;
    }
    std::vector<ScheduledMIDIEvent> pendingEvents() const;

    // The key under which a skipped event is logged once per stopped stretch.
    static std::string skipDescriptor(const MIDIEvent& event);
    // The first beat at or after `beat` that lies a whole number of intervals
    // from `targetBeat` (either side), for interval > 0: where a loop event
    // falls after the timeline jumped.
    static double samePhaseBeat(double targetBeat, double interval, double beat);
    // The first repetition target + k * interval (k ≥ 1) strictly after
    // `beat`, for interval > 0. Computed directly, so a timeline that jumped
    // far ahead costs no more than one that moved a little.
    static double nextRepetitionBeat(double targetBeat, double interval, double beat);

private:
    struct Entry {
        ScheduledMIDIEvent scheduled;
        // The stopped stretch in which this entry's skip descriptor was last
        // entered into loggedSkipDescriptors_ (0: never).
        std::uint64_t skipCheckedStretch = 0;
    };
    using Queue = std::multimap<double, Entry>;

    enum class NoteRole : std::uint8_t { noteOn, noteOff, other };
    static NoteRole noteRole(const MIDIEvent& event);
    bool hasRoomFor(const MIDIEvent& event) const;
    void count(const ScheduledMIDIEvent& event, int delta);
    Queue::node_type take(Queue::iterator it);
    Queue::iterator erase(Queue::iterator it);
    void insert(Queue::node_type node);
    void rearm(Queue::node_type node, double beat);
    void handleBackwardJump(double beat, std::vector<ScheduledMIDIEvent>& out);
    void logSkippedEvents();

    const LinkBeatSchedulingClock& linkClock_;
    LogStore& log_;
    Queue queue_;
    std::set<std::string, std::less<>> loggedSkipDescriptors_;
    std::uint64_t skipStretch_ = 1;
    bool skipStretchUsed_ = false;
    bool linkWasActive_ = false;
    bool loggedQueueFull_ = false;
    std::size_t pendingNoteOns_ = 0;
    std::size_t pendingNoteOffs_ = 0;
    // The beat of the latest running poll (none before the first).
    std::optional<double> lastRunningBeat_;
};

}  // namespace velorin
