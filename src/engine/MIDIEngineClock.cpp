// SPDX-License-Identifier: GPL-3.0-or-later
// The MIDI clock's side of the engine: where clock goes out, which input's
// clock is read, and what the MIDI Clock morph's row says.
#include <algorithm>
#include <charconv>
#include <system_error>

#include "engine/MIDIEngine.hpp"
#include "midi/MIDIClockMessage.hpp"
#include "morphs/MIDIClockMorph.hpp"

namespace velorin {

bool MIDIEngine::isClockInput(std::string_view inputKey) const {
    if (!clockHasInputs_) return false;  // the usual case, without a lookup
    const std::vector<RoutingInputDelivery>& deliveries = routingStore_.deliveries(inputKey);
    return std::any_of(deliveries.begin(), deliveries.end(),
                       [](const RoutingInputDelivery& d) { return d.morphKey == kMIDIClockID; });
}

bool MIDIEngine::isClockLeaderOutput(const MIDIOutputEndpointRegistration& output) const {
    // An endpoint that leads does not also receive the clock, or the clock
    // would come back to itself.
    return clockFollower_.leaderKey().has_value() && output.presentation.title == clockFollower_.leaderName();
}

void MIDIEngine::collectClockOutputs(bool includePlayingOnly) {
    clockIndices_.clear();
    auto collect = [this](std::string_view group) {
        for (const std::string& key : routingStore_.outputDestinations(kMIDIClockID, group)) {
            if (key.starts_with(kMorphDestinationPrefix)) continue;
            const auto index = inventory_.outputIndex(key);
            if (!index || routingStore_.isOutputUnavailable(key)) continue;
            if (isClockLeaderOutput(inventory_.outputs()[*index])) continue;
            clockIndices_.push_back(*index);
        }
    };
    collect(MIDIClockMorph::kOutputsGroup);
    if (includePlayingOnly) collect(MIDIClockMorph::kRunningOutputsGroup);
    std::sort(clockIndices_.begin(), clockIndices_.end());
    clockIndices_.erase(std::unique(clockIndices_.begin(), clockIndices_.end()), clockIndices_.end());
}

void MIDIEngine::sendClockMessage(const MIDIEvent& message, MIDIClockAudience audience) {
    if (!isStarted_ || transport_ == nullptr) return;
    collectClockOutputs(audience == MIDIClockAudience::everyOutput);
    if (clockIndices_.empty()) return;
    // Ticks are left out of "log all": 24 lines a beat would bury everything else.
    if (message.note != kMIDIClockTick && deps_.log.isLoggingAllMIDIEvents())
        deps_.log.logMIDI(MIDIEventLogDirection::output, std::nullopt, message);
    bool accepted = false;
    for (const std::size_t index : clockIndices_)
        accepted |= transport_->send(inventory_.outputs()[index], message);
    if (accepted) deps_.activity.recordOutput();
}

void MIDIEngine::refreshClockRouting() {
    clockHasInputs_ = routingStore_.assignments().inputAssignments.contains(kMIDIClockID);
    // First: a leader that is forgotten comes back into the outputs (forget()
    // reports through clockFollowerChanged(), which refreshes again).
    if (const auto& leader = clockFollower_.leaderKey();
        leader && (!isStarted_ || routingStore_.isInputUnavailable(*leader) || !isClockInput(*leader))) {
        clockFollower_.forget(*leader);
        return;
    }
    std::size_t count = 0;
    if (isStarted_) {
        collectClockOutputs(true);
        count = clockIndices_.size();
    }
    // An output that stops receiving clock while its device plays is told to stop.
    std::vector<std::string> clocked;
    clocked.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        clocked.push_back(inventory_.outputs()[clockIndices_[i]].presentation.id);
    if (clockSender_.isPlaying()) {
        for (const std::string& key : clockedOutputKeys_) {
            if (std::find(clocked.begin(), clocked.end(), key) == clocked.end() &&
                !routingStore_.isOutputUnavailable(key)) {
                sendEvent(MIDIEvent::systemEvent(kMIDIClockStop), key);
            }
        }
    }
    clockedOutputKeys_ = std::move(clocked);
    clockOutputCount_ = count;
    if (count != loggedClockOutputs_) {
        if (count > 0) {
            log("[Clock] Sending MIDI clock to " + std::to_string(count) +
                (count == 1 ? " output" : " outputs"));
        } else if (isStarted_) {
            log("[Clock] Not sending MIDI clock: no outputs");
        }
        loggedClockOutputs_ = count;
    }
    clockSender_.setRunning(isStarted_ && count > 0);
}

void MIDIEngine::clockFollowerChanged() {
    // A new leader drops out of the outputs; one that is lost comes back.
    refreshClockRouting();
    notifyObservers();
}

std::string MIDIEngine::clockStatusText() const {
    if (clockFollower_.leaderKey()) {
        std::string text = "Leading: " + clockFollower_.leaderName();
        if (const auto bpm = clockFollower_.tempo()) {
            char number[64];
            const auto result =
                std::to_chars(number, number + sizeof number, *bpm, std::chars_format::fixed, 1);
            if (result.ec == std::errc{}) text += " " + std::string(number, result.ptr) + " BPM";
        }
        return text;
    }
    if (clockOutputCount_ > 0)
        return "Sending to " + std::to_string(clockOutputCount_) +
               (clockOutputCount_ == 1 ? " output" : " outputs");
    return {};
}

}  // namespace velorin
