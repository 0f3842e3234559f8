// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "midi/MIDIEvent.hpp"

namespace velorin {

// One event of a loop: where it plays, in beats after the loop's start, and a
// tie-break among events with equal offsets.
struct LinkLooperCapturedEvent {
    MIDIEvent event;
    double offset = 0;
    std::int64_t order = 0;
    friend bool operator==(const LinkLooperCapturedEvent&, const LinkLooperCapturedEvent&) = default;
};

// The Link Looper's rolling record of everything played into it during the last
// 64 1/8 Link beats, and the cut that turns the last loop length of it into
// loop events snapped to sixteenth notes. Engine thread only.
class LinkLooperCaptureBuffer {
public:
    struct BufferedEvent {
        MIDIEvent event;
        double beat = 0;
        friend bool operator==(const BufferedEvent&, const BufferedEvent&) = default;
    };
    struct PendingNoteOn {
        BufferedEvent bufferedEvent;
        std::int64_t order = 0;
    };

    // The longest loop (64 beats) plus one thirty-second note.
    static constexpr double kRetainedBeats = 64.0;
    static constexpr double kEarlyGraceBeats = 0.125;
    // While Link is disabled every event arrives at beat 0 and nothing ages
    // out; the buffer then keeps only the newest this many entries. (At any real
    // tempo 64 beats of input stay far below it.)
    static constexpr std::size_t kMaxEntries = 100'000;

    // Records one input event at `beat` (System Exclusive is never recorded),
    // then prunes with now = `beat`.
    void append(const MIDIEvent& event, double beat);
    // Removes every entry whose beat is below now - 64.125; the rest keep their order.
    void prune(double now);
    // The last `loopLengthBeats` before `now` as loop events, sorted by offset
    // and then order. Does not change the buffer.
    std::vector<LinkLooperCapturedEvent> capturedLoop(double now, double loopLengthBeats) const;
    void removeAll();

    const std::deque<BufferedEvent>& rollingBuffer() const { return rollingBuffer_; }
    std::size_t size() const { return rollingBuffer_.size(); }

    // Quantises a beat to sixteenth notes, halves away from zero.
    static double quantized(double beat);

private:
    std::deque<BufferedEvent> rollingBuffer_;
    // True while the beats never decrease along the buffer, so pruning only
    // has to look at the front. A backward jump of the Link timeline clears it
    // until a full prune finds the order restored.
    bool isMonotonic_ = true;
    // A lower bound of every beat in the buffer; lets a prune that cannot
    // remove anything return at once.
    double minBeat_ = 0;
};

}  // namespace velorin
