// SPDX-License-Identifier: GPL-3.0-or-later
#include "morphs/OctaveLayerMorph.hpp"

#include <algorithm>
#include <string>

#include "morphs/DeviceControlMessage.hpp"

namespace velorin {

namespace {
constexpr std::string_view kTitle = "Octave Layer";

bool inNoteRange(std::int64_t n) {
    return n >= 0 && n <= 127;
}
}  // namespace

OctaveLayerMorph::OctaveLayerMorph(std::shared_ptr<OctaveLayerSettings> settings)
    : settings_(std::move(settings)) {}

void OctaveLayerMorph::logStartupSummary(const MorphContext& context) {
    context.logMessage(MessageType::morph, kTitle, "Controlled by Velorin SysEx");
}

void OctaveLayerMorph::reset(MorphActions& /*out*/) {
    if (heldCount_ > 0) {
        held_.fill(LayerNotes{});
        heldCount_ = 0;
    }
    heldOutOfRange_.clear();
}

std::size_t OctaveLayerMorph::heldSourceCount() const {
    return heldCount_ + heldOutOfRange_.size();
}

void OctaveLayerMorph::process(const MIDIEvent& event, const MorphContext& context, MorphActions& out) {
    switch (event.type) {
        case MIDIEventType::noteOn:
            if (event.velocity != 0) {
                noteOn(event, out);
            } else {
                noteOff(event, out);
            }
            return;
        case MIDIEventType::noteOff:
            noteOff(event, out);
            return;
        case MIDIEventType::systemExclusive:
            if (const auto command = decodeOctaveLayerControl(event)) {
                const auto [kind, on] = *command;
                settings_->setEnabled(on, kind);
                std::string text(label(kind));
                text += on ? " on" : " off";
                context.logMessage(MessageType::morph, kTitle, text);
            }
            return;
        default:
            return;
    }
}

std::optional<std::size_t> OctaveLayerMorph::arrayIndex(const MIDINoteIdentity& id) {
    if (!inNoteRange(id.note) || id.channel < 0 || id.channel > 15) return std::nullopt;
    return static_cast<std::size_t>(id.channel * 128 + id.note);
}

OctaveLayerMorph::LayerNotes OctaveLayerMorph::enabledCopies(std::int64_t note) const {
    LayerNotes copies;
    copies.present = true;
    for (const auto kind : kAllOctaveLayerKinds) {
        if (!settings_->isEnabled(kind)) continue;
        const std::int64_t m = note + semitoneOffset(kind);
        if (inNoteRange(m)) copies.notes[copies.count++] = m;
    }
    return copies;
}

void OctaveLayerMorph::noteOn(const MIDIEvent& event, MorphActions& out) {
    out.push_back(MorphAction::send(event));
    LayerNotes copies = enabledCopies(event.note);
    for (std::uint8_t i = 0; i < copies.count; ++i) {
        MorphAction& copy = out.emplace_back(MorphAction::send(event));
        copy.event.note = copies.notes[i];
    }
    const MIDINoteIdentity id{event.note, event.channel};
    if (const auto index = arrayIndex(id)) {
        LayerNotes& entry = held_[*index];
        if (entry.present) {
            keepEarlierCopies(copies, entry);
        } else {
            ++heldCount_;
        }
        entry = copies;
    } else if (const auto it = heldOutOfRange_.find(id); it != heldOutOfRange_.end()) {
        keepEarlierCopies(copies, it->second);
        it->second = copies;
    } else if (heldOutOfRange_.size() < kMaxOutOfRangeSources) {
        heldOutOfRange_.emplace(id, copies);
    }
}

// A note played again before its note-off: the copies the earlier note-on
// started are still sounding, so its note-off must end them too, even when
// their layers have been switched off since.
void OctaveLayerMorph::keepEarlierCopies(LayerNotes& copies, const LayerNotes& earlier) {
    for (std::uint8_t i = 0; i < earlier.count; ++i) {
        const auto end = copies.notes.begin() + copies.count;
        if (std::find(copies.notes.begin(), end, earlier.notes[i]) == end &&
            copies.count < copies.notes.size()) {
            copies.notes[copies.count++] = earlier.notes[i];
        }
    }
    std::sort(copies.notes.begin(), copies.notes.begin() + copies.count);
}

void OctaveLayerMorph::noteOff(const MIDIEvent& event, MorphActions& out) {
    const MIDINoteIdentity id{event.note, event.channel};
    LayerNotes copies;
    if (const auto index = arrayIndex(id)) {
        if (held_[*index].present) {
            copies = held_[*index];
            held_[*index] = LayerNotes{};
            --heldCount_;
        }
    } else if (const auto it = heldOutOfRange_.find(id); it != heldOutOfRange_.end()) {
        copies = it->second;
        heldOutOfRange_.erase(it);
    }
    if (!copies.present) copies = enabledCopies(event.note);
    out.push_back(MorphAction::send(event));
    for (std::uint8_t i = 0; i < copies.count; ++i) {
        MorphAction& copy = out.emplace_back(MorphAction::send(event));
        copy.event.note = copies.notes[i];
    }
}

}  // namespace velorin
