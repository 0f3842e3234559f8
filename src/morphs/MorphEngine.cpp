// SPDX-License-Identifier: GPL-3.0-or-later
#include "morphs/MorphEngine.hpp"

#include <algorithm>

namespace velorin {

// --- MorphOutstandingNotes ---------------------------------------------------

std::optional<std::size_t> MorphOutstandingNotes::slot(MIDINoteIdentity note) {
    if (note.note < 0 || note.note >= static_cast<std::int64_t>(kNotes) || note.channel < 0 ||
        note.channel >= static_cast<std::int64_t>(kChannels)) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(note.channel) * kNotes + static_cast<std::size_t>(note.note);
}

void MorphOutstandingNotes::insert(MIDINoteIdentity note) {
    if (auto s = slot(note)) {
        if (!inRange_.test(*s)) {
            inRange_.set(*s);
            ++inRangeCount_;
        }
    } else {
        outOfRange_.insert(note);
    }
}

void MorphOutstandingNotes::erase(MIDINoteIdentity note) {
    if (auto s = slot(note)) {
        if (inRange_.test(*s)) {
            inRange_.reset(*s);
            --inRangeCount_;
        }
    } else if (!outOfRange_.empty()) {
        outOfRange_.erase(note);
    }
}

bool MorphOutstandingNotes::contains(MIDINoteIdentity note) const {
    if (auto s = slot(note)) return inRange_.test(*s);
    return outOfRange_.count(note) > 0;
}

void MorphOutstandingNotes::clear() {
    inRange_.reset();
    inRangeCount_ = 0;
    outOfRange_.clear();
}

std::vector<MIDINoteIdentity> MorphOutstandingNotes::sortedOutOfRange() const {
    std::vector<MIDINoteIdentity> notes(outOfRange_.begin(), outOfRange_.end());
    std::sort(notes.begin(), notes.end(), [](const MIDINoteIdentity& a, const MIDINoteIdentity& b) {
        return a.channel != b.channel ? a.channel < b.channel : a.note < b.note;
    });
    return notes;
}

std::unordered_set<MIDINoteIdentity> MorphOutstandingNotes::toSet() const {
    std::unordered_set<MIDINoteIdentity> set;
    forEach([&set](MIDINoteIdentity n) { set.insert(n); });
    return set;
}

// --- MorphEngine ---------------------------------------------------------------

MorphEngine::MorphEngine(std::vector<Registration> morphs) {
    nodes_.reserve(morphs.size());
    for (auto& [id, morph] : morphs) {
        MorphNode node;
        node.id = std::move(id);
        node.morph = std::move(morph);
        if (node.morph) {
            node.sentEventObserver = dynamic_cast<MorphSentEventObserver*>(node.morph.get());
            node.scheduledEventProcessor = dynamic_cast<MorphScheduledEventProcessor*>(node.morph.get());
            node.looperControl = dynamic_cast<MorphLooperControl*>(node.morph.get());
        }
        nodes_.push_back(std::move(node));
    }
}

MorphNode* MorphEngine::findNode(std::string_view morphID) {
    for (MorphNode& node : nodes_) {
        if (node.id == morphID) return node.morph ? &node : nullptr;
    }
    return nullptr;
}

const MorphNode* MorphEngine::node(std::string_view morphID) const {
    for (const MorphNode& n : nodes_) {
        if (n.id == morphID) return n.morph ? &n : nullptr;
    }
    return nullptr;
}

void MorphEngine::pairActions(const std::string& morphID, MorphOutputs& out) {
    for (MorphAction& action : scratch_) out.push_back(MorphOutput{std::move(action), morphID});
    scratch_.clear();
}

void MorphEngine::logStartupSummaries(const MorphContext& context) {
    for (MorphNode& node : nodes_) {
        if (node.morph) node.morph->logStartupSummary(context);
    }
}

void MorphEngine::process(std::string_view morphID, std::string_view inputGroupKey, const MIDIEvent& event,
                          const MorphContext& context, MorphOutputs& out) {
    MorphNode* node = findNode(morphID);
    if (!node) return;
    MorphContext local = context;
    local.inputGroupKey = inputGroupKey;
    scratch_.clear();
    node->morph->process(event, local, scratch_);
    pairActions(node->id, out);
}

MorphOutputs MorphEngine::process(std::string_view morphID, std::string_view inputGroupKey,
                                  const MIDIEvent& event, const MorphContext& context) {
    MorphOutputs out;
    process(morphID, inputGroupKey, event, context, out);
    return out;
}

void MorphEngine::resetAll(MorphActions& out) {
    for (const MorphNode& node : nodes_) {
        node.outstandingNotes.forEach([&out](MIDINoteIdentity n) {
            out.push_back(MorphAction::send(MIDIEvent::noteOffEvent(n.note, 0, n.channel)));
        });
    }
    for (MorphNode& node : nodes_) {
        if (node.morph) node.morph->reset(out);
    }
}

MorphActions MorphEngine::resetAll() {
    MorphActions out;
    resetAll(out);
    return out;
}

void MorphEngine::reset(std::string_view morphID, MorphActions& out) {
    if (MorphNode* node = findNode(morphID)) node->morph->reset(out);
}

MorphActions MorphEngine::reset(std::string_view morphID) {
    MorphActions out;
    reset(morphID, out);
    return out;
}

std::unordered_set<MIDINoteIdentity> MorphEngine::outstandingNotes(std::string_view morphID) const {
    if (const MorphNode* n = node(morphID)) return n->outstandingNotes.toSet();
    return {};
}

void MorphEngine::startupSnapshot(const MorphContext& context, MorphOutputs& out) {
    for (MorphNode& node : nodes_) {
        if (!node.morph) continue;
        scratch_.clear();
        node.morph->startupSnapshot(context, scratch_);
        pairActions(node.id, out);
    }
}

MorphOutputs MorphEngine::startupSnapshot(const MorphContext& context) {
    MorphOutputs out;
    startupSnapshot(context, out);
    return out;
}

void MorphEngine::applyLooperControl(std::string_view morphID, std::int64_t target, std::int64_t value,
                                     std::int64_t parameter, const MorphContext& context, MorphOutputs& out) {
    MorphNode* node = findNode(morphID);
    if (!node || !node->looperControl) return;
    scratch_.clear();
    node->looperControl->applyLooperControl(target, value, parameter, context, scratch_);
    pairActions(node->id, out);
}

MorphOutputs MorphEngine::applyLooperControl(std::string_view morphID, std::int64_t target,
                                             std::int64_t value, std::int64_t parameter,
                                             const MorphContext& context) {
    MorphOutputs out;
    applyLooperControl(morphID, target, value, parameter, context, out);
    return out;
}

void MorphEngine::recordSentEvent(const MIDIEvent& event, std::string_view morphID,
                                  std::optional<std::string_view> cancellationKey) {
    if (MorphNode* node = findNode(morphID)) recordSentEvent(event, *node, cancellationKey);
}

void MorphEngine::recordSentEvent(const MIDIEvent& event, MorphNode& node,
                                  std::optional<std::string_view> cancellationKey) {
    const MIDINoteIdentity identity{event.note, event.channel};
    if (event.type == MIDIEventType::noteOn && event.velocity > 0) {
        node.outstandingNotes.insert(identity);
    } else if (event.type == MIDIEventType::noteOff || event.type == MIDIEventType::noteOn) {
        node.outstandingNotes.erase(identity);
    }
    if (node.sentEventObserver && cancellationKey)
        node.sentEventObserver->didSendEvent(event, *cancellationKey);
}

std::optional<MIDIEvent> MorphEngine::prepareScheduledEvent(const ScheduledMIDIEvent& scheduled) {
    MorphNode* node = findNode(scheduled.morphID);
    if (node && node->scheduledEventProcessor && scheduled.cancellationKey) {
        return node->scheduledEventProcessor->prepareScheduledEvent(scheduled.event,
                                                                    *scheduled.cancellationKey);
    }
    return scheduled.event;
}

}  // namespace velorin
