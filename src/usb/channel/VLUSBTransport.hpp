// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "usb/channel/PTError.hpp"
#include "usb/channel/PTPropertyList.hpp"

namespace velorin {

// Names one connection attempt to a device (a random UUID string).
using VLUSBChannelIdentifier = std::string;

// The device port the controller app listens on.
inline constexpr std::uint16_t kVLUSBDevicePort = 17036;

// The transport the USB sessions are written against: device observation and
// framed channels to the controller app. Every handler and completion is
// delivered asynchronously on the main queue, never from inside the call that
// caused it. The observation handlers are never called after stopObserving()
// or once the transport is gone, nor a channel's frame handler after the
// channel closed; connection completions, ends and send completions may still
// arrive after a close (that is how a close reports itself), so they must hold
// their owner only weakly. Engine thread only.
class VLUSBTransport {
public:
    using AttachedHandler = std::function<void(std::uint32_t deviceNumber, const PTPlist& properties)>;
    using DetachedHandler = std::function<void(std::uint32_t deviceNumber)>;
    using ReadyHandler = std::function<void(PTOptionalError)>;
    using ConnectionCompletion = std::function<void(const VLUSBChannelIdentifier&, PTOptionalError)>;
    using FrameHandler = std::function<void(const VLUSBChannelIdentifier&, std::uint32_t type,
                                            std::uint32_t tag, std::span<const std::uint8_t> payload)>;
    using EndHandler = std::function<void(const VLUSBChannelIdentifier&, PTOptionalError)>;
    using SendCompletion = std::function<void(const VLUSBChannelIdentifier&, PTOptionalError)>;

    virtual ~VLUSBTransport() = default;
    virtual void startObserving(AttachedHandler attached, DetachedHandler detached, ReadyHandler ready) = 0;
    virtual void stopObserving() = 0;
    virtual VLUSBChannelIdentifier openChannel(std::uint32_t deviceNumber,
                                               ConnectionCompletion connectionCompletion,
                                               FrameHandler frameHandler, EndHandler endHandler) = 0;
    // The payload is framed (copied) before the call returns.
    virtual void sendPayload(std::span<const std::uint8_t> payload, std::uint32_t frameType,
                             std::uint32_t tag, const VLUSBChannelIdentifier& channel,
                             SendCompletion completion) = 0;
    virtual void closeChannel(const VLUSBChannelIdentifier& channel) = 0;
    virtual void closeAllChannels() = 0;
    // Writes out what every channel still has queued, for at most `budget`
    // in all, before an orderly stop closes them (a stop ends with the event
    // loop, which would otherwise never finish those writes).
    virtual void flushPendingWrites(std::chrono::steady_clock::duration budget) { (void)budget; }
};

}  // namespace velorin
