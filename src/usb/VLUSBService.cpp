// SPDX-License-Identifier: GPL-3.0-or-later
#include "usb/VLUSBService.hpp"

#include <algorithm>

#include "log/BundleInfo.hpp"
#include "log/LogStore.hpp"
#include "usb/channel/VLUSBPeerTalkBridge.hpp"

namespace velorin {

std::string VLUSBSendErrorDescription(const VLUSBSendError& error) {
    if (const auto* service = std::get_if<VLUSBServiceError>(&error)) {
        return "deviceUnavailable(\"" + service->deviceKey + "\")";
    }
    return std::get<VLUSBProtocolError>(error).description();
}

VLUSBService::VLUSBService(MainQueue& queue, LogStore& log, std::unique_ptr<VLUSBTransport> transport,
                           std::unique_ptr<VLUSBProcessLocking> processLock, Timing timing)
    : queue_(queue),
      log_(log),
      transport_(std::move(transport)),
      processLock_(std::move(processLock)),
      timing_(timing) {}

std::unique_ptr<VLUSBService> VLUSBService::create(MainQueue& queue, LogStore& logStore,
                                                   std::filesystem::path lockFile,
                                                   std::string usbmuxdSocketPath, Timing timing) {
    // usbmuxd hears the program's name and build number with every request.
    PTUSBSetClientIdentity({bundleInfoValue(kBundleNameKey), bundleInfoValue(kBundleVersionKey)});
    auto bridge = VLUSBPeerTalkBridge::create(
        queue, usbmuxdSocketPath.empty() ? PTUSBMuxSocketPath() : std::move(usbmuxdSocketPath));
    return std::make_unique<VLUSBService>(queue, logStore,
                                          std::make_unique<VLUSBPeerTalkBridgeAdapter>(std::move(bridge)),
                                          std::make_unique<VLUSBProcessLock>(std::move(lockFile)), timing);
}

VLUSBService::~VLUSBService() {
    // Stopping ends observation, so no transport handler calls back; the
    // lease retry is cancelled with its handle and the controllers' timers with them.
    for (auto& [n, controller] : _connections) controller->detachHost();
    if (_isRunning) {
        devicesHandler = nullptr;
        stop();
    }
}

void VLUSBService::log(const std::string& line) const {
    log_.log(line);
}

std::string VLUSBService::statusTitle() const {
    if (_isWaitingForLease) return "VL USB in Use by Another Server";
    const auto n =
        std::count_if(_devices.begin(), _devices.end(), [](const auto& d) { return d->isConnected(); });
    return std::to_string(n) + (n == 1 ? " VL USB Device" : " VL USB Devices");
}

std::optional<MainQueue::Duration> VLUSBService::lastPingRoundTrip(const std::string& deviceKey) const {
    const auto controller = preferredController(deviceKey);
    if (!controller) return std::nullopt;
    return controller->session().lastPingRoundTrip;
}

VLUSBStatusSnapshot VLUSBService::statusSnapshot() const {
    VLUSBStatusSnapshot snapshot;
    snapshot.title = statusTitle();
    for (const auto& device : _devices) {
        if (!device->isConnected()) continue;
        snapshot.connectedDevices.push_back({device->info().name, lastPingRoundTrip(device->id())});
    }
    return snapshot;
}

void VLUSBService::pingAnswered(VLUSBConnectionController& /*controller*/) {
    notifyObservers();
}

const std::vector<std::uint32_t>* VLUSBService::outboundOrder(const std::string& key) const {
    auto it = _outboundOrderByDeviceKey.find(key);
    return it == _outboundOrderByDeviceKey.end() ? nullptr : &it->second;
}

// ---- lease

void VLUSBService::start() {
    if (_isRunning) return;
    _isRunning = true;
    notifyObservers();
    leaseStep();
}

void VLUSBService::leaseStep() {
    if (!_isRunning) return;
    if (_holdsLease) {
        startObservation();
        return;
    }
    if (processLock_ && processLock_->tryAcquire()) {
        _holdsLease = true;
        if (_isWaitingForLease) {
            _isWaitingForLease = false;
            log("[VL USB] Lease acquired; starting device observation");
        }
        _leaseRetry.cancel();
        notifyObservers();
        startObservation();
        return;
    }
    if (!_isWaitingForLease) {
        _isWaitingForLease = true;
        log("[VL USB] VL USB in Use by Another Server");
        notifyObservers();
    }
    scheduleLeaseRetry();
}

void VLUSBService::scheduleLeaseRetry() {
    _leaseRetry.cancel();
    if (!_isRunning || _holdsLease) return;
    _leaseRetry = queue_.postAfter(timing_.leaseRetryDelay, [this] {
        _leaseRetry.cancel();
        leaseStep();
    });
}

void VLUSBService::releaseLease() {
    if (!_holdsLease) return;
    _holdsLease = false;
    if (processLock_) processLock_->release();
}

// ---- observation

void VLUSBService::startObservation() {
    if (!_isRunning || !_holdsLease || _isObserving) return;
    _isObserving = true;
    log("[VL USB] Starting device observation");
    notifyObservers();
    // The transport calls none of these after stopObserving(), which stop()
    // and the destructor see to.
    transport_->startObserving(
        [this](std::uint32_t n, const PTPlist& properties) { deviceAttached(n, properties); },
        [this](std::uint32_t n) { deviceDetached(n); },
        [this](PTOptionalError error) {
            if (error)
                log("[VL USB] Observation failed: " + error->describe());
            else
                log("[VL USB] Device observation ready");
        });
}

void VLUSBService::stop() {
    if (!_isRunning) return;
    _isRunning = false;
    _leaseRetry.cancel();
    _isWaitingForLease = false;
    stopObservation();
    releaseLease();
    notifyObservers();
}

void VLUSBService::stopObservation() {
    if (!_isObserving) return;
    _isObserving = false;
    // What was sent last (the note-offs of a stop) still reaches the devices.
    transport_->flushPendingWrites(kStopFlushBudget);
    auto connections = _connections;  // controllers call back into the service while stopping
    for (auto& [n, controller] : connections) controller->stop(true);
    _connections.clear();
    _outboundOrderByDeviceKey.clear();
    _devices.clear();
    publishDevices();
    transport_->closeAllChannels();
    transport_->stopObserving();
}

void VLUSBService::deviceUnknownToDaemon(VLUSBConnectionController& controller) {
    if (!isCurrent(controller)) return;
    const std::uint32_t number = controller.session().transientIdentifier;
    log("[VL USB] Device " + std::to_string(number) + " is no longer known to usbmuxd; removing it");
    deviceDetached(number);
}

namespace {
std::optional<std::string> serialNumber(const PTPlist& properties) {
    const PTPlist* serial = properties.find("SerialNumber");
    if (serial == nullptr || !serial->stringValue() || serial->stringValue()->empty()) return std::nullopt;
    return std::string(*serial->stringValue());
}
}  // namespace

void VLUSBService::deviceAttached(std::uint32_t deviceNumber, const PTPlist& properties) {
    if (!_isRunning || !_isObserving || _connections.count(deviceNumber)) return;
    // The same device under a new number (the daemon restarted and numbered
    // its devices afresh, and the old number's "Detached" was lost): the old
    // session goes as if detached.
    if (const auto serial = serialNumber(properties)) {
        std::vector<std::uint32_t> stale;
        for (const auto& [n, controller] : _connections) {
            if (serialNumber(controller->session().attachmentProperties) == serial) stale.push_back(n);
        }
        for (const std::uint32_t n : stale) {
            log("[VL USB] Device " + std::to_string(n) + " is attached again as " +
                std::to_string(deviceNumber) + "; removing the old number");
            deviceDetached(n);
        }
    }
    log("[VL USB] Device attached: " + std::to_string(deviceNumber));
    auto session = std::make_shared<VLUSBSession>(deviceNumber, properties);
    auto controller =
        VLUSBConnectionController::create(session, *transport_, queue_, log_, this, timing_.connection);
    _connections.emplace(deviceNumber, controller);
    controller->connect();
}

void VLUSBService::deviceDetached(std::uint32_t deviceNumber) {
    auto it = _connections.find(deviceNumber);
    if (it == _connections.end()) return;
    auto controller = it->second;
    _connections.erase(it);
    controller->stop(true);
    controller->detachHost();
    auto& session = controller->session();
    if (auto device = std::move(session.device)) {
        session.device.reset();
        removeOutbound(device->id(), deviceNumber);
        const bool servedElsewhere =
            std::any_of(_connections.begin(), _connections.end(),
                        [&](const auto& entry) { return entry.second->session().device == device; });
        if (!servedElsewhere && device->id().rfind(kVLUSBRuntimeKeyPrefix, 0) == 0) {
            std::erase(_devices, device);
        }
    }
    publishDevices();
}

// ---- hosting

bool VLUSBService::isCurrent(const VLUSBConnectionController& controller) const {
    if (!_isRunning) return false;
    auto it = _connections.find(controller.session().transientIdentifier);
    return it != _connections.end() && it->second.get() == &controller;
}

void VLUSBService::deviceDidConnect(VLUSBConnectionController& controller, const VLUSBDeviceInfo& info) {
    auto& session = controller.session();
    const std::uint32_t number = session.transientIdentifier;
    const std::string key = VLUSBDeviceKey(info.name, number);
    if (session.device && session.device->id() != key) {
        // The device reports another name than before. An entry listed under a
        // runtime key (it had no name) gives way to the named one, unless
        // another session still serves it.
        auto previous = std::move(session.device);
        session.device.reset();
        removeOutbound(previous->id(), number);
        const bool servedElsewhere =
            std::any_of(_connections.begin(), _connections.end(), [&](const auto& entry) {
                return entry.second.get() != &controller && entry.second->session().device == previous;
            });
        if (!servedElsewhere && previous->id().rfind(kVLUSBRuntimeKeyPrefix, 0) == 0)
            std::erase(_devices, previous);
    }
    if (auto device = session.device) {
        device->setInfo(info);
        device->setConnectionState(VLUSBDeviceConnectionState::connected);
        addOutbound(key, number);
        updatePreferredSession(device);
        log("[VL USB] " + info.name + " connected");
    } else {
        auto found =
            std::find_if(_devices.begin(), _devices.end(), [&](const auto& d) { return d->id() == key; });
        if (found != _devices.end()) {
            auto existing = *found;
            const bool duplicate =
                std::any_of(_connections.begin(), _connections.end(), [&](const auto& entry) {
                    const auto& other = entry.second->session();
                    return entry.second.get() != &controller && other.device == existing &&
                           other.state == VLUSBSession::State::connected;
                });
            existing->setInfo(info);
            existing->setConnectionState(VLUSBDeviceConnectionState::connected);
            session.device = existing;
            addOutbound(key, number);
            updatePreferredSession(existing);
            if (duplicate) {
                log("[VL USB] Ambiguous duplicate name \"" + info.name + "\": sharing endpoint " + key +
                    "; outbound prefers first connected session");
            } else {
                log("[VL USB] " + info.name + " connected");
            }
        } else {
            forgetOldestDisconnectedDevices();
            auto created =
                std::make_shared<VLUSBDevice>(key, number, info, VLUSBDeviceConnectionState::connected);
            session.device = created;
            _devices.push_back(created);
            addOutbound(key, number);
            log("[VL USB] " + info.name + " connected");
        }
    }
    publishDevices();
}

void VLUSBService::forgetOldestDisconnectedDevices() {
    // Name-keyed devices stay listed while disconnected so their endpoints come
    // back on reconnect; a device that reports a new name on every connection
    // would otherwise add an entry per reconnect for as long as the service runs.
    auto disconnected = static_cast<std::size_t>(
        std::count_if(_devices.begin(), _devices.end(), [](const auto& d) { return !d->isConnected(); }));
    for (auto it = _devices.begin();
         disconnected >= kMaxRememberedDisconnectedDevices && it != _devices.end();) {
        const auto& device = *it;
        const bool referenced = std::any_of(_connections.begin(), _connections.end(), [&](const auto& entry) {
            return entry.second->session().device == device;
        });
        if (!device->isConnected() && !referenced) {
            it = _devices.erase(it);
            --disconnected;
        } else {
            ++it;
        }
    }
}

void VLUSBService::sessionDidDisconnect(VLUSBSession& session, const std::shared_ptr<VLUSBDevice>& device,
                                        bool logDisconnect) {
    if (!device) return;
    removeOutbound(device->id(), session.transientIdentifier);
    const bool servedElsewhere =
        std::any_of(_connections.begin(), _connections.end(), [&](const auto& entry) {
            const auto& other = entry.second->session();
            return &other != &session && other.device == device &&
                   other.state == VLUSBSession::State::connected && other.channelIdentifier.has_value();
        });
    if (servedElsewhere) {
        updatePreferredSession(device);
    } else {
        device->setConnectionState(VLUSBDeviceConnectionState::disconnected);
        if (logDisconnect) log("[VL USB] " + device->info().name + " disconnected");
    }
    publishDevices();
}

void VLUSBService::midiReceived(const VLUSBInboundMIDI& message) {
    if (midiHandler) midiHandler(message);
}

// ---- outbound

void VLUSBService::addOutbound(const std::string& key, std::uint32_t number) {
    auto& order = _outboundOrderByDeviceKey[key];
    if (std::find(order.begin(), order.end(), number) == order.end()) order.push_back(number);
}

void VLUSBService::removeOutbound(const std::string& key, std::uint32_t number) {
    auto it = _outboundOrderByDeviceKey.find(key);
    if (it == _outboundOrderByDeviceKey.end()) return;
    std::erase(it->second, number);
    if (it->second.empty()) _outboundOrderByDeviceKey.erase(it);
}

std::shared_ptr<VLUSBConnectionController> VLUSBService::preferredController(const std::string& key) const {
    auto order = _outboundOrderByDeviceKey.find(key);
    if (order == _outboundOrderByDeviceKey.end()) return nullptr;
    for (std::uint32_t number : order->second) {
        auto it = _connections.find(number);
        if (it == _connections.end()) continue;
        const auto& s = it->second->session();
        if (s.state == VLUSBSession::State::connected && s.device && s.device->id() == key &&
            s.channelIdentifier) {
            return it->second;
        }
    }
    return nullptr;
}

void VLUSBService::updatePreferredSession(const std::shared_ptr<VLUSBDevice>& device) {
    if (auto preferred = preferredController(device->id())) {
        device->setTransientIdentifier(preferred->session().transientIdentifier);
    }
}

std::optional<VLUSBSendError> VLUSBService::send(std::uint16_t portIndex, std::uint64_t timestamp,
                                                 std::span<const std::uint8_t> bytes,
                                                 const std::string& deviceKey, SendCompletion completion) {
    std::vector<std::shared_ptr<VLUSBConnectionController>> targets;
    if (deviceKey == kVLUSBAggregateKey) {
        // _connections is ordered by device number: ascending order for free.
        for (const auto& [n, controller] : _connections) {
            const auto& s = controller->session();
            if (s.state == VLUSBSession::State::connected && s.channelIdentifier)
                targets.push_back(controller);
        }
    } else if (auto preferred = preferredController(deviceKey)) {
        targets.push_back(std::move(preferred));
    }
    if (targets.empty()) return VLUSBServiceError{VLUSBServiceError::Kind::deviceUnavailable, deviceKey};
    auto encoded = VLUSBEncodeMIDIFrame(portIndex, timestamp, bytes);
    if (auto* error = std::get_if<VLUSBProtocolError>(&encoded)) return *error;
    const auto& frame = std::get<std::vector<std::uint8_t>>(encoded);
    for (const auto& controller : targets) {
        std::weak_ptr<VLUSBConnectionController> weak = controller;
        transport_->sendPayload(
            frame, VLUSBFrameTypeValue(VLUSBFrameType::midi), 0, *controller->session().channelIdentifier,
            [weak, completion](const VLUSBChannelIdentifier& channel, PTOptionalError error) {
                if (completion) completion(error);
                if (!error) return;
                if (auto c = weak.lock()) c->outboundSendFailed(channel, *error);
            });
    }
    return std::nullopt;
}

void VLUSBService::publishDevices() {
    notifyObservers();
    if (devicesHandler) devicesHandler(_devices);
}

}  // namespace velorin
