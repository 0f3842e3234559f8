// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/MIDIRoutingStore.hpp"
#include "midi/MIDIEvent.hpp"
#include "midi/ScheduledMIDIEvent.hpp"
#include "morphs/MorphEngine.hpp"

namespace velorin {

// The engine's record of the notes it must be able to end: the notes each input
// holds through each of its deliveries (a morph's input group), and the notes
// scheduled events have left sounding on a morph's output group. Bookkeeping
// only: the engine sends the note-offs through the morphs. Engine thread only.
class MIDINoteLedger {
public:
    // The notes one input started through one delivery, taken out to be ended.
    struct HeldRelease {
        std::string morphKey;
        std::string inputGroupKey;
        std::vector<MIDINoteIdentity> notes;
    };
    // The notes scheduled events have left sounding on one group of a morph
    // (by its registry index), by the cancellation key they carried.
    struct ScheduledSounding {
        std::size_t morphIndex = 0;
        std::string outputGroupKey;
        std::optional<std::string> cancellationKey;
        MorphOutstandingNotes notes;
    };

    static bool isNoteEvent(const MIDIEvent& event) {
        return event.type == MIDIEventType::noteOn || event.type == MIDIEventType::noteOff;
    }
    // A note-off, or a note-on with velocity 0.
    static bool isNoteRelease(const MIDIEvent& event) {
        return event.type == MIDIEventType::noteOff ||
               (event.type == MIDIEventType::noteOn && event.velocity <= 0);
    }

    // --- held input notes ---
    // Records the notes a batch of one input starts and ends through each of
    // its deliveries. Allocates only for an input or delivery seen the first time.
    void trackHeldNotes(std::string_view inputKey, std::optional<std::string_view> sourceName,
                        std::span<const MIDIEvent> events,
                        const std::vector<RoutingInputDelivery>& deliveries);
    // Takes out the notes an input holds, through every delivery or only the one
    // to `morphKey`'s `inputGroupKey`, with the source name they arrived under.
    // Empty when nothing is held there.
    std::vector<HeldRelease> takeHeldNotes(std::string_view inputKey,
                                           std::optional<std::string_view> morphKey,
                                           std::optional<std::string_view> inputGroupKey,
                                           std::optional<std::string>& sourceName);
    std::size_t heldNoteCount(std::string_view inputKey) const;
    bool holdsAnyInput() const { return !heldNotesByInput_.empty(); }
    std::vector<std::string> heldInputKeys() const;
    void forgetInput(std::string_view inputKey);

    // --- notes scheduled events left sounding ---
    // A sent scheduled note-on starts sounding on its morph's output group.
    void noteScheduledNoteOn(std::size_t morphIndex, const ScheduledMIDIEvent& scheduled,
                             const MIDIEvent& sent);
    // A sent note-off ends the note on every group of the morph.
    void forgetScheduledNote(std::size_t morphIndex, const MIDIEvent& noteOff);
    bool hasScheduledSounding() const { return !scheduledSounding_.empty(); }
    // Whether any note of a scheduled event sounds now.
    bool isScheduledNoteSounding() const {
        return std::any_of(scheduledSounding_.begin(), scheduledSounding_.end(),
                           [](const ScheduledSounding& entry) { return !entry.notes.empty(); });
    }
    // Takes out every group's sounding notes (a copy of each group that has any).
    std::vector<ScheduledSounding> takeScheduledSounding();

    // Forgets every held and sounding note.
    void clear() {
        heldNotesByInput_.clear();
        lastInput_ = nullptr;
        scheduledSounding_.clear();
    }

private:
    struct StringHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    struct HeldThroughDelivery {
        std::string morphKey;
        std::string inputGroupKey;
        MorphOutstandingNotes notes;
    };
    struct HeldInputNotes {
        std::optional<std::string> sourceName;
        std::vector<HeldThroughDelivery> deliveries;
    };

    static HeldThroughDelivery& heldThrough(HeldInputNotes& held, const RoutingInputDelivery& delivery);

    std::unordered_map<std::string, HeldInputNotes, StringHash, std::equal_to<>> heldNotesByInput_;
    // The entry of the input tracked last (entries do not move): most batches
    // come from the input before them, and a key compare costs less than a lookup.
    std::string lastInputKey_;
    HeldInputNotes* lastInput_ = nullptr;
    std::vector<HeldThroughDelivery*> heldScratch_;  // per delivery of the batch, found on first use
    std::vector<ScheduledSounding> scheduledSounding_;
};

}  // namespace velorin
