// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "morphs/LinkLooperCaptureBuffer.hpp"

namespace velorin {
namespace {

MIDIEvent on(std::int64_t n, std::int64_t ch = 0) {
    return MIDIEvent::noteOnEvent(n, 100, ch);
}
MIDIEvent off(std::int64_t n, std::int64_t ch = 0) {
    return MIDIEvent::noteOffEvent(n, 0, ch);
}

TEST(LinkLooperCaptureBuffer, WindowIncludesOneThirtySecondBeforeStartButNotNow) {
    LinkLooperCaptureBuffer buffer;
    buffer.append(MIDIEvent::ccEvent(1, 1, 0), 91.874);
    buffer.append(MIDIEvent::ccEvent(2, 1, 0), 91.875);
    buffer.append(MIDIEvent::ccEvent(3, 1, 0), 92.0);
    buffer.append(MIDIEvent::ccEvent(4, 1, 0), 100.0);
    const auto loop = buffer.capturedLoop(100, 8);
    ASSERT_EQ(loop.size(), 2u);
    EXPECT_EQ(loop[0].event.note, 2);
    EXPECT_EQ(loop[1].event.note, 3);
    EXPECT_EQ(loop[0].offset, 0);
    EXPECT_EQ(loop[0].order, 0);
    EXPECT_EQ(loop[1].order, 1);
}

TEST(LinkLooperCaptureBuffer, NoteOnIsQuantisedAndNoteOffKeepsPlayedLength) {
    LinkLooperCaptureBuffer buffer;
    buffer.append(on(60), 92.13);
    buffer.append(off(60), 92.60);
    const auto loop = buffer.capturedLoop(100, 8);
    ASSERT_EQ(loop.size(), 2u);
    EXPECT_DOUBLE_EQ(loop[0].offset, 0.25);
    EXPECT_NEAR(loop[1].offset, 0.72, 1e-9);
    EXPECT_EQ(loop[1].event, off(60));
}

TEST(LinkLooperCaptureBuffer, OffsetsWrapButNeverExceedByRounding) {
    LinkLooperCaptureBuffer buffer;
    buffer.append(on(60), 91.9);  // early grace: snaps to the window start
    buffer.append(on(62), 99.9);  // rounds up to now: plays at now + L
    auto loop = buffer.capturedLoop(100, 8);
    ASSERT_EQ(loop.size(), 2u);
    EXPECT_EQ(loop[0].offset, 0);
    EXPECT_EQ(loop[1].offset, 8);

    LinkLooperCaptureBuffer late;
    late.append(on(60), 92.0);
    loop = late.capturedLoop(100.1, 8);
    ASSERT_EQ(loop.size(), 1u);
    EXPECT_NEAR(loop[0].offset, 7.9, 1e-9);
}

TEST(LinkLooperCaptureBuffer, QuantisesHalvesAwayFromZero) {
    EXPECT_EQ(LinkLooperCaptureBuffer::quantized(3.125), 3.25);
    EXPECT_EQ(LinkLooperCaptureBuffer::quantized(-3.125), -3.25);
    EXPECT_EQ(LinkLooperCaptureBuffer::quantized(92.13), 92.25);
}

TEST(LinkLooperCaptureBuffer, RepeatedNotesPairFirstInFirstOut) {
    LinkLooperCaptureBuffer buffer;
    buffer.append(on(60), 92);
    buffer.append(on(60), 93);
    buffer.append(off(60), 94);
    buffer.append(off(60), 95);
    const auto loop = buffer.capturedLoop(100, 8);
    ASSERT_EQ(loop.size(), 4u);
    EXPECT_EQ(loop[0].offset, 0);
    EXPECT_EQ(loop[0].event.type, MIDIEventType::noteOn);
    EXPECT_EQ(loop[1].offset, 1);
    EXPECT_EQ(loop[1].event.type, MIDIEventType::noteOn);
    EXPECT_EQ(loop[2].offset, 2);
    EXPECT_EQ(loop[2].order, 2);
    EXPECT_EQ(loop[3].offset, 3);
    EXPECT_EQ(loop[3].order, 3);
}

TEST(LinkLooperCaptureBuffer, OrphanNoteOffAndHeldNoteOnReplayAlone) {
    LinkLooperCaptureBuffer buffer;
    buffer.append(on(50), 80);     // before the window
    buffer.append(off(50), 93.1);  // its note-off, alone, at its own quantised offset
    buffer.append(on(64), 96.0);   // still held at now
    const auto loop = buffer.capturedLoop(100, 8);
    ASSERT_EQ(loop.size(), 2u);
    EXPECT_EQ(loop[0].event, off(50));
    EXPECT_EQ(loop[0].offset, 1.0);
    EXPECT_EQ(loop[1].event, on(64));
    EXPECT_EQ(loop[1].offset, 4.0);
}

TEST(LinkLooperCaptureBuffer, ControllersInOneSixteenthKeepArrivalOrder) {
    LinkLooperCaptureBuffer buffer;
    buffer.append(MIDIEvent::ccEvent(1, 10, 0), 92.01);
    buffer.append(MIDIEvent::ccEvent(1, 20, 0), 92.05);
    buffer.append(MIDIEvent::ccEvent(1, 30, 0), 92.10);
    const auto loop = buffer.capturedLoop(100, 8);
    ASSERT_EQ(loop.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(loop[i].offset, 0);
        EXPECT_EQ(loop[i].event.velocity, static_cast<std::int64_t>(10 * (i + 1)));
    }
}

TEST(LinkLooperCaptureBuffer, NeverCapturesSystemExclusive) {
    LinkLooperCaptureBuffer buffer;
    MIDIEvent sysex;
    sysex.type = MIDIEventType::systemExclusive;
    sysex.data = {0xF0, 0xF7};
    buffer.append(sysex, 95);
    EXPECT_EQ(buffer.size(), 0u);
}

TEST(LinkLooperCaptureBuffer, PrunesToTheLast64AndAnEighthBeats) {
    LinkLooperCaptureBuffer buffer;
    buffer.append(on(1), 10.0);
    buffer.append(on(2), 35.875);
    buffer.append(on(3), 35.874 + 0.0);
    buffer.append(on(4), 100.0);  // cut-off 35.875: the entry exactly there stays
    std::vector<std::int64_t> notes;
    for (const auto& e : buffer.rollingBuffer()) notes.push_back(e.event.note);
    EXPECT_EQ(notes, (std::vector<std::int64_t>{2, 4}));
}

TEST(LinkLooperCaptureBuffer, BackwardBeatJumpKeepsFutureEntriesOutOfCutsUntilTheyAge) {
    LinkLooperCaptureBuffer buffer;
    buffer.append(on(1), 50.0);
    buffer.append(on(2), 2.0);  // timeline reset
    EXPECT_EQ(buffer.size(), 2u);
    auto loop = buffer.capturedLoop(4.0, 8);
    ASSERT_EQ(loop.size(), 1u);
    EXPECT_EQ(loop[0].event.note, 2);
    buffer.prune(114.0);  // 50 is still within 64 1/8 beats of 114
    EXPECT_EQ(buffer.size(), 1u);
    buffer.append(on(3), 114.2);
    EXPECT_EQ(buffer.size(), 1u);
    EXPECT_EQ(buffer.rollingBuffer().front().event.note, 3);
}

// With Link disabled every event arrives at beat 0 and nothing ages out; the
// buffer must not grow without bound.
TEST(LinkLooperCaptureBuffer, KeepsOnlyTheNewestEntriesWhileBeatsStandStill) {
    LinkLooperCaptureBuffer buffer;
    const std::size_t total = LinkLooperCaptureBuffer::kMaxEntries + 250;
    for (std::size_t i = 0; i < total; ++i) {
        buffer.append(MIDIEvent::ccEvent(static_cast<std::int64_t>(i % 128),
                                         static_cast<std::int64_t>(i / 128 % 128), 0),
                      0.0);
    }
    ASSERT_EQ(buffer.size(), LinkLooperCaptureBuffer::kMaxEntries);
    // The oldest 250 went; the newest is last.
    EXPECT_EQ(buffer.rollingBuffer().front().event.note, 250 % 128);
    EXPECT_EQ(buffer.rollingBuffer().back().event.note, static_cast<std::int64_t>((total - 1) % 128));
    buffer.removeAll();
    EXPECT_EQ(buffer.size(), 0u);
}

}  // namespace
}  // namespace velorin
