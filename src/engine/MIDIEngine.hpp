#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "log/AppFeatureFlags.hpp"
#include "log/LogStore.hpp"
#include "core/MainQueue.hpp"
#include "core/Observable.hpp"
#include "core/SettingsStore.hpp"
#include "engine/MIDIActivityMonitor.hpp"
#include "engine/MIDIEndpointInventory.hpp"
#include "engine/MIDIOutputTransport.hpp"
#include "engine/MIDIRoutingStore.hpp"
#include "link/LinkBeatScheduler.hpp"
#include "link/LinkBeatSchedulingClock.hpp"
#include "midi/MIDIEvent.hpp"
#include "morphs/FC200Settings.hpp"
#include "morphs/LinkLooperSettings.hpp"
#include "morphs/LinkLooperStateStore.hpp"
#include "morphs/MorphEngine.hpp"
#include "morphs/MorphStartupStateSynchronizer.hpp"
#include "morphs/OctaveLayerSettings.hpp"

namespace velorin {

// Which morph panel the window shows.
enum class MorphUIRoute : std::uint8_t { linkLooper, octaveLayer };
std::string_view rawValue(MorphUIRoute route);

// One entry of the fixed morph registry.
struct MorphRegistration {
    std::string id;
    std::string title;
    std::string detail;
    std::vector<RoutingInputGroupDescriptor> inputGroups;
    std::vector<RoutingOutputGroupDescriptor> outputGroups;
    std::optional<MorphUIRoute> openUI;
    std::function<std::shared_ptr<Morph>()> makeMorph;
};

// What the window lists for one morph.
struct MorphPresentationMetadata {
    std::string id;
    std::string title;
    std::string detail;
    bool hasUI = false;
    std::vector<RoutingInputGroupDescriptor> inputGroups;
    std::vector<RoutingOutputGroupDescriptor> outputGroups;
    friend bool operator==(const MorphPresentationMetadata&, const MorphPresentationMetadata&) = default;
};

// An endpoint as the window lists it.
struct MIDIRoutingEndpoint {
    std::string id;
    std::string title;
    std::string detail;
    friend bool operator==(const MIDIRoutingEndpoint&, const MIDIRoutingEndpoint&) = default;
};
using MIDIInputRoutingEndpoint = MIDIRoutingEndpoint;
using MIDIOutputRoutingEndpoint = MIDIRoutingEndpoint;

// The central object of the MIDI side: the morph registry, and everything
// between bytes arriving on an input endpoint and events leaving for output
// endpoints — per-input parsing, delivery to the assigned morphs, carrying out
// their actions (send now, schedule, cancel, feed a chained morph), the 10 ms
// scheduler tick, panic, and the routing edits that silence notes first.
//
// The endpoint inventory and the transport that carries a send come in through
// setEndpointInventory() and the MIDIOutputTransport seam, so the operating
// system's MIDI client and the USB service plug in without changing dispatch.
// Main thread only. Observers are told when the routing revision, the
// inventory, the presented panel or the started state changes.
class MIDIEngine final : public Observable {
public:
    static constexpr std::string_view kRouterID = "router";
    static constexpr std::string_view kOctaveLayerID = "octave-layer";
    static constexpr std::string_view kLinkLooperID = "link-looper";
    static constexpr std::string_view kFC200ID = "fc200-sysex";
    static constexpr std::string_view kLinkLooperUISourceName = "Link Looper UI";
    static constexpr MainQueue::Duration kSchedulerTickInterval = std::chrono::milliseconds(10);
    // The longest SysEx frame whose bytes a log line shows in full.
    static constexpr std::size_t kMaxLoggedSystemExclusiveBytes = 1024;

    struct Dependencies {
        MainQueue& queue;
        SettingsStore& settings;
        LogStore& log;
        const LinkBeatSchedulingClock& linkClock;
        LinkBeatScheduler& scheduler;
        MIDIActivityMonitor& activity;
        // Whether the Link Looper is registered: the `linkLooper` feature flag
        // of this build's distribution lane unless a test says otherwise.
        bool linkLooperEnabled = AppFeatureFlags::isEnabled(AppFeatureFlag::linkLooper);
    };

    // A set of morph registrations passed along a chain of fed morphs, so no
    // morph is fed twice by one event. A value: copying it costs nothing.
    class VisitedMorphs {
    public:
        bool contains(std::size_t index) const { return index < 32 && ((bits_ >> index) & 1u) != 0; }
        void insert(std::size_t index) {
            if (index < 32) bits_ |= 1u << index;
        }
        bool empty() const { return bits_ == 0; }

    private:
        std::uint32_t bits_ = 0;
    };

    explicit MIDIEngine(Dependencies deps);
    ~MIDIEngine();
    MIDIEngine(const MIDIEngine&) = delete;
    MIDIEngine& operator=(const MIDIEngine&) = delete;

    // --- seams -----------------------------------------------------------------
    // Installs the current endpoint inventory (the endpoint scans build it).
    void setEndpointInventory(MIDIEndpointInventory inventory);
    const MIDIEndpointInventory& endpointInventory() const { return inventory_; }
    // The transport that carries sends; without one nothing is accepted.
    void setOutputTransport(MIDIOutputTransport* transport) { transport_ = transport; }

    // --- lifecycle -----------------------------------------------------------------
    // Starts the scheduler tick, logs the inventory summary and the morphs'
    // start-up lines, and asks for the state snapshot two seconds later.
    void start();
    // Panic, scheduler emptied, tick stopped, morphs reset, parser state wiped.
    void stop();
    bool isStarted() const { return isStarted_; }

    // --- input and dispatch ----------------------------------------------------------
    void handleInput(std::span<const MIDIRawPacket> packets, std::string_view inputKey,
                     std::optional<std::string_view> sourceName);
    void dispatch(std::span<const MIDIEvent> events, std::string_view inputKey,
                  std::optional<std::string_view> sourceName);
    void applyOutputs(const MorphOutputs& outputs, VisitedMorphs visited, std::optional<std::string_view> sourceName);
    bool sendToMorphOutputs(const MIDIEvent& event, std::string_view morphID, std::string_view outputGroupKey,
                            VisitedMorphs visited, std::optional<std::string_view> sourceName);
    void feedMorph(const MIDIEvent& event, std::string_view targetMorphID, VisitedMorphs visited);
    // Writes `event` to the given output endpoints in inventory order; true when
    // a route accepted it. Nothing unless started; "morph:" keys are ignored.
    bool sendEvent(const MIDIEvent& event, const RoutingKeySet& destinationKeys);
    bool sendEvent(const MIDIEvent& event, std::string_view destinationKey);
    void tickScheduler();
    // Note-offs for every note on every channel to every main output (2048 per target).
    void panic();
    // Drops the parser state of one input.
    void forgetInputState(std::string_view inputKey);

    // --- routing edits ----------------------------------------------------------------
    void setOutputAssignment(bool isAssigned, std::string_view destinationKey, std::string_view morphKey,
                             std::string_view outputGroupKey);
    void setInputAssignment(bool isAssigned, std::string_view inputKey, std::string_view morphKey,
                            std::string_view inputGroupKey);
    void setInputAvailable(bool isAvailable, std::string_view endpointKey);
    void setOutputAvailable(bool isAvailable, std::string_view endpointKey);
    std::int64_t routingRevision() const { return routingRevision_; }

    // --- morph options and switches -------------------------------------------------------
    void setShowsFC200Morph(bool shows);
    void setFC200UpperPedalsToggleEnabled(bool enabled);
    void setFC200UpperPedalsShareLowerCCsEnabled(bool enabled);
    void setLinkLooper(int looperIndex, bool on);
    void setLinkLooperMute(int looperIndex, bool muted);
    void emitStartupSnapshot();

    // --- what the window reads ----------------------------------------------------------------
    const std::vector<MorphRegistration>& morphRegistrations() const { return registrations_; }
    std::vector<MorphPresentationMetadata> morphPresentations() const;
    std::vector<MorphOutputDestinationPresentation::Item> destinationChoices(std::string_view morphKey) const;
    std::vector<MIDIInputRoutingEndpoint> routingInputEndpoints() const;
    std::vector<MIDIOutputRoutingEndpoint> routingOutputEndpoints() const;
    std::vector<MIDIInputRoutingEndpoint> externalInputEndpoints() const;
    std::vector<MIDIOutputRoutingEndpoint> externalOutputEndpoints() const;
    void openMorphUI(std::string_view registrationID);
    void dismissMorphUI();
    std::optional<MorphUIRoute> presentedMorphUI() const { return presentedMorphUI_; }

    MorphContext makeContext(std::optional<std::string_view> sourceName) const;

    MorphEngine& morphEngine() { return *morphEngine_; }
    MIDIRoutingStore& routingStore() { return routingStore_; }
    const MIDIRoutingStore& routingStore() const { return routingStore_; }
    LinkBeatScheduler& scheduler() { return deps_.scheduler; }
    MorphStartupStateSynchronizer& startupSynchronizer() { return synchronizer_; }
    const std::shared_ptr<FC200Settings>& fc200Settings() const { return fc200Settings_; }
    const std::shared_ptr<OctaveLayerSettings>& octaveLayerSettings() const { return octaveLayerSettings_; }
    const std::shared_ptr<LinkLooperSettings>& linkLooperSettings() const { return linkLooperSettings_; }
    const std::shared_ptr<LinkLooperStateStore>& linkLooperStateStore() const { return linkLooperStateStore_; }
    // Inputs with unfinished running status or SysEx (for tests).
    std::size_t inputParserStateCount() const { return parserStateByInputID_.size(); }

private:
    // Writes morph lines by the "log all" rules.
    class EngineMorphLog final : public MorphLog {
    public:
        explicit EngineMorphLog(LogStore& log) : log_(log) {}
        void log(std::string_view text) const override;
        void logMessage(MessageType type, std::optional<std::string_view> title, std::string_view text) const override;

    private:
        LogStore& log_;
    };
    struct StringHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };

    std::optional<std::size_t> morphIndex(std::string_view morphID) const;
    void applyOutput(const MorphOutput& output, VisitedMorphs visited, std::optional<std::string_view> sourceName);
    bool sendToOutputIndices(const MIDIEvent& event, std::span<const std::size_t> indices);
    // Collects the inventory positions of `keys` (no "morph:" keys), in inventory order.
    void collectOutputIndices(const RoutingKeySet& keys, std::vector<std::size_t>& out) const;
    void resetAndCarryOut(std::string_view morphID);
    void bumpRoutingRevision();
    void logInventorySummary();
    MorphOutputs& acquireScratch();
    void releaseScratch() { --scratchDepth_; }

    Dependencies deps_;
    MIDIOutputTransport* transport_ = nullptr;
    EngineMorphLog morphLog_;

    std::shared_ptr<FC200Settings> fc200Settings_;
    std::shared_ptr<OctaveLayerSettings> octaveLayerSettings_;
    std::shared_ptr<LinkLooperSettings> linkLooperSettings_;
    std::shared_ptr<LinkLooperStateStore> linkLooperStateStore_;
    std::vector<MorphRegistration> registrations_;
    std::unique_ptr<MorphEngine> morphEngine_;
    MIDIRoutingStore routingStore_;
    MorphStartupStateSynchronizer synchronizer_;
    MIDIEndpointInventory inventory_;

    std::unordered_map<std::string, MIDIParserState, StringHash, std::equal_to<>> parserStateByInputID_;
    std::int64_t routingRevision_ = 0;
    std::optional<MorphUIRoute> presentedMorphUI_;
    bool isStarted_ = false;

    // Reused between calls so the steady state allocates nothing. One output
    // list per level of nesting (a chain feeds one morph per level).
    std::deque<MorphOutputs> scratchByDepth_;
    std::size_t scratchDepth_ = 0;
    MIDIParserState restingState_;
    std::vector<MIDIEvent> parsedEvents_;
    std::vector<MIDIRawSystemExclusiveFrame> parsedFrames_;
    std::vector<std::size_t> sendIndices_;
    std::vector<ScheduledMIDIEvent> dueEvents_;

    // Declared last: destroyed first, so the tick never sees a half-destroyed engine.
    TaskHandle schedulerTimer_;
};

}  // namespace velorin
