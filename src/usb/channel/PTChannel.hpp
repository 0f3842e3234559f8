// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/MainQueue.hpp"
#include "usb/channel/PTError.hpp"
#include "usb/channel/PTProtocol.hpp"
#include "usb/channel/PTSocketWriter.hpp"

namespace velorin {

class PTChannel;
class PTUSBHub;

// A received payload: one contiguous buffer.
class PTData {
public:
    explicit PTData(std::span<const std::uint8_t> bytes) : data_(bytes) {}
    const std::uint8_t* data() const { return data_.data(); }
    std::size_t length() const { return data_.size(); }
    std::span<const std::uint8_t> bytes() const { return data_; }
    std::string description() const;

private:
    std::span<const std::uint8_t> data_;
};

// What a channel tells its owner. The accept check and the end are optional:
// the defaults accept every frame and ignore the end.
class PTChannelDelegate {
public:
    virtual ~PTChannelDelegate() = default;
    virtual bool ioFrameChannelShouldAcceptFrame(PTChannel&, std::uint32_t /*type*/, std::uint32_t /*tag*/,
                                                 std::uint32_t /*payloadSize*/) {
        return true;
    }
    // `payload` is null for frames without payload.
    virtual void ioFrameChannelDidReceiveFrame(PTChannel&, std::uint32_t type, std::uint32_t tag,
                                               const PTData* payload) = 0;
    virtual void ioFrameChannelDidEnd(PTChannel&, const PTOptionalError& /*error*/) {}
};

// One framed stream: reads frames continuously and hands them to the delegate,
// sends frames on request. Everything runs on the protocol's queue. A closed
// channel is not reused.
class PTChannel : public std::enable_shared_from_this<PTChannel> {
public:
    enum class ConnState : std::uint8_t { none = 0, connecting = 1, connected = 2, listening = 3 };
    using Callback = std::function<void(PTOptionalError)>;

    static std::shared_ptr<PTChannel> create(std::shared_ptr<PTProtocol> protocol,
                                             PTChannelDelegate* delegate = nullptr);
    ~PTChannel();
    PTChannel(const PTChannel&) = delete;
    PTChannel& operator=(const PTChannel&) = delete;

    // Asks the hub for a tunnel to `port` of device `deviceID` and starts reading from it.
    void connectToPort(std::uint16_t port, PTUSBHub& hub, std::uint32_t deviceID, Callback callback);
    // Adopts a connected stream socket (the channel owns it from now on) and starts the read loop.
    PTOptionalError startReadingFromConnectedChannel(int fd);
    void sendFrame(std::uint32_t type, std::uint32_t tag, std::span<const std::uint8_t> payload,
                   Callback callback);
    // Closes the stream at once; pending writes fail with ECANCELED.
    void close();
    // Writes the frames still queued, waiting at most until `deadline`.
    void flushPendingWrites(MainQueue::TimePoint deadline);
    // Stops reading and closes once pending writes have finished.
    void cancel();

    bool isConnected() const {
        return connState_ == ConnState::connecting || connState_ == ConnState::connected;
    }
    bool isListening() const { return connState_ == ConnState::listening; }
    ConnState connState() const { return connState_; }
    PTChannelDelegate* delegate() const { return delegate_; }
    void setDelegate(PTChannelDelegate* delegate) { delegate_ = delegate; }
    const std::shared_ptr<PTProtocol>& protocol() const { return protocol_; }
    void setProtocol(std::shared_ptr<PTProtocol> protocol) { protocol_ = std::move(protocol); }
    const std::string& userInfo() const { return userInfo_; }
    void setUserInfo(std::string info) { userInfo_ = std::move(info); }
    std::string description() const;

private:
    explicit PTChannel(std::shared_ptr<PTProtocol> protocol, PTChannelDelegate* delegate);
    MainQueue& queue() const { return protocol_->queue(); }
    void onReadable();
    // Processes reader events until the reader needs more bytes; false once the channel ended.
    bool drain(std::span<const std::uint8_t>& input);
    bool handleEvent(const PTFrameReader::Event& event);
    void endWithError(PTOptionalError error);
    void dropStream();

    int fd_ = -1;  // the connected stream (dispatchObj_channel_)
    std::unique_ptr<PTSocketWriter> writer_;
    TaskHandle readWatch_;
    PTFrameReader reader_;
    std::uint64_t streamGeneration_ = 0;
    PTOptionalError endError_;
    PTChannelDelegate* delegate_ = nullptr;
    ConnState connState_ = ConnState::none;
    std::shared_ptr<PTProtocol> protocol_;
    std::string userInfo_;
};

}  // namespace velorin
