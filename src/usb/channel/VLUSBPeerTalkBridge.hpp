// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "core/MainQueue.hpp"
#include "usb/channel/PTChannel.hpp"
#include "usb/channel/PTUSBHub.hpp"
#include "usb/channel/VLUSBTransport.hpp"

namespace velorin {

// The bridge's timer: how long after a listen connection ends or fails the
// next listen cycle begins.
struct VLUSBPeerTalkTiming {
    std::chrono::milliseconds listenRestartDelay{1000};
};

// Keeps a usbmuxd listen connection alive (a new hub per listen cycle,
// restarted after it ends or fails) and reports attach and detach events. No
// handler is called after stop() or once the observation is gone.
class VLUSBPeerTalkObservation : public std::enable_shared_from_this<VLUSBPeerTalkObservation> {
public:
    using Timing = VLUSBPeerTalkTiming;
    static std::shared_ptr<VLUSBPeerTalkObservation> create(MainQueue& queue, std::string socketPath,
                                                            Timing timing = {});
    ~VLUSBPeerTalkObservation();

    void start(VLUSBTransport::AttachedHandler attached, VLUSBTransport::DetachedHandler detached,
               VLUSBTransport::ReadyHandler ready);
    void stop();
    const std::shared_ptr<PTUSBHub>& hub() const { return hub_; }
    std::uint64_t listenStartCount() const { return listenStartCount_; }

private:
    VLUSBPeerTalkObservation(MainQueue& queue, std::string socketPath, Timing timing)
        : queue_(queue), socketPath_(std::move(socketPath)), timing_(timing) {}
    // Runs `job` on the queue unless stop() is called or the observation goes first.
    void deliver(std::function<void(VLUSBPeerTalkObservation&)> job);
    void beginListenCycle();
    void scheduleRestart();
    void tearDownHub();
    void invalidate();
    void handleNotification(const std::shared_ptr<PTUSBHub>& hub, const std::string& name,
                            const PTPlist& info);

    bool readyCompletionPending_ = false;
    bool observationDesired_ = false;
    std::uint64_t listenStartCount_ = 0;
    std::uint64_t observationGeneration_ = 0;
    std::uint64_t stopCount_ = 0;  // work queued before the latest stop() is dropped
    std::shared_ptr<PTUSBHub> hub_;
    MainQueue& queue_;
    std::string socketPath_;
    Timing timing_;
    VLUSBTransport::AttachedHandler deviceAttachedHandler_;
    VLUSBTransport::DetachedHandler deviceDetachedHandler_;
    VLUSBTransport::ReadyHandler readyHandler_;
    TaskHandle pendingListenRestart_;
};

// Opens one framed channel per connection attempt to port 17036 of a device
// and routes frames, send completions and ends back on the main queue.
class VLUSBPeerTalkBridge : public PTChannelDelegate,
                            public std::enable_shared_from_this<VLUSBPeerTalkBridge> {
public:
    static std::shared_ptr<VLUSBPeerTalkBridge> create(MainQueue& queue,
                                                       std::string socketPath = PTUSBMuxSocketPath(),
                                                       VLUSBPeerTalkTiming timing = {});
    ~VLUSBPeerTalkBridge() override;

    void startObserving(VLUSBTransport::AttachedHandler attached, VLUSBTransport::DetachedHandler detached,
                        VLUSBTransport::ReadyHandler ready);
    void stopObserving();
    VLUSBChannelIdentifier openChannel(std::uint32_t deviceNumber,
                                       VLUSBTransport::ConnectionCompletion completion,
                                       VLUSBTransport::FrameHandler frameHandler,
                                       VLUSBTransport::EndHandler endHandler);
    void sendPayload(std::span<const std::uint8_t> payload, std::uint32_t frameType, std::uint32_t tag,
                     const VLUSBChannelIdentifier& identifier, VLUSBTransport::SendCompletion completion);
    void closeChannel(const VLUSBChannelIdentifier& identifier);
    void closeAllChannels();
    void flushPendingWrites(std::chrono::steady_clock::duration budget);

    std::size_t channelCount() const { return channelRecords_.size(); }

    // PTChannelDelegate
    bool ioFrameChannelShouldAcceptFrame(PTChannel& channel, std::uint32_t type, std::uint32_t tag,
                                         std::uint32_t payloadSize) override;
    void ioFrameChannelDidReceiveFrame(PTChannel& channel, std::uint32_t type, std::uint32_t tag,
                                       const PTData* payload) override;
    void ioFrameChannelDidEnd(PTChannel& channel, const PTOptionalError& error) override;

private:
    struct ChannelRecord {
        std::shared_ptr<PTChannel> channel;
        VLUSBTransport::ConnectionCompletion connectionCompletion;
        // Shared so that a delivery can hold it while the handler closes the channel.
        std::shared_ptr<VLUSBTransport::FrameHandler> frameHandler;
        VLUSBTransport::EndHandler endHandler;
    };
    VLUSBPeerTalkBridge(MainQueue& queue, std::string socketPath, VLUSBPeerTalkTiming timing);
    void startConnecting(const VLUSBChannelIdentifier& identifier, std::uint32_t deviceNumber);
    void finishConnection(const VLUSBChannelIdentifier& identifier, PTOptionalError error);
    void closeRecord(const VLUSBChannelIdentifier& identifier, bool reportEnd);
    ChannelRecord* recordForChannel(const PTChannel& channel, VLUSBChannelIdentifier* identifier);

    MainQueue& transportQueue_;
    std::shared_ptr<VLUSBPeerTalkObservation> observation_;
    std::map<VLUSBChannelIdentifier, ChannelRecord> channelRecords_;
};

// The bridge seen as a VLUSBTransport.
class VLUSBPeerTalkBridgeAdapter final : public VLUSBTransport {
public:
    explicit VLUSBPeerTalkBridgeAdapter(std::shared_ptr<VLUSBPeerTalkBridge> bridge)
        : bridge_(std::move(bridge)) {}
    void startObserving(AttachedHandler a, DetachedHandler d, ReadyHandler r) override {
        bridge_->startObserving(std::move(a), std::move(d), std::move(r));
    }
    void stopObserving() override { bridge_->stopObserving(); }
    VLUSBChannelIdentifier openChannel(std::uint32_t n, ConnectionCompletion c, FrameHandler f,
                                       EndHandler e) override {
        return bridge_->openChannel(n, std::move(c), std::move(f), std::move(e));
    }
    void sendPayload(std::span<const std::uint8_t> p, std::uint32_t type, std::uint32_t tag,
                     const VLUSBChannelIdentifier& id, SendCompletion c) override {
        bridge_->sendPayload(p, type, tag, id, std::move(c));
    }
    void closeChannel(const VLUSBChannelIdentifier& id) override { bridge_->closeChannel(id); }
    void closeAllChannels() override { bridge_->closeAllChannels(); }
    void flushPendingWrites(std::chrono::steady_clock::duration budget) override {
        bridge_->flushPendingWrites(budget);
    }
    const std::shared_ptr<VLUSBPeerTalkBridge>& bridge() const { return bridge_; }

private:
    std::shared_ptr<VLUSBPeerTalkBridge> bridge_;
};

// A fresh random UUID in its canonical text form.
std::string VLUSBMakeUUID();

}  // namespace velorin
