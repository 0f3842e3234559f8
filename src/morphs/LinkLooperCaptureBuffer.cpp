// SPDX-License-Identifier: GPL-3.0-or-later
#include "morphs/LinkLooperCaptureBuffer.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_map>

namespace velorin {

double LinkLooperCaptureBuffer::quantized(double beat) {
    return std::round(beat * 4.0) / 4.0;
}

void LinkLooperCaptureBuffer::append(const MIDIEvent& event, double beat) {
    if (event.type == MIDIEventType::systemExclusive) return;
    if (rollingBuffer_.empty()) {
        isMonotonic_ = true;
        minBeat_ = beat;
    } else {
        if (beat < rollingBuffer_.back().beat) isMonotonic_ = false;
        minBeat_ = std::min(minBeat_, beat);
    }
    rollingBuffer_.push_back(BufferedEvent{event, beat});
    prune(beat);
    while (rollingBuffer_.size() > kMaxEntries) rollingBuffer_.pop_front();
    if (isMonotonic_ && !rollingBuffer_.empty()) minBeat_ = rollingBuffer_.front().beat;
}

void LinkLooperCaptureBuffer::prune(double now) {
    if (rollingBuffer_.empty()) return;
    const double cutoff = now - kRetainedBeats - kEarlyGraceBeats;
    if (isMonotonic_) {
        while (!rollingBuffer_.empty() && rollingBuffer_.front().beat < cutoff) rollingBuffer_.pop_front();
        if (!rollingBuffer_.empty()) minBeat_ = rollingBuffer_.front().beat;
        return;
    }
    if (!(cutoff > minBeat_)) return;
    std::erase_if(rollingBuffer_, [cutoff](const BufferedEvent& e) { return e.beat < cutoff; });
    isMonotonic_ = true;
    for (std::size_t i = 0; i < rollingBuffer_.size(); ++i) {
        if (i == 0) {
            minBeat_ = rollingBuffer_[0].beat;
        } else {
            minBeat_ = std::min(minBeat_, rollingBuffer_[i].beat);
            if (rollingBuffer_[i].beat < rollingBuffer_[i - 1].beat) isMonotonic_ = false;
        }
    }
}

void LinkLooperCaptureBuffer::removeAll() {
    rollingBuffer_.clear();
    isMonotonic_ = true;
    minBeat_ = 0;
}

std::vector<LinkLooperCapturedEvent> LinkLooperCaptureBuffer::capturedLoop(double now,
                                                                           double loopLengthBeats) const {
    std::vector<LinkLooperCapturedEvent> out;
    if (!(loopLengthBeats > 0)) return out;
    const double windowStart = now - loopLengthBeats;
    const double earliest = windowStart - kEarlyGraceBeats;

    auto offsetOf = [&](double beat) {
        double offset = quantized(beat) - windowStart;
        // Entries lie at most a thirty-second before the window, so this adds L at most once or twice.
        while (offset < 0) offset += loopLengthBeats;
        return offset;
    };

    std::unordered_map<MIDINoteIdentity, std::deque<PendingNoteOn>> pending;
    std::int64_t order = 0;
    for (const auto& entry : rollingBuffer_) {
        if (!(entry.beat >= earliest && entry.beat < now)) continue;
        const std::int64_t thisOrder = order++;
        const MIDINoteIdentity id{entry.event.note, entry.event.channel};
        if (entry.event.type == MIDIEventType::noteOn) {
            pending[id].push_back(PendingNoteOn{entry, thisOrder});
            continue;
        }
        if (entry.event.type == MIDIEventType::noteOff) {
            if (const auto it = pending.find(id); it != pending.end() && !it->second.empty()) {
                const PendingNoteOn noteOn = it->second.front();
                it->second.pop_front();
                if (it->second.empty()) pending.erase(it);
                const double onOffset = offsetOf(noteOn.bufferedEvent.beat);
                const double duration = std::max(0.0, entry.beat - noteOn.bufferedEvent.beat);
                out.push_back({noteOn.bufferedEvent.event, onOffset, noteOn.order});
                out.push_back({entry.event, onOffset + duration, thisOrder});
                continue;
            }
        }
        out.push_back({entry.event, offsetOf(entry.beat), thisOrder});
    }

    // Notes still held at `now`: replayed as note-ons only.
    std::vector<PendingNoteOn> held;
    for (auto& [id, list] : pending) {
        for (auto& p : list) held.push_back(std::move(p));
    }
    std::sort(held.begin(), held.end(),
              [](const PendingNoteOn& a, const PendingNoteOn& b) { return a.order < b.order; });
    for (const auto& p : held)
        out.push_back({p.bufferedEvent.event, offsetOf(p.bufferedEvent.beat), p.order});

    std::sort(out.begin(), out.end(), [](const LinkLooperCapturedEvent& a, const LinkLooperCapturedEvent& b) {
        return a.offset != b.offset ? a.offset < b.offset : a.order < b.order;
    });
    return out;
}

}  // namespace velorin
