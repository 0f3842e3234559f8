// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/MIDIEngine.hpp"

#include <algorithm>
#include <cassert>

#include "core/NullMIDIService.hpp"
#include "engine/EndpointTitleOrder.hpp"
#include "morphs/FC200SysExMorph.hpp"
#include "morphs/LinkLooperMorph.hpp"

namespace velorin {

namespace {

constexpr std::size_t kInitialScratchDepth = 8;

// Stands in when no MIDI service is wired: every operation fails.
MIDIService& serviceOrNone(MIDIService* service) {
    static NullMIDIService none;
    return service ? *service : none;
}

std::optional<std::string> ownedText(std::optional<std::string_view> text) {
    return text ? std::optional<std::string>(*text) : std::nullopt;
}

std::optional<std::string_view> viewOf(const std::optional<std::string>& text) {
    return text ? std::optional<std::string_view>(*text) : std::nullopt;
}

// Titles in natural order (EndpointTitleOrder); equal titles keep inventory order.
template <typename Endpoint>
void sortByTitle(std::vector<Endpoint>& endpoints) {
    std::stable_sort(endpoints.begin(), endpoints.end(),
                     [](const Endpoint& a, const Endpoint& b) { return titleLess(a.title, b.title); });
}

// The log line of one SysEx frame. A partial frame is the whole message
// gathered so far, so a long message arriving in small packets writes ever
// longer lines: a megabyte in 256-byte packets would put gigabytes of text into
// the log. Past kMaxLoggedSystemExclusiveBytes only that many bytes are shown,
// followed by " …"; the count stays the whole frame's. The bytes are read in
// place, so a frame costs at most that many bytes however long the message is.
std::string frameLogText(std::span<const std::uint8_t> bytes, bool isComplete) {
    std::string text = isComplete ? "SysEx " : "SysEx partial ";
    text += std::to_string(bytes.size());
    text += " bytes ";
    if (bytes.size() <= MIDIEngine::kMaxLoggedSystemExclusiveBytes) {
        text += hexByteString(bytes);
    } else {
        text += hexByteString(bytes.first(MIDIEngine::kMaxLoggedSystemExclusiveBytes));
        text += " \u2026";
    }
    return text;
}

// Writes each SysEx frame of an input to the log as the parser reports it.
class FrameLogSink final : public MIDISystemExclusiveFrameSink {
public:
    FrameLogSink(LogStore& log, std::optional<std::string_view> sourceName)
        : log_(log), sourceName_(sourceName) {}
    void frame(std::span<const std::uint8_t> bytes, bool isComplete) override {
        log_.logTyped(MessageType::midiIn, ownedText(sourceName_), frameLogText(bytes, isComplete));
    }

private:
    LogStore& log_;
    std::optional<std::string_view> sourceName_;
};

// Holds one level of the engine's reusable output lists for a scope.
template <typename Engine>
class ScratchLease {
public:
    ScratchLease(Engine& engine, MorphOutputs& outputs) : engine_(engine), outputs_(outputs) {}
    ~ScratchLease() { engine_(); }
    ScratchLease(const ScratchLease&) = delete;
    ScratchLease& operator=(const ScratchLease&) = delete;
    MorphOutputs& outputs() { return outputs_; }

private:
    Engine& engine_;
    MorphOutputs& outputs_;
};

}  // namespace

// --- morph log ---------------------------------------------------------------------

void MIDIEngine::EngineMorphLog::log(std::string_view text) const {
    if (log_.isLoggingAllMIDIEvents()) log_.log(std::string(text));
}

void MIDIEngine::EngineMorphLog::logMessage(MessageType type, std::optional<std::string_view> title,
                                            std::string_view text) const {
    const bool always = title && (*title == FC200SysExMorph::kTitle || *title == LinkLooperMorph::kTitle);
    if (always || log_.isLoggingAllMIDIEvents()) log_.logTyped(type, ownedText(title), std::string(text));
}

// --- construction ---------------------------------------------------------------------

MIDIEngine::MIDIEngine(Dependencies deps)
    : deps_(deps),
      sendPath_(deps.midiService, deps.log),
      morphLog_(deps.log),
      virtualPortPreferences_(deps.settings),
      virtualPorts_(
          serviceOrNone(deps.midiService), deps.log,
          [this](const AppVirtualMIDIPortDescriptor& descriptor) {
              return makeVirtualDestinationReceiver(descriptor);
          },
          [this](std::string_view inputKey) { forgetInputState(inputKey); }),
      usbPresentation_(deps.settings),
      registry_(deps.settings, deps.linkLooperEnabled),
      routingStore_(deps.settings),
      synchronizer_(deps.queue),
      clockFollower_(deps.queue, deps.linkControl, deps.log),
      scheduledEventWakeUp_(deps.queue, deps.scheduler, deps.linkClock, kSchedulerTickInterval,
                            [this] { tickScheduler(); }),
      clockSender_(deps.queue, deps.linkClock, deps.log,
                   [this](const MIDIEvent& message, MIDIClockAudience audience) {
                       sendClockMessage(message, audience);
                   }) {
    std::vector<MorphEngine::Registration> morphs = registry_.makeMorphs();
    // Chains saved by a build with other morphs stay stored but play no part here.
    routingStore_.setRegisteredMorphs(registry_.ids());
    morphEngine_ = std::make_unique<MorphEngine>(std::move(morphs));

    for (std::size_t i = 0; i < kInitialScratchDepth; ++i) scratchByDepth_.emplace_back().reserve(64);
    parsedEvents_.reserve(256);
    sendIndices_.reserve(32);
    dueEvents_.reserve(64);
    clockIndices_.reserve(16);
    clockFollower_.setOnChange([this] { clockFollowerChanged(); });
    attachUSBService();
    refreshClockRouting();
}

MIDIEngine::~MIDIEngine() {
    // The clock's wake-ups end with it, without a word (it is destroyed first).
    schedulerTimer_.cancel();
    scheduledEventWakeUp_.cancel();
    synchronizer_.cancel();
    routingRefreshTask_.cancel();
    detachFromOutside();
}

void MIDIEngine::setEndpointInventory(MIDIEndpointInventory inventory) {
    if (deps_.midiService == nullptr) {
        fixedSystemInputs_ = inventory.inputs();
        fixedSystemOutputs_ = inventory.outputs();
    }
    installInventoryValue(std::move(inventory));
}

void MIDIEngine::installInventoryValue(MIDIEndpointInventory inventory) {
    if (inventory == inventory_) return;
    inventory_ = std::move(inventory);
    ++inventoryRevision_;
    // An input that went away can no longer let go of its notes.
    if (noteLedger_.holdsAnyInput()) releaseInputsGoneFromInventory();
    refreshClockRouting();
    notifyObservers();
}

MorphOutputs& MIDIEngine::acquireScratch() {
    if (scratchDepth_ == scratchByDepth_.size()) scratchByDepth_.emplace_back();
    MorphOutputs& outputs = scratchByDepth_[scratchDepth_++];
    outputs.clear();
    return outputs;
}

MorphContext MIDIEngine::makeContext(std::optional<std::string_view> sourceName) const {
    MorphContext context;
    const bool active = deps_.linkClock.isActive();
    context.currentBeat = active ? deps_.linkClock.currentBeat() : 0.0;
    context.isLinkTransportRunning = active && deps_.linkClock.isPlaying();
    context.sourceName = sourceName;
    context.logger = &morphLog_;
    return context;
}

// --- input and dispatch -------------------------------------------------------------------

void MIDIEngine::handleInput(std::span<const MIDIRawPacket> packets, std::string_view inputKey,
                             std::optional<std::string_view> sourceName,
                             std::optional<MIDILatencyMonitor::Clock::time_point> arrival) {
    assert(deps_.queue.isMainThread());
    // Set for this input's sends only, whichever way the function returns.
    struct ArrivalScope {
        std::optional<MIDILatencyMonitor::Clock::time_point>& current;
        ~ArrivalScope() { current.reset(); }
    } arrivalScope{currentArrival_};
    currentArrival_ = arrival;
    parsedEvents_.clear();
    // Held from here to the end of the dispatch, whatever the sends change.
    struct RouteScope {
        int& inUse;
        ~RouteScope() { --inUse; }
    } routeScope{++inputRoutesInUse_};
    const InputRoute& route = inputRoute(inputKey);
    const bool isUnavailable = route.isUnavailable;
    // Frames are reported only when they will be logged.
    const bool logFrames = !isUnavailable && deps_.log.isLoggingAllMIDIEvents();
    FrameLogSink frameLog(deps_.log, sourceName);
    auto parse = [&](MIDIParserState& state) {
        for (const MIDIRawPacket& packet : packets) {
            if (logFrames) {
                parsePacketBytes(packet.bytes, state, parsedEvents_, frameLog);
            } else {
                parsePacketBytes(packet.bytes, state, parsedEvents_, nullptr);
            }
        }
    };
    // Only an input with a running status or a message cut off has a state
    // kept; the route remembers where it is.
    if (route.parserState == nullptr && !parserStateByInputID_.empty()) {
        if (const auto it = parserStateByInputID_.find(inputKey); it != parserStateByInputID_.end())
            route.parserState = &it->second;
    }
    if (route.parserState != nullptr) {
        parse(*route.parserState);
        if (route.parserState->isAtRest()) eraseParserState(parserStateByInputID_.find(inputKey));
    } else {
        parse(restingState_);
        if (!restingState_.isAtRest()) {
            route.parserState =
                &parserStateByInputID_.emplace(std::string(inputKey), std::move(restingState_)).first->second;
            restingState_ = MIDIParserState{};
        }
    }

    if (isUnavailable) return;
    // Clock bytes make no events: the follower reads them from the packets.
    if (route.isClockInput) {
        for (const MIDIRawPacket& packet : packets)
            clockFollower_.receive(packet.bytes, inputKey, sourceName.value_or(inputKey));
    }
    if (parsedEvents_.empty()) return;
    if (arrival) {
        deps_.activity.recordInputAt(*arrival);
    } else {
        deps_.activity.recordInput();
    }
    dispatch(parsedEvents_, route, sourceName);
}

const MIDIEngine::InputRoute& MIDIEngine::inputRoute(std::string_view inputKey) {
    const auto current = planRevision();
    if (inputRoutesInUse_ <= 1 && (inputRoutesFor_ != current || inputRoutes_.size() >= kMaxInputRoutes)) {
        inputRoutes_.clear();
        inputRoutesFor_ = current;
    }
    for (const InputRoute& route : inputRoutes_) {
        if (route.madeFor == current && route.inputKey == inputKey) return route;
    }
    InputRoute& route = inputRoutes_.emplace_back();
    route.madeFor = current;
    route.inputKey = inputKey;
    route.isUnavailable = routingStore_.isInputUnavailable(inputKey);
    route.deliveries = routingStore_.deliveries(inputKey);
    for (const RoutingInputDelivery& delivery : route.deliveries) {
        if (delivery.morphKey == kMIDIClockID) route.isClockInput = true;
        route.morphs.push_back(morphEngine_->runningNode(delivery.morphKey));
        const OutputPlan& plan = outputPlan(delivery.morphKey, kOutputsGroup);
        route.outputsPlans.push_back(static_cast<std::size_t>(&plan - outputPlans_.data()));
    }
    return route;
}

void MIDIEngine::dispatch(std::span<const MIDIEvent> events, const InputRoute& route,
                          std::optional<std::string_view> sourceName) {
    // The caller has checked that the input is available.
    const bool logAll = deps_.log.isLoggingAllMIDIEvents();
    const std::vector<RoutingInputDelivery>& deliveries = route.deliveries;
    if (deliveries.empty() && !logAll) return;
    if (!deliveries.empty()) noteLedger_.trackHeldNotes(route.inputKey, sourceName, events, deliveries);
    // The context and the output list are made for the first event a morph
    // processes: an event passed on unchanged needs neither.
    std::optional<MorphContext> context;
    auto release = [this] { releaseScratch(); };
    std::optional<ScratchLease<decltype(release)>> lease;
    for (const MIDIEvent& event : events) {
        if (logAll) deps_.log.logMIDI(MIDIEventLogDirection::input, ownedText(sourceName), event);
        for (std::size_t index = 0; index < deliveries.size(); ++index) {
            const RoutingInputDelivery& delivery = deliveries[index];
            if (const MorphNode* node = route.morphs[index];
                node != nullptr && node->morph->passesUnchanged(event)) {
                sendUnchanged(route, index, event, sourceName);
                continue;
            }
            if (!context) context = makeContext(sourceName);
            if (!lease) lease.emplace(release, acquireScratch());
            lease->outputs().clear();
            morphEngine_->process(delivery.morphKey, delivery.inputGroupKey, event, *context,
                                  lease->outputs());
            applyOutputs(lease->outputs(), VisitedMorphs{}, sourceName);
        }
    }
}

// --- ending notes ----------------------------------------------------------------------------

void MIDIEngine::releaseHeldInputNotes(std::string_view inputKey, std::optional<std::string_view> morphKey,
                                       std::optional<std::string_view> inputGroupKey) {
    // Taken out first: the morphs' outputs may reach code that looks at the ledger.
    std::optional<std::string> sourceName;
    const std::vector<MIDINoteLedger::HeldRelease> releases =
        noteLedger_.takeHeldNotes(inputKey, morphKey, inputGroupKey, sourceName);
    if (releases.empty()) return;
    const MorphContext context = makeContext(viewOf(sourceName));
    auto release = [this] { releaseScratch(); };
    ScratchLease lease(release, acquireScratch());
    for (const MIDINoteLedger::HeldRelease& delivery : releases) {
        for (const MIDINoteIdentity& note : delivery.notes) {
            lease.outputs().clear();
            morphEngine_->process(delivery.morphKey, delivery.inputGroupKey,
                                  MIDIEvent::noteOffEvent(note.note, 0, note.channel), context,
                                  lease.outputs());
            applyOutputs(lease.outputs(), VisitedMorphs{}, viewOf(sourceName));
        }
    }
}

void MIDIEngine::releaseInputsGoneFromInventory() {
    std::vector<std::string> gone;
    for (const std::string& key : noteLedger_.heldInputKeys()) {
        if (!inventory_.inputIndex(key)) gone.push_back(key);
    }
    for (const std::string& key : gone) {
        releaseHeldInputNotes(key);
        noteLedger_.forgetInput(key);
    }
}

// --- dispatch ---------------------------------------------------------------------------------

void MIDIEngine::applyOutputs(const MorphOutputs& outputs, VisitedMorphs visited,
                              std::optional<std::string_view> sourceName) {
    for (const MorphOutput& output : outputs) applyOutput(output, visited, sourceName);
}

void MIDIEngine::sendUnchanged(const InputRoute& route, std::size_t index, const MIDIEvent& event,
                               std::optional<std::string_view> sourceName) {
    const std::string& morphID = route.deliveries[index].morphKey;
    // The route points into the plans it was made with, which hold until the
    // routing or the inventory changes (a send of this packet may change them).
    const auto current = planRevision();
    const bool planIsCurrent = route.madeFor == current && outputPlansFor_ == current;
    const OutputPlan& plan =
        planIsCurrent ? outputPlans_[route.outputsPlans[index]] : outputPlan(morphID, kOutputsGroup);
    if (!sendThroughPlan(plan, event, VisitedMorphs{}, sourceName)) return;
    if (MIDINoteLedger::isNoteRelease(event)) forgetScheduledNote(morphID, event);
    morphEngine_->recordSentEvent(event, *route.morphs[index], std::nullopt);
}

void MIDIEngine::applyOutput(const MorphOutput& output, VisitedMorphs visited,
                             std::optional<std::string_view> sourceName) {
    const MorphAction& action = output.action;
    if (action.cancelsScheduledActionsWithKey)
        deps_.scheduler.cancelEvents(*action.cancelsScheduledActionsWithKey);
    if (!action.beat) {
        if (action.sendsEvent &&
            sendToMorphOutputs(action.event, output.morphID, action.outputGroupKey, visited, sourceName)) {
            if (MIDINoteLedger::isNoteRelease(action.event))
                forgetScheduledNote(output.morphID, action.event);
            morphEngine_->recordSentEvent(action.event, output.morphID, viewOf(action.cancellationKey));
        }
        return;
    }
    const bool scheduled = deps_.scheduler.schedule(
        ScheduledMIDIEvent{action.event, *action.beat, output.morphID, action.outputGroupKey,
                           action.cancellationKey, action.repeatIntervalBeats});
    if (scheduled && isStarted_ && !schedulerTimer_.isActive()) startSchedulerTick();
    // A new first event may fall due before the next poll.
    if (scheduled && isStarted_ && deps_.scheduler.firstTargetBeat() == *action.beat)
        scheduledEventWakeUp_.update();
}

const MIDIEngine::OutputPlan& MIDIEngine::outputPlan(std::string_view morphID,
                                                     std::string_view outputGroupKey) {
    const auto current = planRevision();
    if (outputPlansFor_ != current) {
        outputPlans_.clear();
        outputPlansFor_ = current;
    }
    for (const OutputPlan& plan : outputPlans_) {
        if (plan.morphID == morphID && plan.outputGroupKey == outputGroupKey) return plan;
    }
    OutputPlan& plan = outputPlans_.emplace_back();
    plan.morphID = morphID;
    plan.outputGroupKey = outputGroupKey;
    plan.leavesOutSource = morphID == kRouterID;
    plan.morphIndex = morphIndex(morphID);
    for (const std::string& key : routingStore_.outputDestinations(morphID, outputGroupKey)) {
        if (key.starts_with(kMorphDestinationPrefix)) continue;
        const auto index = inventory_.outputIndex(key);
        if (index && !routingStore_.isOutputUnavailable(key)) plan.indices.push_back(*index);
    }
    std::sort(plan.indices.begin(), plan.indices.end());
    if (outputGroupKey == kOutputsGroup) {
        if (const auto target = routingStore_.firstChainTarget(morphID)) {
            plan.chainTarget = std::string(*target);
            plan.chainTargetIndex = morphIndex(*target);
        }
    }
    return plan;
}

bool MIDIEngine::sendToMorphOutputs(const MIDIEvent& event, std::string_view morphID,
                                    std::string_view outputGroupKey, VisitedMorphs visited,
                                    std::optional<std::string_view> sourceName) {
    return sendThroughPlan(outputPlan(morphID, outputGroupKey), event, visited, sourceName);
}

bool MIDIEngine::sendThroughPlan(const OutputPlan& plan, const MIDIEvent& event, VisitedMorphs visited,
                                 std::optional<std::string_view> sourceName) {
    // Nothing of the plan is held while sending: a send that changed the
    // routing or the inventory would drop the plans.
    if (plan.morphIndex) visited.insert(*plan.morphIndex);
    std::optional<std::string> chainTarget;
    if (plan.chainTarget && (!plan.chainTargetIndex || !visited.contains(*plan.chainTargetIndex)))
        chainTarget = plan.chainTarget;
    const bool leaveOutSource = plan.leavesOutSource && sourceName.has_value();
    sendIndices_.clear();
    for (const std::size_t index : plan.indices) {
        if (!leaveOutSource || inventory_.outputs()[index].presentation.title != *sourceName)
            sendIndices_.push_back(index);
    }
    bool sent = !sendIndices_.empty() && sendToOutputIndices(event, sendIndices_);
    if (chainTarget) {
        feedMorph(event, *chainTarget, visited);
        sent = true;
    }
    return sent;
}

void MIDIEngine::feedMorph(const MIDIEvent& event, std::string_view targetMorphID, VisitedMorphs visited) {
    if (const auto index = morphIndex(targetMorphID); index && visited.contains(*index)) return;
    const MorphContext context = makeContext(std::nullopt);
    auto release = [this] { releaseScratch(); };
    ScratchLease lease(release, acquireScratch());
    morphEngine_->process(targetMorphID, kInputsGroup, event, context, lease.outputs());
    for (const MorphOutput& output : lease.outputs()) applyOutput(output, visited, std::nullopt);
}

bool MIDIEngine::sendToOutputIndices(const MIDIEvent& event, std::span<const std::size_t> indices) {
    if (!isStarted_ || indices.empty()) return false;
    if (deps_.log.isLoggingAllMIDIEvents())
        deps_.log.logMIDI(MIDIEventLogDirection::output, std::nullopt, event);
    bool accepted = false;
    // The time the latest accepted send returned, when it was read for the latency.
    std::optional<MIDILatencyMonitor::Clock::time_point> sentAt;
    if (transport_) {
        for (const std::size_t index : indices) {
            if (!transport_->send(inventory_.outputs()[index], event)) continue;
            accepted = true;
            if (currentArrival_ && deps_.latency != nullptr) {
                sentAt = MIDILatencyMonitor::Clock::now();
                deps_.latency->record(*sentAt - *currentArrival_, *sentAt);
            }
        }
    }
    if (accepted) {
        if (sentAt) {
            deps_.activity.recordOutputAt(*sentAt);
        } else {
            deps_.activity.recordOutput();
        }
    }
    return accepted;
}

void MIDIEngine::collectOutputIndices(const RoutingKeySet& keys, std::vector<std::size_t>& out) const {
    out.clear();
    for (const std::string& key : keys) {
        if (key.starts_with(kMorphDestinationPrefix)) continue;
        if (const auto index = inventory_.outputIndex(key)) out.push_back(*index);
    }
    std::sort(out.begin(), out.end());
}

bool MIDIEngine::sendEvent(const MIDIEvent& event, const RoutingKeySet& destinationKeys) {
    if (!isStarted_) return false;
    const bool anyEndpointKey =
        std::any_of(destinationKeys.begin(), destinationKeys.end(),
                    [](const std::string& k) { return !k.starts_with(kMorphDestinationPrefix); });
    if (!anyEndpointKey) return false;
    collectOutputIndices(destinationKeys, sendIndices_);
    if (sendIndices_.empty()) {
        // Keys that name no current endpoint: logged as sent, accepted by nobody.
        if (deps_.log.isLoggingAllMIDIEvents()) {
            deps_.log.logMIDI(MIDIEventLogDirection::output, std::nullopt, event);
        }
        return false;
    }
    return sendToOutputIndices(event, sendIndices_);
}

bool MIDIEngine::sendEvent(const MIDIEvent& event, std::string_view destinationKey) {
    if (!isStarted_ || destinationKey.starts_with(kMorphDestinationPrefix)) return false;
    RoutingKeySet keys;
    keys.emplace(destinationKey);
    return sendEvent(event, keys);
}

void MIDIEngine::startSchedulerTick() {
    // Stop edges while the tick was off had nothing to end.
    transportWasRunning_ = deps_.linkClock.isActive() && deps_.linkClock.isPlaying();
    schedulerTimer_ = deps_.queue.every(kSchedulerTickInterval, [this] { tickScheduler(); });
}

void MIDIEngine::tickScheduler() {
    const bool running = deps_.linkClock.isActive() && deps_.linkClock.isPlaying();
    if (transportWasRunning_ && !running) endScheduledNotes();
    transportWasRunning_ = running;
    dueEvents_.clear();
    deps_.scheduler.collectDueEvents(dueEvents_);
    for (const ScheduledMIDIEvent& scheduled : dueEvents_) {
        const auto event = morphEngine_->prepareScheduledEvent(scheduled);
        if (!event) continue;
        if (sendToMorphOutputs(*event, scheduled.morphID, scheduled.outputGroupKey, VisitedMorphs{},
                               std::nullopt)) {
            if (MIDINoteLedger::isNoteEvent(*event)) noteScheduledSend(scheduled, *event);
            morphEngine_->recordSentEvent(*event, scheduled.morphID, viewOf(scheduled.cancellationKey));
        }
    }
    if (isStarted_) scheduledEventWakeUp_.update();
    if (deps_.scheduler.pendingCount() == 0 && !noteLedger_.isScheduledNoteSounding())
        schedulerTimer_.cancel();
}

void MIDIEngine::noteScheduledSend(const ScheduledMIDIEvent& scheduled, const MIDIEvent& sent) {
    if (MIDINoteLedger::isNoteRelease(sent)) {
        forgetScheduledNote(scheduled.morphID, sent);
        return;
    }
    if (const auto index = morphIndex(scheduled.morphID))
        noteLedger_.noteScheduledNoteOn(*index, scheduled, sent);
}

void MIDIEngine::forgetScheduledNote(std::string_view morphID, const MIDIEvent& noteOff) {
    if (!noteLedger_.hasScheduledSounding()) return;
    if (const auto index = morphIndex(morphID)) noteLedger_.forgetScheduledNote(*index, noteOff);
}

void MIDIEngine::endScheduledNotes() {
    // Taken out first: sending a note-off removes it from the ledger.
    const std::vector<MIDINoteLedger::ScheduledSounding> sounding = noteLedger_.takeScheduledSounding();
    for (const MIDINoteLedger::ScheduledSounding& entry : sounding) {
        const std::string& morphID = registry_.registrations()[entry.morphIndex].id;
        entry.notes.forEach([&](MIDINoteIdentity note) {
            const MIDIEvent noteOff = MIDIEvent::noteOffEvent(note.note, 0, note.channel);
            if (sendToMorphOutputs(noteOff, morphID, entry.outputGroupKey, VisitedMorphs{}, std::nullopt)) {
                forgetScheduledNote(morphID, noteOff);
                morphEngine_->recordSentEvent(noteOff, morphID, viewOf(entry.cancellationKey));
            }
        });
    }
}

void MIDIEngine::panic() {
    assert(deps_.queue.isMainThread());
    if (!isStarted_) return;
    deps_.log.log("[MIDI] Panic: sending all-notes-off");
    std::vector<std::size_t> targets;
    collectOutputIndices(routingStore_.allMainOutputEndpoints(), targets);
    std::erase_if(targets, [this](std::size_t index) {
        return routingStore_.isOutputUnavailable(inventory_.outputs()[index].presentation.id);
    });
    if (targets.empty()) return;
    for (std::int64_t channel = 0; channel < 16; ++channel) {
        for (std::int64_t note = 0; note < 128; ++note) {
            sendToOutputIndices(MIDIEvent::noteOffEvent(note, 0, channel), targets);
        }
    }
}

void MIDIEngine::forgetInputState(std::string_view inputKey) {
    if (auto it = parserStateByInputID_.find(inputKey); it != parserStateByInputID_.end())
        eraseParserState(it);
}

void MIDIEngine::eraseParserState(decltype(parserStateByInputID_)::iterator entry) {
    for (const InputRoute& route : inputRoutes_) {
        if (route.parserState == &entry->second) route.parserState = nullptr;
    }
    parserStateByInputID_.erase(entry);
}

void MIDIEngine::clearParserStates() {
    for (const InputRoute& route : inputRoutes_) route.parserState = nullptr;
    parserStateByInputID_.clear();
}

// --- routing edits ---------------------------------------------------------------------------

void MIDIEngine::bumpRoutingRevision() {
    ++routingRevision_;
    refreshClockRouting();
    notifyObservers();
}

namespace {
std::vector<MIDINoteIdentity> outstandingNotesOf(const MorphEngine& engine, std::string_view morphID) {
    std::vector<MIDINoteIdentity> notes;
    if (const MorphNode* node = engine.node(morphID)) {
        node->outstandingNotes.forEach([&notes](MIDINoteIdentity n) { notes.push_back(n); });
    }
    return notes;
}
}  // namespace

void MIDIEngine::setOutputAssignment(bool isAssigned, std::string_view destinationKey,
                                     std::string_view morphKey, std::string_view outputGroupKey) {
    assert(deps_.queue.isMainThread());
    std::optional<std::string_view> chainTarget;
    if (destinationKey.starts_with(kMorphDestinationPrefix)) {
        const std::string_view target = destinationKey.substr(kMorphDestinationPrefix.size());
        if (outputGroupKey != kOutputsGroup || target.empty() || !morphIndex(target) || target == morphKey)
            return;
        if (isAssigned && !routingStore_.canChain(morphKey, target)) return;
        chainTarget = target;
    }
    const RoutingKeySet& current = routingStore_.outputDestinations(morphKey, outputGroupKey);
    if ((current.find(destinationKey) != current.end()) == isAssigned) return;

    if (!isAssigned && outputGroupKey == kOutputsGroup) {
        for (const MIDINoteIdentity& note : outstandingNotesOf(*morphEngine_, morphKey)) {
            const MIDIEvent noteOff = MIDIEvent::noteOffEvent(note.note, 0, note.channel);
            if (chainTarget) feedMorph(noteOff, *chainTarget, VisitedMorphs{});
            sendEvent(noteOff, destinationKey);
        }
    }
    if (routingStore_.setOutputAssignment(isAssigned, destinationKey, morphKey, outputGroupKey)) {
        bumpRoutingRevision();
    }
}

void MIDIEngine::setInputAssignment(bool isAssigned, std::string_view inputKey, std::string_view morphKey,
                                    std::string_view inputGroupKey) {
    if (!isAssigned) releaseHeldInputNotes(inputKey, morphKey, inputGroupKey);
    if (routingStore_.setInputAssignment(isAssigned, inputKey, morphKey, inputGroupKey))
        bumpRoutingRevision();
}

void MIDIEngine::setInputAvailable(bool isAvailable, std::string_view endpointKey) {
    if (!isAvailable && !routingStore_.isInputUnavailable(endpointKey)) releaseHeldInputNotes(endpointKey);
    if (routingStore_.setInputAvailable(isAvailable, endpointKey)) bumpRoutingRevision();
}

void MIDIEngine::setOutputAvailable(bool isAvailable, std::string_view endpointKey) {
    assert(deps_.queue.isMainThread());
    if (routingStore_.isOutputUnavailable(endpointKey) == !isAvailable) return;
    if (!isAvailable) {
        for (const std::string& morph : routingStore_.morphsOutputting(endpointKey)) {
            for (const MIDINoteIdentity& note : outstandingNotesOf(*morphEngine_, morph)) {
                sendEvent(MIDIEvent::noteOffEvent(note.note, 0, note.channel), endpointKey);
            }
        }
    }
    if (routingStore_.setOutputAvailable(isAvailable, endpointKey)) bumpRoutingRevision();
}

// --- morph options and switches -----------------------------------------------------------------

void MIDIEngine::resetAndCarryOut(std::string_view morphID) {
    const MorphActions actions = morphEngine_->reset(morphID);
    for (const MorphAction& action : actions) {
        applyOutput(MorphOutput{action, std::string(morphID)}, VisitedMorphs{}, std::nullopt);
    }
}

void MIDIEngine::setShowsFC200Morph(bool shows) {
    if (registry_.fc200Settings()->showsMorph() == shows) return;
    if (!shows) resetAndCarryOut(kFC200ID);
    registry_.fc200Settings()->setShowsMorph(shows);
    deps_.log.log(std::string("[Morphs] FC-200 morph ") + (shows ? "shown" : "hidden"));
    notifyObservers();
}

void MIDIEngine::setFC200UpperPedalsToggleEnabled(bool enabled) {
    if (registry_.fc200Settings()->togglesUpperPedals() == enabled) return;
    if (!enabled) resetAndCarryOut(kFC200ID);
    registry_.fc200Settings()->setTogglesUpperPedals(enabled);
    deps_.log.log(std::string("[Morphs] FC-200 pedals 6-10 toggle ") + (enabled ? "enabled" : "disabled"));
}

void MIDIEngine::setFC200UpperPedalsShareLowerCCsEnabled(bool enabled) {
    if (registry_.fc200Settings()->upperPedalsShareLowerCCs() == enabled) return;
    // Zeros go out on the controller numbers in use before the change.
    if (registry_.fc200Settings()->togglesUpperPedals()) resetAndCarryOut(kFC200ID);
    registry_.fc200Settings()->setUpperPedalsShareLowerCCs(enabled);
    deps_.log.log(std::string("[Morphs] FC-200 pedals 6-10 share pedals 1-5 CCs ") +
                  (enabled ? "enabled" : "disabled"));
}

void MIDIEngine::setLinkLooper(int looperIndex, bool on) {
    const MorphContext context = makeContext(kLinkLooperUISourceName);
    const MorphOutputs outputs = morphEngine_->applyLooperControl(
        kLinkLooperID, looperIndex, on ? 1 : 0, static_cast<std::int64_t>(LinkLooperControl::Kind::setLooper),
        context);
    applyOutputs(outputs, VisitedMorphs{}, std::nullopt);
}

void MIDIEngine::setLinkLooperMute(int looperIndex, bool muted) {
    const MorphContext context = makeContext(kLinkLooperUISourceName);
    const MorphOutputs outputs = morphEngine_->applyLooperControl(
        kLinkLooperID, looperIndex, muted ? 1 : 0,
        static_cast<std::int64_t>(LinkLooperControl::Kind::setMuted), context);
    applyOutputs(outputs, VisitedMorphs{}, std::nullopt);
}

void MIDIEngine::emitStartupSnapshot() {
    if (!isStarted_) return;
    const MorphOutputs outputs = morphEngine_->startupSnapshot(makeContext(std::nullopt));
    applyOutputs(outputs, VisitedMorphs{}, std::nullopt);
}

// --- what the window reads ---------------------------------------------------------------------------

std::vector<MorphPresentationMetadata> MIDIEngine::morphPresentations() const {
    std::vector<MorphPresentationMetadata> list = registry_.presentations();
    for (MorphPresentationMetadata& morph : list) {
        if (morph.id == kMIDIClockID) {
            if (std::string status = clockStatusText(); !status.empty()) morph.detail = std::move(status);
        }
    }
    return list;
}

std::vector<MorphOutputDestinationPresentation::Item> MIDIEngine::destinationChoices(
    std::string_view morphKey) const {
    return routingStore_.destinationChoices(morphKey, registry_.destinationCandidates());
}

std::vector<MIDIInputRoutingEndpoint> MIDIEngine::routingInputEndpoints() const {
    std::vector<MIDIInputRoutingEndpoint> list;
    for (const auto& r : inventory_.inputs()) {
        if (routingStore_.isInputUnavailable(r.presentation.id)) continue;
        list.push_back({r.presentation.id, r.presentation.title, r.presentation.detail});
    }
    sortByTitle(list);
    return list;
}

std::vector<MIDIOutputRoutingEndpoint> MIDIEngine::routingOutputEndpoints() const {
    std::vector<MIDIOutputRoutingEndpoint> list;
    for (const auto& r : inventory_.outputs()) {
        if (routingStore_.isOutputUnavailable(r.presentation.id)) continue;
        list.push_back({r.presentation.id, r.presentation.title, r.presentation.detail});
    }
    sortByTitle(list);
    return list;
}

std::vector<MIDIInputRoutingEndpoint> MIDIEngine::externalInputEndpoints() const {
    std::vector<MIDIInputRoutingEndpoint> list;
    for (const auto& r : inventory_.inputs()) {
        if (r.route.kind != MIDIInputEndpointRoute::Kind::coreMIDISource) continue;
        list.push_back({r.presentation.id, r.presentation.title, r.presentation.detail});
    }
    sortByTitle(list);
    return list;
}

std::vector<MIDIOutputRoutingEndpoint> MIDIEngine::externalOutputEndpoints() const {
    std::vector<MIDIOutputRoutingEndpoint> list;
    for (const auto& r : inventory_.outputs()) {
        if (r.route.kind != MIDIOutputEndpointRoute::Kind::coreMIDIDestination) continue;
        list.push_back({r.presentation.id, r.presentation.title, r.presentation.detail});
    }
    sortByTitle(list);
    return list;
}

MIDIEngineSnapshot MIDIEngine::snapshot() const {
    MIDIEngineSnapshot s;
    s.isStarted = isStarted_;
    s.morphs = morphPresentations();
    s.routingInputs = routingInputEndpoints();
    s.routingOutputs = routingOutputEndpoints();
    s.externalInputs = externalInputEndpoints();
    s.externalOutputs = externalOutputEndpoints();
    s.assignments = routingStore_.assignments();
    s.availability = routingStore_.availability();
    const auto candidates = registry_.destinationCandidates();
    for (const MorphPresentationMetadata& morph : s.morphs) {
        s.destinationChoices.emplace(morph.id, routingStore_.destinationChoices(morph.id, candidates));
    }
    s.presentedMorphUI = presentedMorphUI_;
    s.additionalPortsActive = virtualPorts_.additionalPortsActive();
    s.showsIndividualUSBDevices = usbPresentation_.showsIndividualUSBDevices();

    const FC200Settings& fc200 = *registry_.fc200Settings();
    s.showsFC200Morph = fc200.showsMorph();
    s.fc200TogglesUpperPedals = fc200.togglesUpperPedals();
    s.fc200UpperPedalsShareLowerCCs = fc200.upperPedalsShareLowerCCs();
    for (const auto& pedal : fc200.upperPedalToggleStates()) {
        if (pedal.pedalNumber >= 6 && pedal.pedalNumber <= 10)
            s.fc200UpperPedalsOn[static_cast<std::size_t>(pedal.pedalNumber - 6)] = pedal.isOn;
    }
    for (const OctaveLayerKind kind : kAllOctaveLayerKinds) {
        s.octaveLayersEnabled[rawValue(kind)] = registry_.octaveLayerSettings()->isEnabled(kind);
    }
    s.loopLengthBeats = registry_.linkLooperSettings()->loopLengthBeats();
    s.loopers = registry_.linkLooperStateStore()->looperStates();
    return s;
}

void MIDIEngine::openMorphUI(std::string_view registrationID) {
    const auto index = morphIndex(registrationID);
    if (!index) return;
    const auto route = registry_.registrations()[*index].openUI;
    if (!route || presentedMorphUI_ == route) return;
    presentedMorphUI_ = route;
    notifyObservers();
}

void MIDIEngine::dismissMorphUI() {
    if (!presentedMorphUI_) return;
    presentedMorphUI_.reset();
    notifyObservers();
}

}  // namespace velorin
