// SPDX-License-Identifier: GPL-3.0-or-later
#include "usb/channel/VLUSBPeerTalkBridge.hpp"

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>

namespace velorin {

std::string VLUSBMakeUUID() {
    static thread_local std::mt19937_64 engine{std::random_device{}()};
    std::uint64_t hi = engine();
    std::uint64_t lo = engine();
    hi = (hi & 0xFFFFFFFFFFFF0FFFull) | 0x0000000000004000ull;  // version 4
    lo = (lo & 0x3FFFFFFFFFFFFFFFull) | 0x8000000000000000ull;  // variant 1
    std::array<char, 40> buf{};
    std::snprintf(buf.data(), buf.size(), "%08llX-%04llX-%04llX-%04llX-%012llX",
                  static_cast<unsigned long long>(hi >> 32),
                  static_cast<unsigned long long>((hi >> 16) & 0xFFFF),
                  static_cast<unsigned long long>(hi & 0xFFFF), static_cast<unsigned long long>(lo >> 48),
                  static_cast<unsigned long long>(lo & 0xFFFFFFFFFFFFull));
    return buf.data();
}

// ---- VLUSBPeerTalkObservation

std::shared_ptr<VLUSBPeerTalkObservation> VLUSBPeerTalkObservation::create(MainQueue& queue,
                                                                           std::string socketPath,
                                                                           Timing timing) {
    return std::shared_ptr<VLUSBPeerTalkObservation>(
        new VLUSBPeerTalkObservation(queue, std::move(socketPath), timing));
}

VLUSBPeerTalkObservation::~VLUSBPeerTalkObservation() {
    if (hub_) {
        hub_->setNotificationHandler(nullptr);
        hub_->stopListening();
    }
}

void VLUSBPeerTalkObservation::deliver(std::function<void(VLUSBPeerTalkObservation&)> job) {
    queue_.post([weak = weak_from_this(), stops = stopCount_, job = std::move(job)] {
        auto self = weak.lock();
        if (self && self->stopCount_ == stops) job(*self);
    });
}

void VLUSBPeerTalkObservation::start(VLUSBTransport::AttachedHandler attached,
                                     VLUSBTransport::DetachedHandler detached,
                                     VLUSBTransport::ReadyHandler ready) {
    // A stop() before this job runs drops it: otherwise listening would begin
    // after the owner stopped, and the daemon's one round of "Attached"
    // broadcasts would be spent on a stopped owner.
    deliver([attached = std::move(attached), detached = std::move(detached),
             ready = std::move(ready)](VLUSBPeerTalkObservation& self) {
        self.deviceAttachedHandler_ = attached;
        self.deviceDetachedHandler_ = detached;
        self.readyHandler_ = ready;
        if (!self.observationDesired_) {
            self.observationDesired_ = true;
            self.readyCompletionPending_ = true;
            self.beginListenCycle();
        } else if (self.hub_ && ready) {
            self.deliver([](VLUSBPeerTalkObservation& o) {
                if (auto handler = o.readyHandler_) handler(std::nullopt);
            });
        }
    });
}

void VLUSBPeerTalkObservation::invalidate() {
    observationDesired_ = false;
    pendingListenRestart_.cancel();
}

void VLUSBPeerTalkObservation::stop() {
    ++stopCount_;
    invalidate();
    pendingListenRestart_.cancel();
    tearDownHub();
    deviceAttachedHandler_ = nullptr;
    deviceDetachedHandler_ = nullptr;
    readyHandler_ = nullptr;
    readyCompletionPending_ = false;
}

void VLUSBPeerTalkObservation::tearDownHub() {
    if (auto hub = std::move(hub_)) {
        hub_.reset();
        hub->setNotificationHandler(nullptr);
        hub->stopListening();
    }
}

void VLUSBPeerTalkObservation::beginListenCycle() {
    pendingListenRestart_.cancel();
    const std::uint64_t generation = ++observationGeneration_;
    tearDownHub();
    ++listenStartCount_;
    auto hub = PTUSBHub::create(queue_, socketPath_);
    hub_ = hub;
    std::weak_ptr<VLUSBPeerTalkObservation> weak = weak_from_this();
    std::weak_ptr<PTUSBHub> weakHub = hub;
    hub->setNotificationHandler([weak, weakHub](const std::string& name, const PTPlist& info) {
        auto self = weak.lock();
        auto h = weakHub.lock();
        if (self && h) self->handleNotification(h, name, info);
    });
    hub->listen(
        [weak, generation](PTOptionalError error) {
            auto self = weak.lock();
            if (!self || generation != self->observationGeneration_ || !self->observationDesired_) return;
            if (self->readyCompletionPending_) {
                self->readyCompletionPending_ = false;
                self->deliver([error](VLUSBPeerTalkObservation& o) {
                    if (auto ready = o.readyHandler_) ready(error);
                });
            }
            if (error) self->scheduleRestart();
        },
        [weak, generation](PTOptionalError) {
            auto self = weak.lock();
            if (!self || generation != self->observationGeneration_ || !self->observationDesired_) return;
            self->scheduleRestart();
        });
}

void VLUSBPeerTalkObservation::scheduleRestart() {
    pendingListenRestart_.cancel();
    if (!observationDesired_) return;
    const std::uint64_t generation = observationGeneration_;
    const auto delay = std::max<MainQueue::Duration>(timing_.listenRestartDelay, MainQueue::Duration::zero());
    pendingListenRestart_ = queue_.postAfter(delay, [this, generation] {
        if (observationDesired_ && generation == observationGeneration_) beginListenCycle();
    });
}

void VLUSBPeerTalkObservation::handleNotification(const std::shared_ptr<PTUSBHub>& hub,
                                                  const std::string& name, const PTPlist& info) {
    if (hub != hub_) return;
    const PTPlist* idNode = info.find("DeviceID");
    if (!idNode || !idNode->integerValue()) return;
    const auto deviceNumber = static_cast<std::uint32_t>(*idNode->integerValue());
    if (name == PTUSBDeviceDidAttachNotification) {
        if (!deviceAttachedHandler_) return;
        const PTPlist* props = info.find("Properties");
        PTPlist properties = props && props->isDictionary() ? *props : PTPlist::makeDictionary();
        deliver([deviceNumber, properties = std::move(properties)](VLUSBPeerTalkObservation& self) {
            if (auto handler = self.deviceAttachedHandler_) handler(deviceNumber, properties);
        });
    } else if (name == PTUSBDeviceDidDetachNotification) {
        if (!deviceDetachedHandler_) return;
        deliver([deviceNumber](VLUSBPeerTalkObservation& self) {
            if (auto handler = self.deviceDetachedHandler_) handler(deviceNumber);
        });
    }
}

// ---- VLUSBPeerTalkBridge

std::shared_ptr<VLUSBPeerTalkBridge> VLUSBPeerTalkBridge::create(MainQueue& queue, std::string socketPath,
                                                                 VLUSBPeerTalkTiming timing) {
    return std::shared_ptr<VLUSBPeerTalkBridge>(
        new VLUSBPeerTalkBridge(queue, std::move(socketPath), timing));
}

VLUSBPeerTalkBridge::VLUSBPeerTalkBridge(MainQueue& queue, std::string socketPath, VLUSBPeerTalkTiming timing)
    : transportQueue_(queue),
      observation_(VLUSBPeerTalkObservation::create(queue, std::move(socketPath), timing)) {}

VLUSBPeerTalkBridge::~VLUSBPeerTalkBridge() {
    observation_->stop();
    for (auto& [id, record] : channelRecords_) {
        if (record.channel) {
            record.channel->setDelegate(nullptr);
            record.channel->close();
        }
    }
}

void VLUSBPeerTalkBridge::startObserving(VLUSBTransport::AttachedHandler attached,
                                         VLUSBTransport::DetachedHandler detached,
                                         VLUSBTransport::ReadyHandler ready) {
    observation_->start(std::move(attached), std::move(detached), std::move(ready));
}

void VLUSBPeerTalkBridge::stopObserving() {
    observation_->stop();
    closeAllChannels();
}

VLUSBChannelIdentifier VLUSBPeerTalkBridge::openChannel(std::uint32_t deviceNumber,
                                                        VLUSBTransport::ConnectionCompletion completion,
                                                        VLUSBTransport::FrameHandler frameHandler,
                                                        VLUSBTransport::EndHandler endHandler) {
    VLUSBChannelIdentifier identifier = VLUSBMakeUUID();
    ChannelRecord record;
    record.connectionCompletion = std::move(completion);
    record.frameHandler = std::make_shared<VLUSBTransport::FrameHandler>(std::move(frameHandler));
    record.endHandler = std::move(endHandler);
    channelRecords_.emplace(identifier, std::move(record));
    std::weak_ptr<VLUSBPeerTalkBridge> weak = weak_from_this();
    transportQueue_.post([weak, identifier, deviceNumber] {
        if (auto self = weak.lock()) self->startConnecting(identifier, deviceNumber);
    });
    return identifier;
}

void VLUSBPeerTalkBridge::startConnecting(const VLUSBChannelIdentifier& identifier,
                                          std::uint32_t deviceNumber) {
    auto it = channelRecords_.find(identifier);
    if (it == channelRecords_.end()) return;
    auto channel = PTChannel::create(PTProtocol::sharedProtocolForQueue(transportQueue_), this);
    it->second.channel = channel;
    const auto& hub = observation_->hub();
    if (!hub) {
        finishConnection(identifier, PTError::posix(ENOTCONN));
        return;
    }
    std::weak_ptr<VLUSBPeerTalkBridge> weak = weak_from_this();
    std::weak_ptr<PTChannel> weakChannel = channel;
    channel->connectToPort(
        kVLUSBDevicePort, *hub, deviceNumber, [weak, weakChannel, identifier](PTOptionalError error) {
            auto self = weak.lock();
            auto ch = weakChannel.lock();
            auto it2 =
                self ? self->channelRecords_.find(identifier) : decltype(self->channelRecords_)::iterator{};
            if (!self || it2 == self->channelRecords_.end() || it2->second.channel != ch) {
                if (ch) {
                    ch->setDelegate(nullptr);
                    ch->close();
                }
                return;
            }
            // The daemon's "connection refused" means the app is not listening.
            if (error && error->isUSBHub(PTError::kUSBHubConnectionRefusedCode))
                error = PTError::posix(ECONNREFUSED);
            self->finishConnection(identifier, std::move(error));
        });
}

void VLUSBPeerTalkBridge::finishConnection(const VLUSBChannelIdentifier& identifier, PTOptionalError error) {
    auto it = channelRecords_.find(identifier);
    if (it == channelRecords_.end()) return;
    auto completion = std::move(it->second.connectionCompletion);
    it->second.connectionCompletion = nullptr;
    if (error) closeRecord(identifier, false);
    if (completion) {
        transportQueue_.post([completion = std::move(completion), identifier, error = std::move(error)] {
            completion(identifier, error);
        });
    }
}

void VLUSBPeerTalkBridge::closeRecord(const VLUSBChannelIdentifier& identifier, bool reportEnd) {
    auto it = channelRecords_.find(identifier);
    if (it == channelRecords_.end()) return;
    ChannelRecord record = std::move(it->second);
    channelRecords_.erase(it);
    if (record.channel) {
        record.channel->setDelegate(nullptr);
        record.channel->close();
    }
    if (auto completion = std::move(record.connectionCompletion)) {
        transportQueue_.post([completion = std::move(completion), identifier] {
            completion(identifier, PTError::posix(ECANCELED));
        });
    }
    if (reportEnd && record.endHandler) {
        transportQueue_.post(
            [end = std::move(record.endHandler), identifier] { end(identifier, std::nullopt); });
    }
}

void VLUSBPeerTalkBridge::sendPayload(std::span<const std::uint8_t> payload, std::uint32_t frameType,
                                      std::uint32_t tag, const VLUSBChannelIdentifier& identifier,
                                      VLUSBTransport::SendCompletion completion) {
    auto it = channelRecords_.find(identifier);
    if (it == channelRecords_.end() || !it->second.channel) {
        transportQueue_.post([completion = std::move(completion), identifier] {
            if (completion) completion(identifier, PTError::posix(ENOTCONN));
        });
        return;
    }
    it->second.channel->sendFrame(frameType, tag, payload,
                                  [completion = std::move(completion), identifier](PTOptionalError error) {
                                      if (completion) completion(identifier, std::move(error));
                                  });
}

void VLUSBPeerTalkBridge::closeChannel(const VLUSBChannelIdentifier& identifier) {
    closeRecord(identifier, true);
}

void VLUSBPeerTalkBridge::flushPendingWrites(std::chrono::steady_clock::duration budget) {
    const auto deadline = MainQueue::Clock::now() + budget;
    for (const auto& [id, record] : channelRecords_) {
        if (record.channel) record.channel->flushPendingWrites(deadline);
    }
}

void VLUSBPeerTalkBridge::closeAllChannels() {
    std::vector<VLUSBChannelIdentifier> ids;
    ids.reserve(channelRecords_.size());
    for (const auto& [id, record] : channelRecords_) ids.push_back(id);
    for (const auto& id : ids) closeRecord(id, true);
}

VLUSBPeerTalkBridge::ChannelRecord* VLUSBPeerTalkBridge::recordForChannel(
    const PTChannel& channel, VLUSBChannelIdentifier* identifier) {
    for (auto& [id, record] : channelRecords_) {
        if (record.channel.get() == &channel) {
            if (identifier) *identifier = id;
            return &record;
        }
    }
    return nullptr;
}

bool VLUSBPeerTalkBridge::ioFrameChannelShouldAcceptFrame(PTChannel& channel, std::uint32_t, std::uint32_t,
                                                          std::uint32_t) {
    return recordForChannel(channel, nullptr) != nullptr;
}

void VLUSBPeerTalkBridge::ioFrameChannelDidReceiveFrame(PTChannel& channel, std::uint32_t type,
                                                        std::uint32_t tag, const PTData* payload) {
    VLUSBChannelIdentifier identifier;
    ChannelRecord* record = recordForChannel(channel, &identifier);
    if (!record) return;
    std::vector<std::uint8_t> bytes;
    if (payload) bytes.assign(payload->data(), payload->data() + payload->length());
    // Delivered only while the record is still registered: after the channel is
    // closed (or the bridge is gone) its frames are no longer delivered.
    transportQueue_.post(
        [weak = weak_from_this(), identifier = std::move(identifier), type, tag, bytes = std::move(bytes)] {
            auto self = weak.lock();
            if (!self) return;
            auto it = self->channelRecords_.find(identifier);
            if (it == self->channelRecords_.end()) return;
            const auto handler = it->second.frameHandler;
            if (handler && *handler) (*handler)(identifier, type, tag, bytes);
        });
}

void VLUSBPeerTalkBridge::ioFrameChannelDidEnd(PTChannel& channel, const PTOptionalError& error) {
    VLUSBChannelIdentifier identifier;
    ChannelRecord* record = recordForChannel(channel, &identifier);
    if (!record) return;
    auto end = record->endHandler;
    closeRecord(identifier, false);
    if (end) transportQueue_.post([end = std::move(end), identifier, error] { end(identifier, error); });
}

}  // namespace velorin
