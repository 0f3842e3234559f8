// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <bitset>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "midi/MIDIEvent.hpp"
#include "midi/ScheduledMIDIEvent.hpp"
#include "morphs/Morph.hpp"
#include "morphs/MorphAction.hpp"
#include "morphs/MorphCapabilities.hpp"
#include "morphs/MorphContext.hpp"
#include "morphs/MorphOutput.hpp"

namespace velorin {

// The notes a morph has switched on and not yet off. Identities, not counts.
// Notes 0…127 on channels 0…15 live in a fixed bitset so that recording a sent
// note never allocates; any other (note, channel) goes to a small fallback set.
class MorphOutstandingNotes {
public:
    void insert(MIDINoteIdentity note);
    void erase(MIDINoteIdentity note);
    bool contains(MIDINoteIdentity note) const;
    bool empty() const { return inRangeCount_ == 0 && outOfRange_.empty(); }
    std::size_t size() const { return inRangeCount_ + outOfRange_.size(); }
    void clear();

    // Calls `f(MIDINoteIdentity)` for each note: in-range notes by channel, then by
    // note; then the out-of-range ones by channel and note.
    template <typename F>
    void forEach(F&& f) const {
        if (inRangeCount_ > 0) {
            for (std::size_t i = 0; i < kInRange; ++i) {
                if (inRange_.test(i)) {
                    f(MIDINoteIdentity{static_cast<std::int64_t>(i % kNotes),
                                       static_cast<std::int64_t>(i / kNotes)});
                }
            }
        }
        if (!outOfRange_.empty()) {
            for (const MIDINoteIdentity& n : sortedOutOfRange()) f(n);
        }
    }

    std::unordered_set<MIDINoteIdentity> toSet() const;

private:
    static constexpr std::size_t kNotes = 128;
    static constexpr std::size_t kChannels = 16;
    static constexpr std::size_t kInRange = kNotes * kChannels;
    static std::optional<std::size_t> slot(MIDINoteIdentity note);
    std::vector<MIDINoteIdentity> sortedOutOfRange() const;

    std::bitset<kInRange> inRange_;
    std::size_t inRangeCount_ = 0;
    std::unordered_set<MIDINoteIdentity> outOfRange_;
};

// One registered morph and the notes it has left sounding.
struct MorphNode {
    std::string id;
    std::shared_ptr<Morph> morph;
    MorphOutstandingNotes outstandingNotes;

    // The morph's optional capabilities, looked up once at creation.
    MorphSentEventObserver* sentEventObserver = nullptr;
    MorphScheduledEventProcessor* scheduledEventProcessor = nullptr;
    MorphLooperControl* looperControl = nullptr;
};

// Runs the registered morphs: hands them events, pairs their actions with the
// morph id, and keeps per morph the notes it switched on. Engine thread only.
// The out-parameter forms append to the caller's vector, which the caller reuses
// so that the steady state allocates nothing; the value-returning forms are
// conveniences for the cold paths.
class MorphEngine {
public:
    using Registration = std::pair<std::string, std::shared_ptr<Morph>>;

    explicit MorphEngine(std::vector<Registration> morphs);

    const std::vector<MorphNode>& nodes() const { return nodes_; }
    // The first node with `morphID`, or null.
    const MorphNode* node(std::string_view morphID) const;

    void logStartupSummaries(const MorphContext& context);

    void process(std::string_view morphID, std::string_view inputGroupKey, const MIDIEvent& event,
                 const MorphContext& context, MorphOutputs& out);
    // Whether the morph would pass `event` on unchanged (Morph::passesUnchanged).
    bool passesUnchanged(std::string_view morphID, const MIDIEvent& event) const {
        const MorphNode* n = node(morphID);
        return n != nullptr && n->morph->passesUnchanged(event);
    }
    MorphOutputs process(std::string_view morphID, std::string_view inputGroupKey, const MIDIEvent& event,
                         const MorphContext& context);

    void resetAll(MorphActions& out);
    MorphActions resetAll();
    void reset(std::string_view morphID, MorphActions& out);
    MorphActions reset(std::string_view morphID);

    std::unordered_set<MIDINoteIdentity> outstandingNotes(std::string_view morphID) const;

    void startupSnapshot(const MorphContext& context, MorphOutputs& out);
    MorphOutputs startupSnapshot(const MorphContext& context);

    void applyLooperControl(std::string_view morphID, std::int64_t target, std::int64_t value,
                            std::int64_t parameter, const MorphContext& context, MorphOutputs& out);
    MorphOutputs applyLooperControl(std::string_view morphID, std::int64_t target, std::int64_t value,
                                    std::int64_t parameter, const MorphContext& context);

    void recordSentEvent(const MIDIEvent& event, std::string_view morphID,
                         std::optional<std::string_view> cancellationKey);
    // The same for a node found before with runningNode().
    void recordSentEvent(const MIDIEvent& event, MorphNode& node,
                         std::optional<std::string_view> cancellationKey);
    // The node of a morph that runs, or null: for callers that look it up once
    // and keep it. Nodes are made with the engine and never move.
    MorphNode* runningNode(std::string_view morphID) { return findNode(morphID); }

    std::optional<MIDIEvent> prepareScheduledEvent(const ScheduledMIDIEvent& scheduled);

private:
    MorphNode* findNode(std::string_view morphID);
    void pairActions(const std::string& morphID, MorphOutputs& out);

    std::vector<MorphNode> nodes_;  // filled by the constructor only: addresses hold
    MorphActions scratch_;          // reused between calls: a morph's actions before pairing
};

}  // namespace velorin
