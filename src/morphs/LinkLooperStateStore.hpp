// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <map>
#include <optional>
#include <set>
#include <vector>

#include "core/Observable.hpp"

namespace velorin {

// One looper as the window shows it.
struct LooperState {
    int index = 0;
    int volume = 96;
    bool isOn = false;
    bool isMuted = false;
    int capturedEventCount = 0;
    friend bool operator==(const LooperState&, const LooperState&) = default;
};

// What the window shows of the four loopers, kept equal to the morph's own
// state by the morph. Every change notifies observers. Engine thread only.
class LinkLooperStateStore final : public Observable {
public:
    static constexpr int kUnityVolume = 96;

    void clear();
    // When a count is given it is stored as the looper's captured event count.
    void setActive(int index, bool isOn, std::optional<int> capturedEventCount = std::nullopt);
    void setMuted(int index, bool isMuted);
    // Clamps to 0-127.
    void setVolume(int index, int volume);

    const std::set<int>& activeLooperIndices() const { return active_; }
    const std::set<int>& mutedLooperIndices() const { return muted_; }
    const std::map<int, int>& volumesByIndex() const { return volumes_; }
    const std::map<int, int>& capturedEventCountsByIndex() const { return capturedCounts_; }

    // Loopers 0, 1, 2, 3 in that order; volume 96 and count 0 when none is stored.
    std::vector<LooperState> looperStates() const;

private:
    std::set<int> active_;
    std::set<int> muted_;
    std::map<int, int> volumes_;
    std::map<int, int> capturedCounts_;
};

}  // namespace velorin
