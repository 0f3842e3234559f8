// SPDX-License-Identifier: GPL-3.0-or-later
#include "morphs/LinkLooperStateStore.hpp"

#include <algorithm>

namespace velorin {

void LinkLooperStateStore::clear() {
    if (active_.empty() && muted_.empty() && volumes_.empty() && capturedCounts_.empty()) return;
    active_.clear();
    muted_.clear();
    volumes_.clear();
    capturedCounts_.clear();
    notifyObservers();
}

void LinkLooperStateStore::setActive(int index, bool isOn, std::optional<int> capturedEventCount) {
    bool changed = isOn ? active_.insert(index).second : active_.erase(index) > 0;
    if (capturedEventCount) {
        auto [it, inserted] = capturedCounts_.try_emplace(index, *capturedEventCount);
        if (!inserted && it->second != *capturedEventCount) {
            it->second = *capturedEventCount;
            inserted = true;
        }
        changed = changed || inserted;
    }
    if (changed) notifyObservers();
}

void LinkLooperStateStore::setMuted(int index, bool isMuted) {
    const bool changed = isMuted ? muted_.insert(index).second : muted_.erase(index) > 0;
    if (changed) notifyObservers();
}

void LinkLooperStateStore::setVolume(int index, int volume) {
    const int clamped = std::clamp(volume, 0, 127);
    auto [it, inserted] = volumes_.try_emplace(index, clamped);
    if (!inserted) {
        if (it->second == clamped) return;
        it->second = clamped;
    }
    notifyObservers();
}

std::vector<LooperState> LinkLooperStateStore::looperStates() const {
    std::vector<LooperState> states;
    for (int i = 0; i < 4; ++i) {
        LooperState s;
        s.index = i;
        if (auto it = volumes_.find(i); it != volumes_.end()) s.volume = it->second;
        s.isOn = active_.contains(i);
        s.isMuted = muted_.contains(i);
        if (auto it = capturedCounts_.find(i); it != capturedCounts_.end()) s.capturedEventCount = it->second;
        states.push_back(s);
    }
    return states;
}

}  // namespace velorin
