// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "morphs/DeviceControlMessage.hpp"
#include "morphs/LinkLooperCaptureBuffer.hpp"
#include "morphs/LinkLooperSettings.hpp"
#include "morphs/LinkLooperStateStore.hpp"
#include "morphs/Morph.hpp"
#include "morphs/MorphCapabilities.hpp"
#include "morphs/MorphEngine.hpp"

namespace velorin {

// The loopers' playback state, owned by the morph.
struct LinkLooperPlaybackState {
    std::array<bool, 4> isActive{};
    std::array<std::optional<int>, 4> volumesByIndex{96, 96, 96, 96};
    std::array<bool, 4> isMuted{};
    // Loop notes sent on and not yet off, per looper.
    std::array<MorphOutstandingNotes, 4> soundingNotesByLooperIndex;
};

// Four loopers that replay what was just played, in time with Link. Everything
// on "inputs" is recorded (never passed on); switching a looper on cuts the
// last loop length of it and schedules it to repeat every loop length. Loopers
// are driven by protocol 01 device control messages on "control-inputs" and by
// the window's switches; state reports go to "control-outputs".
class LinkLooperMorph final : public Morph,
                              public MorphScheduledEventProcessor,
                              public MorphSentEventObserver,
                              public MorphLooperControl {
public:
    static constexpr std::string_view kID = "link-looper";
    static constexpr std::string_view kTitle = "Link Looper";
    static constexpr std::string_view kDetail =
        "Captures four 8-beat Link loops controlled by Velorin SysEx. Loops quantize to 16th notes.";
    static constexpr int kUnityVolume = 96;

    LinkLooperMorph(std::shared_ptr<LinkLooperStateStore> stateStore,
                    std::shared_ptr<LinkLooperSettings> settings);

    // The cancellation key of looper `index` ("link-looper-1" ... "link-looper-4").
    static const std::string& cancellationKey(int index);
    // Looper index of exactly those four keys; nothing for any other text.
    static std::optional<int> looperIndex(std::string_view key);
    // v * volume / 96 rounded half away from zero and clamped to 1-127; 0 when either is 0 or less.
    static std::int64_t scaledVelocity(std::int64_t velocity, std::int64_t volume);

    void logStartupSummary(const MorphContext& context) override;
    void reset(MorphActions& out) override;
    void process(const MIDIEvent& event, const MorphContext& context, MorphActions& out) override;
    void startupSnapshot(const MorphContext& context, MorphActions& out) override;

    std::optional<MIDIEvent> prepareScheduledEvent(const MIDIEvent& event,
                                                   std::string_view cancellationKey) override;
    void didSendEvent(const MIDIEvent& event, std::string_view cancellationKey) override;
    void applyLooperControl(std::int64_t target, std::int64_t value, std::int64_t parameter,
                            const MorphContext& context, MorphActions& out) override;

    void applyControl(const LinkLooperControl& control, const MorphContext& context, MorphActions& out);

    const LinkLooperCaptureBuffer& captureBuffer() const { return captureBuffer_; }
    const LinkLooperPlaybackState& playbackState() const { return playbackState_; }

private:
    void setLooper(int index, bool on, const MorphContext& context, MorphActions& out);
    void noteOffsForSoundingNotes(int index, double now, MorphActions& out);
    void syncMutedFromSettings();
    static void logLine(const MorphContext& context, std::string_view text);

    LinkLooperCaptureBuffer captureBuffer_;
    LinkLooperPlaybackState playbackState_;
    std::shared_ptr<LinkLooperStateStore> stateStore_;
    std::shared_ptr<LinkLooperSettings> settings_;
};

}  // namespace velorin
