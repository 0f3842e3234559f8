// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/MIDIService.hpp"
#include "core/MainQueue.hpp"
#include "core/Observable.hpp"
#include "core/SettingsStore.hpp"
#include "engine/AppVirtualMIDIPort.hpp"
#include "engine/MIDIActivityMonitor.hpp"
#include "engine/MIDIEndpointInventory.hpp"
#include "engine/MIDIEndpointRegistration.hpp"
#include "engine/MIDIEngineSnapshot.hpp"
#include "engine/MIDILatencyMonitor.hpp"
#include "engine/MIDINoteLedger.hpp"
#include "engine/MIDIOutputTransport.hpp"
#include "engine/MIDIRoutingStore.hpp"
#include "engine/MIDISendPath.hpp"
#include "engine/MorphRegistry.hpp"
#include "link/LinkBeatScheduler.hpp"
#include "link/LinkBeatSchedulingClock.hpp"
#include "link/LinkBeatWakeUp.hpp"
#include "link/LinkTransportControl.hpp"
#include "link/MIDIClockFollower.hpp"
#include "link/MIDIClockSender.hpp"
#include "log/AppFeatureFlags.hpp"
#include "log/LogStore.hpp"
#include "midi/MIDIEvent.hpp"
#include "midi/MIDIParser.hpp"
#include "morphs/FC200Settings.hpp"
#include "morphs/LinkLooperSettings.hpp"
#include "morphs/LinkLooperStateStore.hpp"
#include "morphs/MorphEngine.hpp"
#include "morphs/MorphStartupStateSynchronizer.hpp"
#include "morphs/OctaveLayerSettings.hpp"
#include "usb/VLUSBInboundMIDI.hpp"
#include "usb/VLUSBPresentationSettings.hpp"

namespace velorin {

class VLUSBService;

// The central object of the MIDI side, the one the rest of the program talks
// to: everything between bytes arriving on an input endpoint and events leaving
// for output endpoints — per-input parsing, delivery to the assigned morphs,
// carrying out their actions (send now, schedule, cancel, feed a chained
// morph), the 10 ms scheduler tick, panic, and the routing edits that silence
// notes first.
//
// Its collaborators hold the other concerns: the morphs on offer are the
// MorphRegistry's, the notes held and left sounding are kept in the
// MIDINoteLedger, the send path is MIDISendPath. Its contact with the outside —
// the operating system's MIDI client and ports, the app's virtual ports, the
// endpoint inventory, the receive paths and the USB service — lives in
// MIDIEngineSystem.cpp. Engine thread only (the thread whose queue it is given). Observers are told when the
// routing revision, the inventory, the presented panel or the started state changes.
class MIDIEngine final : public Observable {
public:
    static constexpr std::string_view kRouterID = MorphRegistry::kRouterID;
    static constexpr std::string_view kOctaveLayerID = MorphRegistry::kOctaveLayerID;
    static constexpr std::string_view kLinkLooperID = MorphRegistry::kLinkLooperID;
    static constexpr std::string_view kFC200ID = MorphRegistry::kFC200ID;
    static constexpr std::string_view kMIDIClockID = MorphRegistry::kMIDIClockID;
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
        // The operating system's MIDI service. Null: none is wired at all (unit
        // tests of dispatch), and the inventory is what setEndpointInventory() gives.
        MIDIService* midiService = nullptr;
        // The USB transport, attached before the first start (may be null).
        VLUSBService* usbService = nullptr;
        // Where the time from an input's arrival to each send it causes is
        // recorded (may be null: nothing is measured).
        MIDILatencyMonitor* latency = nullptr;
        // What a MIDI clock on an input may do to the Link session (may be
        // null: the clock is followed and shown, but leads nothing).
        LinkTransportControl* linkControl = nullptr;
    };

    static constexpr std::string_view kClientName = "Velorin Server";
    static constexpr std::string_view kInputPortName = "Velorin Server Input";
    static constexpr std::string_view kOutputPortName = "Velorin Server Output";
    static constexpr MainQueue::Duration kRoutingRefreshDelay = std::chrono::milliseconds(250);
    // While "log all" is on, the hub's latency is logged this often (when MIDI flowed).
    static constexpr MainQueue::Duration kLatencyLogInterval = std::chrono::seconds(1);

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
    // Installs an endpoint inventory. Without a MIDI service its registrations
    // stand for the system's endpoints at every later refresh.
    void setEndpointInventory(MIDIEndpointInventory inventory);
    const MIDIEndpointInventory& endpointInventory() const { return inventory_; }
    // Replaces the engine's own send path (tests and benchmarks record sends).
    void setOutputTransport(MIDIOutputTransport* transport) {
        transport_ = transport ? transport : &sendPath_;
    }

    // --- lifecycle (MIDIEngineSystem.cpp) -------------------------------------------------
    // The MIDI client and its ports, the app's virtual ports, the inventory and
    // the source connections, the USB service, the morphs' start-up lines, the
    // scheduler tick and the start-up snapshot. Without a system MIDI service
    // the rest still starts.
    void start();
    // Panic, scheduler emptied, USB stopped, tick stopped, morphs reset,
    // sources disconnected, ports, virtual pairs and client disposed.
    void stop();
    bool isStarted() const { return isStarted_; }

    // --- the operating system's side ---------------------------------------------------------
    // System scan plus the USB registrations, installed when the keys are
    // unique, then the source connections brought in line.
    void refreshInventory();
    void disconnectAllInputs();
    void setTransportOutputHandler(std::string_view kind, MIDISendPath::TransportOutputHandler handler);
    MIDIObjectRef client() const { return client_; }
    MIDIObjectRef inputPort() const { return inputPort_; }
    MIDIObjectRef outputPort() const { return outputPort_; }
    // Input keys whose source the input port is connected to, with the source.
    const std::map<std::string, MIDIObjectRef, std::less<>>& connectedInputEndpoints() const {
        return connectedInputs_;
    }

    // --- the app's virtual ports ----------------------------------------------------------------
    bool ensureVirtualPair(const AppVirtualMIDIPortDescriptor& descriptor);
    bool disposeVirtualPair(int number) { return virtualPorts_.disposeVirtualPair(number); }
    void disposeAllVirtualPairs() { virtualPorts_.disposeAllVirtualPairs(); }
    // The "Add Additional Velorin Server Ports" toggle (only while started).
    void setAdditionalVirtualPortsEnabled(bool enabled);
    bool additionalPortsActive() const { return virtualPorts_.additionalPortsActive(); }
    const AppVirtualMIDIPorts& virtualPorts() const { return virtualPorts_; }
    AppVirtualMIDIPortPreferences& virtualPortPreferences() { return virtualPortPreferences_; }

    // --- other transports (network sessions) ------------------------------------------------
    // Replaces the endpoints a transport other than USB owns (routes
    // transportOwned with `kind`) and, while started, rebuilds the inventory
    // with them: inputs gone from it release the notes they hold. Their MIDI
    // comes in through handleInput() and leaves through the output handler set
    // for `kind`.
    void setTransportEndpoints(std::string_view kind, MIDITransportRegistrations registrations);

    // --- USB ------------------------------------------------------------------------------------
    // Inbound MIDI from a USB device, routed by the presentation setting.
    void handleUSBInput(const VLUSBInboundMIDI& message);
    VLUSBPresentationSettings& usbPresentationSettings() { return usbPresentation_; }
    VLUSBService* usbService() const { return deps_.usbService; }

    // --- input and dispatch ----------------------------------------------------------
    // Parses the packets with the input's parser state and dispatches the events.
    // `arrival`: when the bytes reached the process (the reader's receipt, a
    // USB frame's arrival), for the latency each send they cause is recorded with.
    void handleInput(std::span<const MIDIRawPacket> packets, std::string_view inputKey,
                     std::optional<std::string_view> sourceName,
                     std::optional<MIDILatencyMonitor::Clock::time_point> arrival = std::nullopt);
    // Writes `event` to the given output endpoints in inventory order; true when
    // a route accepted it. Nothing unless started; "morph:" keys are ignored.
    bool sendEvent(const MIDIEvent& event, const RoutingKeySet& destinationKeys);
    bool sendEvent(const MIDIEvent& event, std::string_view destinationKey);
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
    // The morphs' start-up state lines and controller messages, as at start.
    void emitStartupSnapshot();

    // --- what the window reads ----------------------------------------------------------------
    const std::vector<MorphRegistration>& morphRegistrations() const { return registry_.registrations(); }
    std::vector<MorphPresentationMetadata> morphPresentations() const;
    std::vector<MorphOutputDestinationPresentation::Item> destinationChoices(std::string_view morphKey) const;
    std::vector<MIDIInputRoutingEndpoint> routingInputEndpoints() const;
    std::vector<MIDIOutputRoutingEndpoint> routingOutputEndpoints() const;
    std::vector<MIDIInputRoutingEndpoint> externalInputEndpoints() const;
    std::vector<MIDIOutputRoutingEndpoint> externalOutputEndpoints() const;
    void openMorphUI(std::string_view registrationID);
    void dismissMorphUI();
    std::optional<MorphUIRoute> presentedMorphUI() const { return presentedMorphUI_; }
    // All of the above, and the morphs' options and states, as one value.
    MIDIEngineSnapshot snapshot() const;

    // --- MIDI clock (MIDIEngineClock.cpp) ---------------------------------------------------
    // The endpoints that receive clock: the MIDI Clock morph's available
    // outputs, less the one named like the input that leads.
    std::size_t clockOutputCount() const { return clockOutputCount_; }
    const MIDIClockSender& clockSender() const { return clockSender_; }
    const MIDIClockFollower& clockFollower() const { return clockFollower_; }
    // What the MIDI Clock's row says: who leads, or how many outputs it clocks.
    std::string clockStatusText() const;

    MorphEngine& morphEngine() { return *morphEngine_; }
    MIDIRoutingStore& routingStore() { return routingStore_; }
    const MIDIRoutingStore& routingStore() const { return routingStore_; }
    LinkBeatScheduler& scheduler() { return deps_.scheduler; }
    const std::shared_ptr<FC200Settings>& fc200Settings() const { return registry_.fc200Settings(); }
    const std::shared_ptr<OctaveLayerSettings>& octaveLayerSettings() const {
        return registry_.octaveLayerSettings();
    }
    const std::shared_ptr<LinkLooperSettings>& linkLooperSettings() const {
        return registry_.linkLooperSettings();
    }
    const std::shared_ptr<LinkLooperStateStore>& linkLooperStateStore() const {
        return registry_.linkLooperStateStore();
    }

private:
    // Reads internals for tests (defined by the tests, not here).
    friend struct MIDIEngineTestAccess;

    // Writes morph lines by the "log all" rules.
    class EngineMorphLog final : public MorphLog {
    public:
        explicit EngineMorphLog(LogStore& log) : log_(log) {}
        void log(std::string_view text) const override;
        void logMessage(MessageType type, std::optional<std::string_view> title,
                        std::string_view text) const override;

    private:
        LogStore& log_;
    };
    struct StringHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };

    std::optional<std::size_t> morphIndex(std::string_view morphID) const { return registry_.index(morphID); }
    MorphContext makeContext(std::optional<std::string_view> sourceName) const;

    // --- the source connections (MIDIEngineSystem.cpp) ---
    void reconnectInputs();
    void connectInput(const std::string& endpointKey, MIDIObjectRef source);
    void logInventorySummary();
    // The debounced refresh after a setup notification: one rebuild 250 ms after the last.
    void scheduleRoutingRefresh();

    // --- dispatch (the hot path: no allocation in the steady state) ---
    struct InputRoute;
    struct OutputPlan;
    // The route of `inputKey` for the current routing and inventory. The
    // reference holds while `inputRoutesInUse_` is raised, whatever changes.
    const InputRoute& inputRoute(std::string_view inputKey);
    void dispatch(std::span<const MIDIEvent> events, const InputRoute& route,
                  std::optional<std::string_view> sourceName);
    void applyOutputs(const MorphOutputs& outputs, VisitedMorphs visited,
                      std::optional<std::string_view> sourceName);
    bool sendToMorphOutputs(const MIDIEvent& event, std::string_view morphID, std::string_view outputGroupKey,
                            VisitedMorphs visited, std::optional<std::string_view> sourceName);
    bool sendThroughPlan(const OutputPlan& plan, const MIDIEvent& event, VisitedMorphs visited,
                         std::optional<std::string_view> sourceName);
    void feedMorph(const MIDIEvent& event, std::string_view targetMorphID, VisitedMorphs visited);
    void tickScheduler();
    // The scheduler is polled only while it holds events or a note of one
    // sounds: an idle engine does not wake a hundred times a second.
    void startSchedulerTick();

    // --- ending notes ---
    // Ends, through the morphs they reached, the notes an input holds: every
    // delivery (or only the one to `morphKey`'s `inputGroupKey`) gets a
    // note-off for each note the input started through it and has not ended,
    // as if the player had let go. Called before an input stops reaching a
    // morph — switched off, unassigned, gone from the inventory.
    void releaseHeldInputNotes(std::string_view inputKey,
                               std::optional<std::string_view> morphKey = std::nullopt,
                               std::optional<std::string_view> inputGroupKey = std::nullopt);
    void releaseInputsGoneFromInventory();
    void noteScheduledSend(const ScheduledMIDIEvent& scheduled, const MIDIEvent& sent);
    void forgetScheduledNote(std::string_view morphID, const MIDIEvent& noteOff);
    // At the transport's stop edge: note-offs for every note scheduled events
    // left sounding, so a loop does not hold its notes through the silence.
    void endScheduledNotes();
    void applyOutput(const MorphOutput& output, VisitedMorphs visited,
                     std::optional<std::string_view> sourceName);
    // What applyOutput does with the one action of a morph that passes an event
    // on unchanged (Morph::passesUnchanged), without the action: for the
    // route's delivery at `index`, whose morph runs.
    void sendUnchanged(const InputRoute& route, std::size_t index, const MIDIEvent& event,
                       std::optional<std::string_view> sourceName);
    bool sendToOutputIndices(const MIDIEvent& event, std::span<const std::size_t> indices);
    // Collects the inventory positions of `keys` (no "morph:" keys), in inventory order.
    void collectOutputIndices(const RoutingKeySet& keys, std::vector<std::size_t>& out) const;
    void resetAndCarryOut(std::string_view morphID);
    void bumpRoutingRevision();
    enum class RefreshOrigin { system, usb, transport };
    // Builds and installs the inventory; false (and logged) on a duplicate key.
    bool installInventory(RefreshOrigin origin);
    void installInventoryValue(MIDIEndpointInventory inventory);
    void attachUSBService();
    // Quiet teardown when the engine goes away while started: no log lines.
    void detachFromOutside();
    void usbDevicesChanged();
    bool createClientAndPorts();
    void disposeClientAndPorts();
    MIDIService::ReceiveCallback makeVirtualDestinationReceiver(
        const AppVirtualMIDIPortDescriptor& descriptor);
    MIDIService::ReceiveCallback makeSourceReceiver();
    // Received packets handled on this thread at once (the service reads on its queue).
    void handleReceivedHere(MIDIPacketList& packets, std::string_view inputKey,
                            std::optional<std::string_view> sourceName,
                            MIDILatencyMonitor::Clock::time_point arrival);
    void log(std::string line) const;
    // "log all" mode: the latency of the last ten seconds, when MIDI flowed since the last line.
    void logLatency();
    // --- MIDI clock (MIDIEngineClock.cpp) ---
    // The clock's outputs into `clockIndices_`, sorted, each once, without a
    // leading input's own output; the playing-only group when asked.
    void collectClockOutputs(bool includePlayingOnly);
    void sendClockMessage(const MIDIEvent& message, MIDIClockAudience audience);
    // Recounts the clock outputs after a routing, inventory or leader change,
    // logs the count when it changed, runs or halts the sender.
    void refreshClockRouting();
    bool isClockInput(std::string_view inputKey) const;
    bool isClockLeaderOutput(const MIDIOutputEndpointRegistration& output) const;
    void clockFollowerChanged();

    MorphOutputs& acquireScratch();
    void releaseScratch() { --scratchDepth_; }

    Dependencies deps_;
    MIDISendPath sendPath_;
    MIDIOutputTransport* transport_ = &sendPath_;
    EngineMorphLog morphLog_;
    // Held weakly by jobs posted from the MIDI service's thread and by the USB
    // handlers, so that nothing reaches a destroyed engine.
    std::shared_ptr<MIDIEngine*> lifetime_ = std::make_shared<MIDIEngine*>(this);

    MIDIObjectRef client_ = 0;
    MIDIObjectRef inputPort_ = 0;
    MIDIObjectRef outputPort_ = 0;
    std::map<std::string, MIDIObjectRef, std::less<>> connectedInputs_;
    // Bytes posted by the MIDI service's thread that the engine thread has not
    // taken yet; shared with the receive callbacks, which drop input past a
    // bound so a flood cannot grow memory while the engine thread is busy.
    struct InputBacklog {
        static constexpr std::size_t kMaxBytes = 16 * 1024 * 1024;
        std::atomic<std::size_t> bytes{0};
        std::atomic<bool> loggedDrop{false};
        std::atomic<bool> refreshPosted{false};
    };
    std::shared_ptr<InputBacklog> inputBacklog_ = std::make_shared<InputBacklog>();
    MIDIRawPacket usbPacket_;  // reused for every inbound USB message
    // Reused for every packet list received on this thread.
    std::vector<MIDIRawPacket> receivedPackets_;
    std::string receivedSourceName_;
    // The routing key of the last source heard on this thread, and what it was built from.
    std::string receivedKey_;
    std::optional<std::pair<MIDIObjectRef, std::optional<std::int32_t>>> receivedKeySource_;
    ByteArray usbBytes_;  // reused for every outbound USB message
    AppVirtualMIDIPortPreferences virtualPortPreferences_;
    AppVirtualMIDIPorts virtualPorts_;
    // Without a MIDI service: the system's part of every inventory.
    std::vector<MIDIInputEndpointRegistration> fixedSystemInputs_;
    std::vector<MIDIOutputEndpointRegistration> fixedSystemOutputs_;
    MIDITransportRegistrations transportRegistrations_;
    // The other transports' endpoints by kind, listed after USB's.
    std::map<std::string, MIDITransportRegistrations, std::less<>> otherTransportRegistrations_;
    VLUSBPresentationSettings usbPresentation_;
    Subscription usbPresentationSubscription_;
    std::uint64_t scheduledRefreshGeneration_ = 0;
    TaskHandle routingRefreshTask_;

    MorphRegistry registry_;
    std::unique_ptr<MorphEngine> morphEngine_;
    MIDIRoutingStore routingStore_;
    MorphStartupStateSynchronizer synchronizer_;
    MIDIEndpointInventory inventory_;

    std::unordered_map<std::string, MIDIParserState, StringHash, std::equal_to<>> parserStateByInputID_;
    MIDINoteLedger noteLedger_;
    bool transportWasRunning_ = false;
    std::int64_t routingRevision_ = 0;
    std::optional<MorphUIRoute> presentedMorphUI_;
    bool isStarted_ = false;
    // The arrival of the input being handled; its sends record their latency.
    std::optional<MIDILatencyMonitor::Clock::time_point> currentArrival_;
    std::uint64_t latencyCountLogged_ = 0;

    // Reused between calls so the steady state allocates nothing. One output
    // list per level of nesting (a chain feeds one morph per level).
    std::deque<MorphOutputs> scratchByDepth_;
    std::size_t scratchDepth_ = 0;
    MIDIParserState restingState_;
    std::vector<MIDIEvent> parsedEvents_;
    std::vector<std::size_t> sendIndices_;
    std::vector<ScheduledMIDIEvent> dueEvents_;

    // Where one output group of one morph sends, worked out from the routing
    // store and the inventory once, not for every event: the inventory
    // positions of its available endpoints in inventory order, and the morph
    // its "outputs" feed. Kept until either changes (`outputPlansFor_`).
    struct OutputPlan {
        std::string morphID;
        std::string outputGroupKey;
        // The Router never sends an input's events back to the endpoint of the same name.
        bool leavesOutSource = false;
        std::optional<std::size_t> morphIndex;
        std::vector<std::size_t> indices;
        std::optional<std::string> chainTarget;
        std::optional<std::size_t> chainTargetIndex;
    };
    const OutputPlan& outputPlan(std::string_view morphID, std::string_view outputGroupKey);
    std::vector<OutputPlan> outputPlans_;
    // The routing store's generation and the inventory revision the plans were made for.
    std::pair<std::uint64_t, std::uint64_t> outputPlansFor_{~std::uint64_t{0}, 0};
    std::uint64_t inventoryRevision_ = 0;
    // What the plans and the input routes are made for: they hold until it changes.
    std::pair<std::uint64_t, std::uint64_t> planRevision() const {
        return {routingStore_.generation(), inventoryRevision_};
    }

    // What the events of one input need on their way, worked out once per
    // change of the routing or the inventory (`madeFor`, as for the plans)
    // rather than for every packet: whether the input is heard, whether its
    // clock is read, where it is delivered, and per delivery the morph that
    // takes its events (null when that morph does not run) and the plan of
    // that morph's "outputs" group.
    struct InputRoute {
        std::pair<std::uint64_t, std::uint64_t> madeFor;
        std::string inputKey;
        bool isUnavailable = false;
        bool isClockInput = false;
        std::vector<RoutingInputDelivery> deliveries;
        std::vector<MorphNode*> morphs;
        std::vector<std::size_t> outputsPlans;  // positions in outputPlans_
        // The input's entry in parserStateByInputID_ once found there, so a
        // packet need not hash the key; every erase of an entry clears it.
        mutable MIDIParserState* parserState = nullptr;
    };
    // Erases an input's parser state and every route's pointer to it.
    void eraseParserState(decltype(parserStateByInputID_)::iterator entry);
    void clearParserStates();
    static constexpr std::size_t kMaxInputRoutes = 64;
    // A deque: a route asked for while another is in use (a send that handed
    // input straight back) is added without moving the one in use. Emptied
    // only while no route is in use.
    std::deque<InputRoute> inputRoutes_;
    std::pair<std::uint64_t, std::uint64_t> inputRoutesFor_{~std::uint64_t{0}, 0};
    int inputRoutesInUse_ = 0;

    std::vector<std::size_t> clockIndices_;
    std::size_t clockOutputCount_ = 0;
    bool clockHasInputs_ = false;
    std::vector<std::string> clockedOutputKeys_;
    std::size_t loggedClockOutputs_ = 0;
    MIDIClockFollower clockFollower_;

    // Declared last: destroyed first, so the tick never sees a half-destroyed engine.
    // The precise wake-up runs the tick when a scheduled event falls due
    // between two 10 ms polls, so it leaves on its beat rather than at the next poll.
    LinkBeatWakeUp scheduledEventWakeUp_;
    MIDIClockSender clockSender_;
    TaskHandle schedulerTimer_;
    TaskHandle latencyLogTimer_;
};

}  // namespace velorin
