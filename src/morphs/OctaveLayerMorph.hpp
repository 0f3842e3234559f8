// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>

#include "morphs/Morph.hpp"
#include "morphs/OctaveLayerSettings.hpp"

namespace velorin {

// Doubles played notes: every note-on goes out with a copy for each enabled
// layer (one or two octaves below or above); every note-off ends the note and
// exactly the copies that note started. Layers are switched by protocol 02
// device control messages. Everything else is dropped.
class OctaveLayerMorph final : public Morph {
public:
    explicit OctaveLayerMorph(std::shared_ptr<OctaveLayerSettings> settings);

    void logStartupSummary(const MorphContext& context) override;
    void reset(MorphActions& out) override;
    void process(const MIDIEvent& event, const MorphContext& context, MorphActions& out) override;

    // Number of played notes whose copies are being remembered (for tests).
    std::size_t heldSourceCount() const;

private:
    // The copies one played note started, ascending; `present` distinguishes "no
    // entry" from "an entry with no copies".
    struct LayerNotes {
        std::array<std::int64_t, 4> notes{};
        std::uint8_t count = 0;
        bool present = false;
    };

    void noteOn(const MIDIEvent& event, MorphActions& out);
    void noteOff(const MIDIEvent& event, MorphActions& out);
    static std::optional<std::size_t> arrayIndex(const MIDINoteIdentity& id);
    LayerNotes enabledCopies(std::int64_t note) const;
    static void keepEarlierCopies(LayerNotes& copies, const LayerNotes& earlier);

    std::shared_ptr<OctaveLayerSettings> settings_;
    // Indexed by channel * 128 + note for ordinary notes, so the steady state
    // allocates nothing; identities outside 0-127 / 0-15 go to the map.
    std::array<LayerNotes, 16 * 128> held_{};
    std::size_t heldCount_ = 0;
    // Only events built by other morphs can carry such identities; the cap keeps
    // a misbehaving chain from growing this without bound.
    static constexpr std::size_t kMaxOutOfRangeSources = 2048;
    std::unordered_map<MIDINoteIdentity, LayerNotes> heldOutOfRange_;
};

}  // namespace velorin
