#include "morphs/LinkLooperSettings.hpp"

#include <algorithm>
#include <vector>

namespace velorin {

LinkLooperSettings::LinkLooperSettings(SettingsStore* defaults) : defaults_(defaults) {
    if (!defaults_) return;
    if (const auto length = defaults_->integerValue(kLoopLengthKey);
        length && *length >= kMinLoopLengthBeats && *length <= kMaxLoopLengthBeats) {
        loopLengthBeats_ = static_cast<int>(*length);
    }
    if (const auto muted = defaults_->boolListValue(kMutedLoopersKey); muted && muted->size() == 4) {
        for (std::size_t i = 0; i < 4; ++i) mutedByIndex_[i] = (*muted)[i];
    }
}

void LinkLooperSettings::setLoopLengthBeats(int beats) {
    const int clamped = std::clamp(beats, kMinLoopLengthBeats, kMaxLoopLengthBeats);
    const bool changed = clamped != loopLengthBeats_;
    loopLengthBeats_ = clamped;
    if (defaults_) defaults_->set(kLoopLengthKey, std::int64_t{clamped});
    if (changed) notifyObservers();
}

bool LinkLooperSettings::isLooperMuted(int index) const {
    return index >= 0 && index < 4 && mutedByIndex_[static_cast<std::size_t>(index)];
}

void LinkLooperSettings::setLooperMuted(bool isMuted, int index) {
    if (index < 0 || index >= 4) return;
    bool& slot = mutedByIndex_[static_cast<std::size_t>(index)];
    const bool changed = slot != isMuted;
    slot = isMuted;
    if (defaults_)
        defaults_->set(kMutedLoopersKey, std::vector<bool>(mutedByIndex_.begin(), mutedByIndex_.end()));
    if (changed) notifyObservers();
}

}  // namespace velorin
