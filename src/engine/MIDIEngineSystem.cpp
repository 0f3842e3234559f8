// SPDX-License-Identifier: GPL-3.0-or-later
// The MIDI engine's contact with the outside: the operating system's MIDI
// client and ports, the app's virtual ports, the endpoint inventory and the
// source connections, the receive paths, the USB service, start and stop.
#include <cassert>

#include "engine/MIDIEngine.hpp"
#include "usb/VLUSBEndpointNames.hpp"
#include "usb/VLUSBService.hpp"

namespace velorin {

namespace {

std::string statusText(MIDIStatus status) {
    return std::to_string(status);
}

std::optional<std::string_view> viewOf(const std::optional<std::string>& text) {
    return text ? std::optional<std::string_view>(*text) : std::nullopt;
}

// Turns a received packet list into raw packets (empty packets dropped) and
// counts it into the backlog. Empty when there is nothing to hand over, or when
// the engine thread is so far behind that the bound is reached.
template <typename Backlog>
std::optional<std::pair<std::vector<MIDIRawPacket>, std::size_t>> takePackets(MIDIPacketList& packets,
                                                                              Backlog& backlog,
                                                                              LogStore& log) {
    std::vector<MIDIRawPacket> raw;
    raw.reserve(packets.size());
    std::size_t size = 0;
    for (auto& bytes : packets) {
        if (bytes.empty()) continue;
        size += bytes.size() + sizeof(MIDIRawPacket);
        raw.push_back(MIDIRawPacket{std::move(bytes)});
    }
    if (raw.empty()) return std::nullopt;
    if (backlog.bytes.fetch_add(size) + size > Backlog::kMaxBytes) {
        backlog.bytes.fetch_sub(size);
        if (!backlog.loggedDrop.exchange(true)) {
            log.log("[MIDI In] Input arrives faster than it can be handled; dropping packets");
        }
        return std::nullopt;
    }
    return std::make_pair(std::move(raw), size);
}

}  // namespace

void MIDIEngine::log(std::string line) const {
    deps_.log.log(std::move(line));
}

void MIDIEngine::logLatency() {
    if (deps_.latency == nullptr || !deps_.log.isLoggingAllMIDIEvents()) return;
    // Said again only when events were sent since: a quiet hub logs nothing.
    const std::uint64_t recorded = deps_.latency->recordedCount();
    if (recorded == latencyCountLogged_) return;
    latencyCountLogged_ = recorded;
    const auto summary = deps_.latency->summary(MIDILatencyMonitor::Clock::now());
    log("[MIDI] Hub latency, last 10 s: " + MIDILatencyMonitor::describe(summary));
}

// --- receive paths -------------------------------------------------------------------------
// The callbacks run on the MIDI service's reader thread, and post what they
// received to this thread, or on this thread itself when the service reads
// on its queue: then the packets are handled at once, with no hand-over.

void MIDIEngine::handleReceivedHere(MIDIPacketList& packets, std::string_view inputKey,
                                    std::optional<std::string_view> sourceName,
                                    MIDILatencyMonitor::Clock::time_point arrival) {
    // Swapped, not moved: the service gets storage back for its next packets.
    std::size_t count = 0;
    for (auto& bytes : packets) {
        if (bytes.empty()) continue;
        if (count == receivedPackets_.size()) receivedPackets_.emplace_back();
        receivedPackets_[count++].bytes.swap(bytes);
    }
    if (count > 0) handleInput(std::span(receivedPackets_.data(), count), inputKey, sourceName, arrival);
}

MIDIService::ReceiveCallback MIDIEngine::makeSourceReceiver() {
    std::weak_ptr<MIDIEngine*> weak = lifetime_;
    MainQueue* queue = &deps_.queue;
    MIDIService* service = deps_.midiService;
    LogStore* logStore = &deps_.log;
    std::shared_ptr<InputBacklog> backlog = inputBacklog_;
    return [weak, queue, service, logStore, backlog](MIDIPacketList&& packets, MIDIObjectRef context) {
        const auto arrival = MIDILatencyMonitor::Clock::now();
        if (queue->isMainThread()) {
            const auto alive = weak.lock();
            if (!alive || !(*alive)->isStarted_) return;
            MIDIEngine& engine = **alive;
            std::int32_t id = 0;
            const std::optional<std::int32_t> uniqueID =
                service->uniqueID(context, id) == 0 ? std::optional(id) : std::nullopt;
            // The key is built again only when the source changes, not for every note.
            if (engine.receivedKeySource_ != std::pair(context, uniqueID)) {
                engine.receivedKey_ = coreMIDIEndpointKey(uniqueID, context);
                engine.receivedKeySource_ = std::pair(context, uniqueID);
            }
            std::optional<std::string_view> displayName;
            if (service->displayName(context, engine.receivedSourceName_) == 0) {
                displayName = engine.receivedSourceName_;
            }
            engine.handleReceivedHere(packets, engine.receivedKey_, displayName, arrival);
            return;
        }
        auto taken = takePackets(packets, *backlog, *logStore);
        if (!taken) return;
        std::int32_t id = 0;
        const bool hasID = service->uniqueID(context, id) == 0;
        std::string name;
        std::optional<std::string> displayName;
        if (service->displayName(context, name) == 0) displayName = std::move(name);
        std::string key = coreMIDIEndpointKey(hasID ? std::optional(id) : std::nullopt, context);
        queue->post([weak, backlog, packets = std::move(taken->first), size = taken->second,
                     key = std::move(key), displayName = std::move(displayName), arrival] {
            backlog->bytes.fetch_sub(size);
            const auto alive = weak.lock();
            if (!alive || !(*alive)->isStarted_) return;
            (*alive)->handleInput(packets, key, viewOf(displayName), arrival);
        });
    };
}

MIDIService::ReceiveCallback MIDIEngine::makeVirtualDestinationReceiver(
    const AppVirtualMIDIPortDescriptor& descriptor) {
    std::weak_ptr<MIDIEngine*> weak = lifetime_;
    MainQueue* queue = &deps_.queue;
    LogStore* logStore = &deps_.log;
    std::shared_ptr<InputBacklog> backlog = inputBacklog_;
    // Shared, not copied into every packet's job: its texts would cost allocations per packet.
    auto shared = std::make_shared<const AppVirtualMIDIPortDescriptor>(descriptor);
    return [weak, queue, logStore, backlog, shared](MIDIPacketList&& packets, MIDIObjectRef) {
        const auto arrival = MIDILatencyMonitor::Clock::now();
        if (queue->isMainThread()) {
            const auto alive = weak.lock();
            if (!alive || !(*alive)->isStarted_ || !(*alive)->virtualPorts_.isComplete(shared->number))
                return;
            (*alive)->handleReceivedHere(packets, shared->inputKey, shared->displayName, arrival);
            return;
        }
        auto taken = takePackets(packets, *backlog, *logStore);
        if (!taken) return;
        queue->post(
            [weak, backlog, packets = std::move(taken->first), size = taken->second, shared, arrival] {
                backlog->bytes.fetch_sub(size);
                const auto alive = weak.lock();
                if (!alive || !(*alive)->isStarted_ || !(*alive)->virtualPorts_.isComplete(shared->number))
                    return;
                (*alive)->handleInput(packets, shared->inputKey, shared->displayName, arrival);
            });
    };
}

void MIDIEngine::handleUSBInput(const VLUSBInboundMIDI& message) {
    if (!isStarted_) return;
    // The frame was read from its socket on this thread just now.
    const auto arrival = MIDILatencyMonitor::Clock::now();
    // The device's own key or the aggregate's. The input's title is the source
    // name ("Velorin USB: " + name, or "Velorin USB All"), so nothing is built
    // per message.
    const std::string_view key = usbPresentation_.showsIndividualUSBDevices()
                                     ? std::string_view(message.deviceKey)
                                     : kVLUSBAggregateKey;
    const auto index = inventory_.inputIndex(key);
    if (!index) return;
    const MIDIInputEndpointRegistration& input = inventory_.inputs()[*index];
    if (input.route.kind != MIDIInputEndpointRoute::Kind::transportOwned ||
        input.route.transport.rawValue != kVLUSBTransportIdentifier) {
        return;
    }
    usbPacket_.bytes.assign(message.bytes.begin(), message.bytes.end());
    handleInput(std::span<const MIDIRawPacket>(&usbPacket_, 1), input.presentation.id,
                input.presentation.title, arrival);
}

// --- client and ports ----------------------------------------------------------------------

bool MIDIEngine::createClientAndPorts() {
    MIDIService& service = *deps_.midiService;
    std::weak_ptr<MIDIEngine*> weak = lifetime_;
    MainQueue* queue = &deps_.queue;
    std::shared_ptr<InputBacklog> backlog = inputBacklog_;
    // Setup notifications come in bursts; one main-thread job at a time is enough.
    auto notify = [weak, queue, backlog](std::int32_t messageID) {
        if (messageID < 1 || messageID > 4) return;
        if (backlog->refreshPosted.exchange(true)) return;
        queue->post([weak, backlog] {
            backlog->refreshPosted.store(false);
            if (const auto alive = weak.lock()) (*alive)->scheduleRoutingRefresh();
        });
    };
    const MIDIRefResult client = service.createClient(kClientName, std::move(notify));
    if (client.status != 0) {
        log("[MIDI] Client creation failed: " + statusText(client.status));
        if (client.ref != 0) service.disposeClient(client.ref);
        log("[MIDI] No system MIDI service; running with USB devices only");
        return true;
    }
    client_ = client.ref;
    if (deps_.log.isLoggingAllMIDIEvents()) log("[MIDI] Client created");

    const MIDIRefResult input = service.createInputPort(client_, kInputPortName, makeSourceReceiver());
    if (input.status != 0) {
        log("[MIDI] Input port creation failed: " + statusText(input.status));
        service.disposeClient(client_);
        client_ = 0;
        return false;
    }
    inputPort_ = input.ref;
    const MIDIRefResult output = service.createOutputPort(client_, kOutputPortName);
    if (output.status != 0) {
        log("[MIDI] Output port creation failed: " + statusText(output.status));
        service.disposePort(inputPort_);
        service.disposeClient(client_);
        inputPort_ = 0;
        client_ = 0;
        return false;
    }
    outputPort_ = output.ref;
    sendPath_.setOutputPort(outputPort_);

    virtualPorts_.restore(client_, virtualPortPreferences_);
    log("[MIDI] Virtual source and destination ready");
    return true;
}

void MIDIEngine::disposeClientAndPorts() {
    if (deps_.midiService == nullptr) return;
    MIDIService& service = *deps_.midiService;
    for (auto [port, name] : {std::pair{&inputPort_, "Input"}, std::pair{&outputPort_, "Output"}}) {
        if (*port == 0) continue;
        if (const MIDIStatus status = service.disposePort(*port); status != 0) {
            log(std::string("[MIDI] ") + name + " port disposal failed: " + statusText(status));
        }
        *port = 0;
    }
    sendPath_.setOutputPort(0);
    virtualPorts_.disposeAllVirtualPairs();
    if (client_ != 0) {
        if (const MIDIStatus status = service.disposeClient(client_); status != 0) {
            log("[MIDI] Client disposal failed: " + statusText(status));
        }
        client_ = 0;
    }
}

void MIDIEngine::detachFromOutside() {
    if (deps_.usbService != nullptr) {
        deps_.usbService->midiHandler = nullptr;
        deps_.usbService->devicesHandler = nullptr;
    }
    // Ends the service's thread and every port of ours without a word.
    if (deps_.midiService != nullptr && client_ != 0) deps_.midiService->disposeClient(client_);
    client_ = 0;
}

// --- start and stop -------------------------------------------------------------------------------

void MIDIEngine::start() {
    assert(deps_.queue.isMainThread());
    if (isStarted_) return;
    if (deps_.midiService != nullptr && !createClientAndPorts()) return;
    isStarted_ = true;
    refreshInventory();

    if (VLUSBService* usb = deps_.usbService) {
        setTransportOutputHandler(
            kVLUSBTransportIdentifier, [this](const MIDIEvent& event, const std::string& key) {
                usbBytes_.clear();
                appendEncodedBytes(event, usbBytes_);
                const auto error = deps_.usbService->send(0, 0, usbBytes_, key);
                if (!error) return true;
                if (!std::holds_alternative<VLUSBServiceError>(*error)) {
                    log("[VL USB] Send to " + key + " failed: " + VLUSBSendErrorDescription(*error));
                }
                return false;
            });
        if (!usb->isRunning()) usb->start();
        transportRegistrations_ =
            transportRegistrations(usb->devices(), usbPresentation_.showsIndividualUSBDevices());
        refreshInventory();
    }

    logInventorySummary();
    morphEngine_->logStartupSummaries(makeContext(std::nullopt));
    refreshClockRouting();
    startSchedulerTick();
    if (deps_.latency != nullptr)
        latencyLogTimer_ = deps_.queue.every(kLatencyLogInterval, [this] { logLatency(); });
    synchronizer_.schedule([this] { return isStarted_; }, [this] { emitStartupSnapshot(); });
    notifyObservers();
}

void MIDIEngine::stop() {
    assert(deps_.queue.isMainThread());
    if (!isStarted_) return;
    log("[MIDI] Stopping: sending all-notes-off and clearing scheduled events");
    synchronizer_.cancel();
    // Stop reaches the clocked devices while the ports still exist.
    clockSender_.setRunning(false);
    clockFollower_.reset();
    panic();
    deps_.scheduler.removeAllEvents();
    deps_.scheduler.clearLoggedSkipDescriptors();
    if (deps_.usbService != nullptr) deps_.usbService->stop();
    setTransportOutputHandler(kVLUSBTransportIdentifier, nullptr);
    schedulerTimer_.cancel();
    schedulerTimer_ = TaskHandle{};
    latencyLogTimer_.cancel();
    scheduledEventWakeUp_.cancel();
    // The actions are dropped: panic has already sent note-offs for every note.
    MorphActions discarded;
    morphEngine_->resetAll(discarded);
    disconnectAllInputs();
    clearParserStates();
    // Panic has ended every note; nothing held or sounding is remembered.
    noteLedger_.clear();
    transportWasRunning_ = false;
    disposeClientAndPorts();
    // A refresh still waiting would scan a system the engine no longer listens to.
    routingRefreshTask_.cancel();
    isStarted_ = false;
    refreshClockRouting();
    log("[MIDI] Stopped");
    notifyObservers();
}

// --- inventory and connections ------------------------------------------------------------------------

bool MIDIEngine::installInventory(RefreshOrigin origin) {
    std::vector<MIDIInputEndpointRegistration> inputs;
    std::vector<MIDIOutputEndpointRegistration> outputs;
    if (deps_.midiService != nullptr) {
        // Without a client nothing of the system is reachable, so nothing of it is listed.
        if (client_ != 0) {
            inputs =
                systemInputRegistrations(*deps_.midiService, virtualPorts_.pairs(), virtualPorts_.filter());
            outputs =
                systemOutputRegistrations(*deps_.midiService, virtualPorts_.pairs(), virtualPorts_.filter());
        }
    } else {
        inputs = fixedSystemInputs_;
        outputs = fixedSystemOutputs_;
    }
    inputs.insert(inputs.end(), transportRegistrations_.inputs.begin(), transportRegistrations_.inputs.end());
    outputs.insert(outputs.end(), transportRegistrations_.outputs.begin(),
                   transportRegistrations_.outputs.end());
    for (const auto& [kind, registrations] : otherTransportRegistrations_) {
        inputs.insert(inputs.end(), registrations.inputs.begin(), registrations.inputs.end());
        outputs.insert(outputs.end(), registrations.outputs.begin(), registrations.outputs.end());
    }
    auto made = MIDIEndpointInventory::make(std::move(inputs), std::move(outputs));
    if (const auto* error = std::get_if<MIDIEndpointInventoryError>(&made)) {
        log((origin == RefreshOrigin::usb         ? "[VL USB] Endpoint inventory rejected: "
             : origin == RefreshOrigin::transport ? "[Network MIDI] Endpoint inventory rejected: "
                                                  : "[MIDI] Endpoint inventory rejected: ") +
            error->description());
        return false;
    }
    installInventoryValue(std::get<MIDIEndpointInventory>(std::move(made)));
    reconnectInputs();
    return true;
}

void MIDIEngine::refreshInventory() {
    installInventory(RefreshOrigin::system);
}

void MIDIEngine::setTransportEndpoints(std::string_view kind, MIDITransportRegistrations registrations) {
    auto it = otherTransportRegistrations_.find(kind);
    if (it == otherTransportRegistrations_.end()) {
        if (registrations == MIDITransportRegistrations{}) return;
        it = otherTransportRegistrations_.emplace(std::string(kind), MIDITransportRegistrations{}).first;
    }
    if (it->second == registrations) return;
    it->second = std::move(registrations);
    if (!isStarted_) return;
    installInventory(RefreshOrigin::transport);
    bumpRoutingRevision();
}

void MIDIEngine::usbDevicesChanged() {
    if (deps_.usbService == nullptr) return;
    auto registrations =
        transportRegistrations(deps_.usbService->devices(), usbPresentation_.showsIndividualUSBDevices());
    if (registrations == transportRegistrations_) return;
    transportRegistrations_ = std::move(registrations);
    installInventory(RefreshOrigin::usb);
    bumpRoutingRevision();
}

void MIDIEngine::attachUSBService() {
    VLUSBService* usb = deps_.usbService;
    if (usb == nullptr) return;
    std::weak_ptr<MIDIEngine*> weak = lifetime_;
    usb->midiHandler = [weak](const VLUSBInboundMIDI& message) {
        if (const auto alive = weak.lock()) (*alive)->handleUSBInput(message);
    };
    usb->devicesHandler = [weak](const VLUSBDeviceList&) {
        if (const auto alive = weak.lock()) (*alive)->usbDevicesChanged();
    };
    usbPresentationSubscription_ = usbPresentation_.observe([this] { usbDevicesChanged(); });
}

void MIDIEngine::reconnectInputs() {
    // Only the difference changes: a source that stays connected keeps its
    // connection, so nothing it sends is lost while another endpoint comes or goes.
    const auto wanted = coreMIDIInputConnections(inventory_);
    for (auto it = connectedInputs_.begin(); it != connectedInputs_.end();) {
        const bool keep =
            std::any_of(wanted.begin(), wanted.end(), [&](const MIDICoreMIDIInputConnection& c) {
                return c.endpointKey == it->first && c.endpoint == it->second;
            });
        if (keep) {
            ++it;
            continue;
        }
        if (deps_.midiService != nullptr && inputPort_ != 0)
            deps_.midiService->disconnectSource(inputPort_, it->second);
        it = connectedInputs_.erase(it);
    }
    for (const auto& connection : wanted) connectInput(connection.endpointKey, connection.endpoint);
}

void MIDIEngine::connectInput(const std::string& endpointKey, MIDIObjectRef source) {
    if (!isStarted_ || inputPort_ == 0 || deps_.midiService == nullptr) return;
    if (connectedInputs_.contains(endpointKey)) return;
    const MIDIStatus status = deps_.midiService->connectSource(inputPort_, source, source);
    if (status != 0) {
        std::string title = endpointKey;
        if (const auto index = inventory_.inputIndex(endpointKey))
            title = inventory_.inputs()[*index].presentation.title;
        log("[MIDI In] Failed to connect " + title + ": " + statusText(status));
        return;
    }
    connectedInputs_.emplace(endpointKey, source);
}

void MIDIEngine::disconnectAllInputs() {
    if (deps_.midiService != nullptr && inputPort_ != 0) {
        for (const auto& [key, source] : connectedInputs_)
            deps_.midiService->disconnectSource(inputPort_, source);
    }
    connectedInputs_.clear();
}

void MIDIEngine::logInventorySummary() {
    const auto inputs =
        std::count_if(inventory_.inputs().begin(), inventory_.inputs().end(), [](const auto& r) {
            return r.route.kind != MIDIInputEndpointRoute::Kind::coreMIDIVirtualDestination;
        });
    const auto outputs = std::count_if(
        inventory_.outputs().begin(), inventory_.outputs().end(),
        [](const auto& r) { return r.route.kind != MIDIOutputEndpointRoute::Kind::coreMIDIVirtualSource; });
    log("[MIDI] Inputs: " + std::to_string(inputs) + ", Outputs: " + std::to_string(outputs));
}

void MIDIEngine::scheduleRoutingRefresh() {
    const std::uint64_t generation = ++scheduledRefreshGeneration_;
    routingRefreshTask_ = deps_.queue.postAfter(kRoutingRefreshDelay, [this, generation] {
        if (generation != scheduledRefreshGeneration_) return;
        refreshInventory();
        logInventorySummary();
    });
}

void MIDIEngine::setTransportOutputHandler(std::string_view kind,
                                           MIDISendPath::TransportOutputHandler handler) {
    sendPath_.setTransportOutputHandler(kind, std::move(handler));
}

// --- the app's virtual ports ----------------------------------------------------------------------------

bool MIDIEngine::ensureVirtualPair(const AppVirtualMIDIPortDescriptor& descriptor) {
    return virtualPorts_.ensureVirtualPair(client_, descriptor);
}

void MIDIEngine::setAdditionalVirtualPortsEnabled(bool enabled) {
    assert(deps_.queue.isMainThread());
    if (!isStarted_) return;
    if (!virtualPorts_.setAdditionalEnabled(client_, virtualPortPreferences_, enabled)) return;
    refreshInventory();
    bumpRoutingRevision();
    logInventorySummary();
}

}  // namespace velorin
