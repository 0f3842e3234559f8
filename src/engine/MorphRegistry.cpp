// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/MorphRegistry.hpp"

#include "morphs/FC200SysExMorph.hpp"
#include "morphs/LinkLooperMorph.hpp"
#include "morphs/MIDIClockMorph.hpp"
#include "morphs/OctaveLayerMorph.hpp"
#include "morphs/RouterMorph.hpp"

namespace velorin {

std::string_view rawValue(MorphUIRoute route) {
    switch (route) {
        case MorphUIRoute::linkLooper:
            return "linkLooper";
        case MorphUIRoute::octaveLayer:
            return "octaveLayer";
    }
    return "";
}

MorphRegistry::MorphRegistry(SettingsStore& settings, bool linkLooperEnabled)
    : fc200Settings_(std::make_shared<FC200Settings>(&settings)),
      octaveLayerSettings_(std::make_shared<OctaveLayerSettings>(&settings)),
      linkLooperSettings_(std::make_shared<LinkLooperSettings>(&settings)),
      linkLooperStateStore_(std::make_shared<LinkLooperStateStore>()) {
    const auto inputs = RoutingInputGroupDescriptor::inputs();
    const auto controlInputs = RoutingInputGroupDescriptor::controlInputs();
    const auto outputs = RoutingOutputGroupDescriptor::outputs();
    const auto controlOutputs = RoutingOutputGroupDescriptor::controlOutputs();

    registrations_.push_back({std::string(kRouterID),
                              std::string(RouterMorph::kTitle),
                              std::string(RouterMorph::kDetail),
                              {inputs},
                              {outputs},
                              std::nullopt,
                              [] { return std::make_shared<RouterMorph>(); }});
    registrations_.push_back(
        {std::string(kOctaveLayerID),
         "Octave Layer",
         "Adds Note On/Off copies 1-2 octaves above and below.",
         {inputs},
         {outputs},
         MorphUIRoute::octaveLayer,
         [settings = octaveLayerSettings_] { return std::make_shared<OctaveLayerMorph>(settings); }});
    registrations_.push_back(
        {std::string(kMIDIClockID),
         std::string(MIDIClockMorph::kTitle),
         std::string(MIDIClockMorph::kDetail),
         {inputs},
         {{std::string(MIDIClockMorph::kOutputsGroup), std::string(MIDIClockMorph::kOutputsTitle)},
          {std::string(MIDIClockMorph::kRunningOutputsGroup),
           std::string(MIDIClockMorph::kRunningOutputsTitle)}},
         std::nullopt,
         [] { return std::make_shared<MIDIClockMorph>(); }});
    if (linkLooperEnabled) {
        registrations_.push_back({std::string(kLinkLooperID),
                                  std::string(LinkLooperMorph::kTitle),
                                  std::string(LinkLooperMorph::kDetail),
                                  {inputs, controlInputs},
                                  {outputs, controlOutputs},
                                  MorphUIRoute::linkLooper,
                                  [store = linkLooperStateStore_, settings = linkLooperSettings_] {
                                      return std::make_shared<LinkLooperMorph>(store, settings);
                                  }});
    }
    registrations_.push_back(
        {std::string(kFC200ID),
         std::string(FC200SysExMorph::kTitle),
         std::string(FC200SysExMorph::kDetail),
         {inputs},
         {outputs},
         std::nullopt,
         [settings = fc200Settings_] { return std::make_shared<FC200SysExMorph>(settings); }});
}

std::vector<MorphEngine::Registration> MorphRegistry::makeMorphs() const {
    std::vector<MorphEngine::Registration> morphs;
    for (const auto& registration : registrations_)
        morphs.emplace_back(registration.id, registration.makeMorph());
    return morphs;
}

std::vector<std::string> MorphRegistry::ids() const {
    std::vector<std::string> ids;
    for (const auto& registration : registrations_) ids.push_back(registration.id);
    return ids;
}

std::vector<MorphPresentationMetadata> MorphRegistry::presentations() const {
    std::vector<MorphPresentationMetadata> list;
    for (const auto& r : registrations_) {
        if (r.id == kFC200ID && !fc200Settings_->showsMorph()) continue;
        list.push_back({r.id, r.title, r.detail, r.openUI.has_value(), r.inputGroups, r.outputGroups});
    }
    return list;
}

std::vector<MorphOutputDestinationPresentation::Candidate> MorphRegistry::destinationCandidates() const {
    std::vector<MorphOutputDestinationPresentation::Candidate> candidates;
    for (const auto& p : presentations()) {
        // The clock takes no events from other morphs.
        if (p.id != kMIDIClockID) candidates.push_back({p.id, p.title, p.detail});
    }
    return candidates;
}

}  // namespace velorin
