// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/SettingsStore.hpp"
#include "engine/MIDIRoutingStore.hpp"
#include "morphs/FC200Settings.hpp"
#include "morphs/LinkLooperSettings.hpp"
#include "morphs/LinkLooperStateStore.hpp"
#include "morphs/Morph.hpp"
#include "morphs/MorphEngine.hpp"
#include "morphs/OctaveLayerSettings.hpp"

namespace velorin {

// Which morph panel the window shows.
enum class MorphUIRoute : std::uint8_t { linkLooper, octaveLayer };
std::string_view rawValue(MorphUIRoute route);

// One entry of the fixed morph registry.
struct MorphRegistration {
    std::string id;
    std::string title;
    std::string detail;
    std::vector<RoutingInputGroupDescriptor> inputGroups;
    std::vector<RoutingOutputGroupDescriptor> outputGroups;
    std::optional<MorphUIRoute> openUI;
    std::function<std::shared_ptr<Morph>()> makeMorph;
};

// What the window lists for one morph.
struct MorphPresentationMetadata {
    std::string id;
    std::string title;
    std::string detail;
    bool hasUI = false;
    std::vector<RoutingInputGroupDescriptor> inputGroups;
    std::vector<RoutingOutputGroupDescriptor> outputGroups;
    friend bool operator==(const MorphPresentationMetadata&, const MorphPresentationMetadata&) = default;
};

// The morphs this build offers, in the window's order, with the settings and
// state their instances share with the window: the Router, the Octave Layer,
// the MIDI Clock, the Link Looper (when its feature flag is on) and the
// FC-200 SysEx morph.
// A morph's position in the registry is its index everywhere in the engine.
// Engine thread only.
class MorphRegistry {
public:
    static constexpr std::string_view kRouterID = "router";
    static constexpr std::string_view kOctaveLayerID = "octave-layer";
    static constexpr std::string_view kLinkLooperID = "link-looper";
    static constexpr std::string_view kFC200ID = "fc200-sysex";
    static constexpr std::string_view kMIDIClockID = "midi-clock";

    MorphRegistry(SettingsStore& settings, bool linkLooperEnabled);

    const std::vector<MorphRegistration>& registrations() const { return registrations_; }
    // Inline: the engine looks a morph up for every event it sends.
    std::optional<std::size_t> index(std::string_view morphID) const {
        for (std::size_t i = 0; i < registrations_.size(); ++i) {
            if (registrations_[i].id == morphID) return i;
        }
        return std::nullopt;
    }
    // One new instance of every registered morph, in registry order.
    std::vector<MorphEngine::Registration> makeMorphs() const;
    std::vector<std::string> ids() const;
    // The morphs the window lists: every registration, the FC-200's only while shown.
    std::vector<MorphPresentationMetadata> presentations() const;
    // The listed morphs as candidates for a morph's output destinations.
    std::vector<MorphOutputDestinationPresentation::Candidate> destinationCandidates() const;

    const std::shared_ptr<FC200Settings>& fc200Settings() const { return fc200Settings_; }
    const std::shared_ptr<OctaveLayerSettings>& octaveLayerSettings() const { return octaveLayerSettings_; }
    const std::shared_ptr<LinkLooperSettings>& linkLooperSettings() const { return linkLooperSettings_; }
    const std::shared_ptr<LinkLooperStateStore>& linkLooperStateStore() const {
        return linkLooperStateStore_;
    }

private:
    std::shared_ptr<FC200Settings> fc200Settings_;
    std::shared_ptr<OctaveLayerSettings> octaveLayerSettings_;
    std::shared_ptr<LinkLooperSettings> linkLooperSettings_;
    std::shared_ptr<LinkLooperStateStore> linkLooperStateStore_;
    std::vector<MorphRegistration> registrations_;
};

}  // namespace velorin
