// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/MIDINoteLedger.hpp"

#include <utility>

namespace velorin {

MIDINoteLedger::HeldThroughDelivery& MIDINoteLedger::heldThrough(HeldInputNotes& held,
                                                                 const RoutingInputDelivery& delivery) {
    for (auto& entry : held.deliveries) {
        if (entry.morphKey == delivery.morphKey && entry.inputGroupKey == delivery.inputGroupKey)
            return entry;
    }
    return held.deliveries.emplace_back(
        HeldThroughDelivery{delivery.morphKey, delivery.inputGroupKey, MorphOutstandingNotes{}});
}

void MIDINoteLedger::trackHeldNotes(std::string_view inputKey, std::optional<std::string_view> sourceName,
                                    std::span<const MIDIEvent> events,
                                    const std::vector<RoutingInputDelivery>& deliveries) {
    HeldInputNotes* held = nullptr;
    for (const MIDIEvent& event : events) {
        if (!isNoteEvent(event)) continue;
        const bool releases = isNoteRelease(event);
        if (held == nullptr) {
            if (lastInput_ != nullptr && lastInputKey_ == inputKey) {
                held = lastInput_;
            } else {
                auto it = heldNotesByInput_.find(inputKey);
                if (it == heldNotesByInput_.end()) {
                    if (releases) continue;  // nothing held, nothing to end
                    it = heldNotesByInput_.emplace(std::string(inputKey), HeldInputNotes{}).first;
                }
                held = &it->second;
                lastInputKey_ = inputKey;
                lastInput_ = held;
            }
            if (held->sourceName != sourceName)
                held->sourceName = sourceName ? std::optional<std::string>(*sourceName) : std::nullopt;
            // One pass when every delivery has its entry (the steady state);
            // adding one may move the others, so then their addresses again.
            const std::size_t entries = held->deliveries.size();
            heldScratch_.clear();
            for (const auto& delivery : deliveries) heldScratch_.push_back(&heldThrough(*held, delivery));
            if (held->deliveries.size() != entries) {
                heldScratch_.clear();
                for (const auto& delivery : deliveries) heldScratch_.push_back(&heldThrough(*held, delivery));
            }
        }
        const MIDINoteIdentity note{event.note, event.channel};
        for (HeldThroughDelivery* entry : heldScratch_) {
            if (releases) {
                entry->notes.erase(note);
            } else {
                entry->notes.insert(note);
            }
        }
    }
}

std::vector<MIDINoteLedger::HeldRelease> MIDINoteLedger::takeHeldNotes(
    std::string_view inputKey, std::optional<std::string_view> morphKey,
    std::optional<std::string_view> inputGroupKey, std::optional<std::string>& sourceName) {
    std::vector<HeldRelease> releases;
    const auto it = heldNotesByInput_.find(inputKey);
    if (it == heldNotesByInput_.end()) return releases;
    for (auto& entry : it->second.deliveries) {
        if (entry.notes.empty()) continue;
        if (morphKey && entry.morphKey != *morphKey) continue;
        if (inputGroupKey && entry.inputGroupKey != *inputGroupKey) continue;
        std::vector<MIDINoteIdentity> notes;
        entry.notes.forEach([&notes](MIDINoteIdentity n) { notes.push_back(n); });
        entry.notes.clear();
        releases.push_back(HeldRelease{entry.morphKey, entry.inputGroupKey, std::move(notes)});
    }
    if (!releases.empty()) sourceName = it->second.sourceName;
    return releases;
}

std::size_t MIDINoteLedger::heldNoteCount(std::string_view inputKey) const {
    const auto it = heldNotesByInput_.find(inputKey);
    if (it == heldNotesByInput_.end()) return 0;
    std::size_t count = 0;
    for (const auto& entry : it->second.deliveries) count += entry.notes.size();
    return count;
}

std::vector<std::string> MIDINoteLedger::heldInputKeys() const {
    std::vector<std::string> keys;
    for (const auto& [key, held] : heldNotesByInput_) keys.push_back(key);
    return keys;
}

void MIDINoteLedger::forgetInput(std::string_view inputKey) {
    if (auto it = heldNotesByInput_.find(inputKey); it != heldNotesByInput_.end()) {
        if (&it->second == lastInput_) lastInput_ = nullptr;
        heldNotesByInput_.erase(it);
    }
}

void MIDINoteLedger::noteScheduledNoteOn(std::size_t morphIndex, const ScheduledMIDIEvent& scheduled,
                                         const MIDIEvent& sent) {
    const MIDINoteIdentity note{sent.note, sent.channel};
    for (auto& entry : scheduledSounding_) {
        if (entry.morphIndex == morphIndex && entry.outputGroupKey == scheduled.outputGroupKey &&
            entry.cancellationKey == scheduled.cancellationKey) {
            entry.notes.insert(note);
            return;
        }
    }
    scheduledSounding_.push_back(ScheduledSounding{morphIndex, scheduled.outputGroupKey,
                                                   scheduled.cancellationKey, MorphOutstandingNotes{}});
    scheduledSounding_.back().notes.insert(note);
}

void MIDINoteLedger::forgetScheduledNote(std::size_t morphIndex, const MIDIEvent& noteOff) {
    for (auto& entry : scheduledSounding_) {
        if (entry.morphIndex == morphIndex)
            entry.notes.erase(MIDINoteIdentity{noteOff.note, noteOff.channel});
    }
}

std::vector<MIDINoteLedger::ScheduledSounding> MIDINoteLedger::takeScheduledSounding() {
    std::vector<ScheduledSounding> sounding;
    for (auto& entry : scheduledSounding_) {
        if (entry.notes.empty()) continue;
        sounding.push_back(entry);
        entry.notes.clear();
    }
    return sounding;
}

}  // namespace velorin
