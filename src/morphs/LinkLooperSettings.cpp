// SPDX-License-Identifier: GPL-3.0-or-later
#include "morphs/LinkLooperSettings.hpp"

#include <algorithm>

namespace velorin {

LinkLooperSettings::LinkLooperSettings(SettingsStore* defaults)
    : loopLengthBeats_(
          defaults, kLoopLengthKey, kDefaultLoopLengthBeats,
          [](const int& beats) { return beats >= kMinLoopLengthBeats && beats <= kMaxLoopLengthBeats; }),
      mutedByIndex_(defaults, kMutedLoopersKey, {}) {}

void LinkLooperSettings::setLoopLengthBeats(int beats) {
    if (loopLengthBeats_.set(std::clamp(beats, kMinLoopLengthBeats, kMaxLoopLengthBeats))) notifyObservers();
}

bool LinkLooperSettings::isLooperMuted(int index) const {
    return index >= 0 && index < 4 && mutedByIndex_.value()[static_cast<std::size_t>(index)];
}

void LinkLooperSettings::setLooperMuted(bool isMuted, int index) {
    if (index < 0 || index >= 4) return;
    std::array<bool, 4> muted = mutedByIndex_.value();
    muted[static_cast<std::size_t>(index)] = isMuted;
    if (mutedByIndex_.set(muted)) notifyObservers();
}

}  // namespace velorin
