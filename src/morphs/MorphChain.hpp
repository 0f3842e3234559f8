#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "log/LogEntry.hpp"
#include "midi/MIDIEvent.hpp"
#include "midi/ScheduledMIDIEvent.hpp"

namespace velorin {

// How morphs write to the log. The engine's implementation applies the
// "log all" rules (plain lines only while logging all MIDI events; typed lines
// from "FC-200 SysEx" and "Link Looper" always).
class MorphLog {
public:
    virtual ~MorphLog() = default;
    virtual void log(std::string_view text) const = 0;
    virtual void logMessage(MessageType type, std::optional<std::string_view> title,
                            std::string_view text) const = 0;
};

// What a morph is given with each event. The string views are valid for the
// duration of the call only; a morph that keeps one copies it.
struct MorphContext {
    double currentBeat = 0;
    bool isLinkTransportRunning = false;
    std::optional<std::string_view> sourceName;
    std::optional<std::string_view> inputGroupKey;
    const MorphLog* logger = nullptr;

    void log(std::string_view text) const {
        if (logger) logger->log(text);
    }
    void logMessage(MessageType type, std::optional<std::string_view> title, std::string_view text) const {
        if (logger) logger->logMessage(type, title, text);
    }
};

inline constexpr std::string_view kOutputsGroup = "outputs";
inline constexpr std::string_view kControlOutputsGroup = "control-outputs";
inline constexpr std::string_view kInputsGroup = "inputs";
inline constexpr std::string_view kControlInputsGroup = "control-inputs";

// What a morph asks for: send now, schedule at a beat, and/or cancel scheduled events.
struct MorphAction {
    MIDIEvent event;
    std::optional<double> beat;
    std::optional<std::string> cancellationKey;
    std::optional<std::string> cancelsScheduledActionsWithKey;
    std::optional<double> repeatIntervalBeats;
    bool sendsEvent = true;
    std::string outputGroupKey = std::string(kOutputsGroup);

    friend bool operator==(const MorphAction&, const MorphAction&) = default;

    // An immediate send to `group` with no keys.
    static MorphAction send(MIDIEvent event, std::string_view group = kOutputsGroup) {
        MorphAction a;
        a.event = std::move(event);
        a.outputGroupKey = std::string(group);
        return a;
    }
};

using MorphActions = std::vector<MorphAction>;

struct MorphOutput {
    MorphAction action;
    std::string morphID;
    friend bool operator==(const MorphOutput&, const MorphOutput&) = default;
};

using MorphOutputs = std::vector<MorphOutput>;

// The morph interface. Results are appended to `out`, which the caller reuses
// so that the steady state allocates nothing.
class Morph {
public:
    virtual ~Morph() = default;
    virtual void logStartupSummary(const MorphContext& /*context*/) {}
    virtual void reset(MorphActions& /*out*/) {}
    virtual void process(const MIDIEvent& event, const MorphContext& context, MorphActions& out) = 0;
    virtual void startupSnapshot(const MorphContext& /*context*/, MorphActions& /*out*/) {}
};

// Optional capability: told about every event really sent on the morph's behalf
// that came from an action with a cancellation key.
class MorphSentEventObserver {
public:
    virtual ~MorphSentEventObserver() = default;
    virtual void didSendEvent(const MIDIEvent& event, std::string_view cancellationKey) = 0;
};

// Optional capability: asked just before a due scheduled event with a
// cancellation key is sent; may change it or drop it (nullopt).
class MorphScheduledEventProcessor {
public:
    virtual ~MorphScheduledEventProcessor() = default;
    virtual std::optional<MIDIEvent> prepareScheduledEvent(const MIDIEvent& event,
                                                           std::string_view cancellationKey) = 0;
};

// Optional capability: takes a control from the window's looper switches. The
// meaning of target, value and parameter is the Link Looper's; results are
// appended to `out`.
class MorphLooperControl {
public:
    virtual ~MorphLooperControl() = default;
    virtual void applyLooperControl(std::int64_t target, std::int64_t value, std::int64_t parameter,
                                    const MorphContext& context, MorphActions& out) = 0;
};

}  // namespace velorin
