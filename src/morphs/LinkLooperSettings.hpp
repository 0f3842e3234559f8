// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>

#include "core/Observable.hpp"
#include "core/PersistedValue.hpp"
#include "core/SettingsStore.hpp"

namespace velorin {

// The loopers' shared loop length and their mutes, persisted. Shared by the
// Link Looper morph and the window, which observes it. Engine thread only.
class LinkLooperSettings final : public Observable {
public:
    static constexpr const char* kLoopLengthKey = "linkLooperLoopLengthBeats";
    static constexpr const char* kMutedLoopersKey = "linkLooperMutedLoopers";
    static constexpr int kDefaultLoopLengthBeats = 8;
    static constexpr int kMinLoopLengthBeats = 1;
    static constexpr int kMaxLoopLengthBeats = 64;

    // `defaults` may be null: then nothing is read or persisted. A stored length
    // outside 1-64 or a mute list of other than four Booleans is ignored.
    explicit LinkLooperSettings(SettingsStore* defaults);

    int loopLengthBeats() const { return loopLengthBeats_.value(); }
    // Clamps to 1-64; when the length changed, writes it and notifies observers.
    void setLoopLengthBeats(int beats);
    bool isLooperMuted(int index) const;
    // Only for loopers 0-3; when the mute changed, writes all four and notifies observers.
    void setLooperMuted(bool isMuted, int index);

private:
    PersistedValue<int> loopLengthBeats_;
    PersistedValue<std::array<bool, 4>> mutedByIndex_;
};

}  // namespace velorin
