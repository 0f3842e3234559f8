// SPDX-License-Identifier: GPL-3.0-or-later
#include "morphs/LinkLooperMorph.hpp"

#include <algorithm>
#include <cmath>

namespace velorin {

namespace {
constexpr double kBeatEpsilon = 0.000001;

bool validIndex(int index) {
    return index >= 0 && index < 4;
}
std::size_t at(int index) {
    return static_cast<std::size_t>(index);
}

MorphAction cancelAction(int index) {
    MorphAction action;
    action.event.type = MIDIEventType::systemExclusive;
    action.cancelsScheduledActionsWithKey = LinkLooperMorph::cancellationKey(index);
    action.sendsEvent = false;
    return action;
}

void appendStateMessage(std::uint8_t target, std::uint8_t parameter, std::uint8_t value, double now,
                        MorphActions& out) {
    if (auto event = makeDeviceControlEvent(target, parameter, value, now)) {
        out.push_back(MorphAction::send(std::move(*event), kControlOutputsGroup));
    }
}
}  // namespace

LinkLooperMorph::LinkLooperMorph(std::shared_ptr<LinkLooperStateStore> stateStore,
                                 std::shared_ptr<LinkLooperSettings> settings)
    : stateStore_(std::move(stateStore)), settings_(std::move(settings)) {
    syncMutedFromSettings();
}

const std::string& LinkLooperMorph::cancellationKey(int index) {
    static const std::array<std::string, 4> keys = {"link-looper-1", "link-looper-2", "link-looper-3",
                                                    "link-looper-4"};
    return keys[at(std::clamp(index, 0, 3))];
}

std::optional<int> LinkLooperMorph::looperIndex(std::string_view key) {
    for (int i = 0; i < 4; ++i) {
        if (key == cancellationKey(i)) return i;
    }
    return std::nullopt;
}

std::int64_t LinkLooperMorph::scaledVelocity(std::int64_t velocity, std::int64_t volume) {
    if (velocity <= 0 || volume <= 0) return 0;
    const double scaled = std::round(static_cast<double>(velocity) * static_cast<double>(volume) / 96.0);
    return std::clamp<std::int64_t>(static_cast<std::int64_t>(std::min(scaled, 1e6)), 1, 127);
}

void LinkLooperMorph::logLine(const MorphContext& context, std::string_view text) {
    context.logMessage(MessageType::morph, kTitle, text);
}

void LinkLooperMorph::syncMutedFromSettings() {
    for (int i = 0; i < 4; ++i) {
        const bool muted = settings_->isLooperMuted(i);
        playbackState_.isMuted[at(i)] = muted;
        stateStore_->setMuted(i, muted);
    }
}

void LinkLooperMorph::logStartupSummary(const MorphContext& context) {
    syncMutedFromSettings();
    logLine(context, "Controlled by Velorin SysEx");
}

void LinkLooperMorph::reset(MorphActions& out) {
    captureBuffer_.removeAll();
    playbackState_ = LinkLooperPlaybackState{};
    stateStore_->clear();
    syncMutedFromSettings();
    for (int i = 0; i < 4; ++i) out.push_back(cancelAction(i));
}

void LinkLooperMorph::process(const MIDIEvent& event, const MorphContext& context, MorphActions& out) {
    if (!context.inputGroupKey) return;
    if (*context.inputGroupKey == kInputsGroup) {
        if (event.type != MIDIEventType::systemExclusive) captureBuffer_.append(event, context.currentBeat);
        return;
    }
    if (*context.inputGroupKey == kControlInputsGroup) {
        if (const auto control = decodeLinkLooperControl(event)) applyControl(*control, context, out);
    }
}

void LinkLooperMorph::applyLooperControl(std::int64_t target, std::int64_t value, std::int64_t parameter,
                                         const MorphContext& context, MorphActions& out) {
    if (const auto control = LinkLooperControl::fromKindNumber(parameter, target, value)) {
        applyControl(*control, context, out);
    }
}

void LinkLooperMorph::applyControl(const LinkLooperControl& control, const MorphContext& context,
                                   MorphActions& out) {
    const double now = context.currentBeat;
    const int i = control.index;
    switch (control.kind) {
        case LinkLooperControl::Kind::setVolume: {
            if (!validIndex(i)) return;
            const int volume = std::clamp(control.value, 0, 127);
            if (playbackState_.volumesByIndex[at(i)] == volume) return;
            playbackState_.volumesByIndex[at(i)] = volume;
            stateStore_->setVolume(i, volume);
            return;
        }
        case LinkLooperControl::Kind::setMuted: {
            if (!validIndex(i)) return;
            const bool muted = control.value != 0;
            if (playbackState_.isMuted[at(i)] == muted) return;
            playbackState_.isMuted[at(i)] = muted;
            stateStore_->setMuted(i, muted);
            settings_->setLooperMuted(muted, i);
            logLine(context, "Looper " + std::to_string(i + 1) + (muted ? " MUTED" : " UNMUTED"));
            if (muted) noteOffsForSoundingNotes(i, now, out);
            return;
        }
        case LinkLooperControl::Kind::setLooper:
            if (!validIndex(i)) return;
            setLooper(i, control.value != 0, context, out);
            return;
        case LinkLooperControl::Kind::setLoopLength:
            if (control.value < LinkLooperSettings::kMinLoopLengthBeats ||
                control.value > LinkLooperSettings::kMaxLoopLengthBeats) {
                return;
            }
            settings_->setLoopLengthBeats(control.value);
            return;
    }
}

void LinkLooperMorph::setLooper(int index, bool on, const MorphContext& context, MorphActions& out) {
    const double now = context.currentBeat;
    captureBuffer_.prune(now);
    if (playbackState_.isActive[at(index)] == on) return;
    const std::string number = std::to_string(index + 1);
    const std::string& key = cancellationKey(index);

    if (on) {
        if (!context.isLinkTransportRunning) {
            logLine(context, "Looper " + number + " cannot turn ON until Link transport is running");
            return;
        }
        const double length = settings_->loopLengthBeats();
        const auto captured = captureBuffer_.capturedLoop(now, length);
        const int count = static_cast<int>(captured.size());
        playbackState_.isActive[at(index)] = true;
        stateStore_->setActive(index, true, count);
        logLine(context, "Looper " + number + " ON (" + std::to_string(count) + " events)");
        out.reserve(out.size() + captured.size());
        for (const auto& item : captured) {
            double beat = now + item.offset;
            while (beat <= now - kBeatEpsilon) beat += length;
            MorphAction& action = out.emplace_back();
            action.event = item.event;
            action.event.timestamp = beat;
            action.beat = beat;
            action.cancellationKey = key;
            action.repeatIntervalBeats = length;
        }
        return;
    }

    playbackState_.isActive[at(index)] = false;
    stateStore_->setActive(index, false);
    playbackState_.volumesByIndex[at(index)] = kUnityVolume;
    stateStore_->setVolume(index, kUnityVolume);
    logLine(context, "Looper " + number + " OFF");
    out.push_back(cancelAction(index));
    noteOffsForSoundingNotes(index, now, out);
    appendStateMessage(static_cast<std::uint8_t>(index), 0x01, kUnityVolume, now, out);
}

void LinkLooperMorph::noteOffsForSoundingNotes(int index, double now, MorphActions& out) {
    MorphOutstandingNotes& sounding = playbackState_.soundingNotesByLooperIndex[at(index)];
    if (sounding.empty()) return;
    sounding.forEach([&](MIDINoteIdentity id) {
        MIDIEvent off = MIDIEvent::noteOffEvent(id.note, 0, id.channel);
        off.timestamp = now;
        out.push_back(MorphAction::send(std::move(off)));
    });
    sounding.clear();
}

std::optional<MIDIEvent> LinkLooperMorph::prepareScheduledEvent(const MIDIEvent& event,
                                                                std::string_view cancellationKey) {
    const auto index = looperIndex(cancellationKey);
    if (!index) return event;
    if (playbackState_.isMuted[at(*index)]) return std::nullopt;
    switch (event.type) {
        case MIDIEventType::noteOff:
            break;
        case MIDIEventType::noteOn:
            if (event.velocity >= 1) {
                const auto volume = playbackState_.volumesByIndex[at(*index)];
                if (volume && *volume < 1) return std::nullopt;
                if (volume && *volume != kUnityVolume) {
                    MIDIEvent scaled = event;
                    scaled.velocity = scaledVelocity(event.velocity, *volume);
                    return scaled;
                }
                return event;
            }
            break;
        default:
            return event;
    }
    // A note-off (or velocity-0 note-on) passes only for a note this looper sounds.
    if (playbackState_.soundingNotesByLooperIndex[at(*index)].contains({event.note, event.channel}))
        return event;
    return std::nullopt;
}

void LinkLooperMorph::didSendEvent(const MIDIEvent& event, std::string_view cancellationKey) {
    const auto index = looperIndex(cancellationKey);
    if (!index) return;
    MorphOutstandingNotes& sounding = playbackState_.soundingNotesByLooperIndex[at(*index)];
    if (event.type == MIDIEventType::noteOn && event.velocity >= 1) {
        sounding.insert({event.note, event.channel});
    } else if (event.type == MIDIEventType::noteOff || event.type == MIDIEventType::noteOn) {
        sounding.erase({event.note, event.channel});
    }
}

void LinkLooperMorph::startupSnapshot(const MorphContext& context, MorphActions& out) {
    const double now = context.currentBeat;
    for (int i = 0; i < 4; ++i) {
        const auto index = static_cast<std::uint8_t>(i);
        appendStateMessage(index, 0x00, playbackState_.isActive[at(i)] ? 0x7F : 0x00, now, out);
        const int volume = playbackState_.volumesByIndex[at(i)].value_or(kUnityVolume);
        if (volume >= 0 && volume <= 0x7F)
            appendStateMessage(index, 0x01, static_cast<std::uint8_t>(volume), now, out);
        appendStateMessage(index, 0x02, playbackState_.isMuted[at(i)] ? 0x7F : 0x00, now, out);
    }
    const int length = settings_->loopLengthBeats();
    if (length >= 1 && length <= 64) {
        appendStateMessage(kLinkLooperSharedTarget, 0x03, static_cast<std::uint8_t>(length - 1), now, out);
    }
}

}  // namespace velorin
