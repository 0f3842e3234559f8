// SPDX-License-Identifier: GPL-3.0-or-later
#include "usb/VLUSBConnectionController.hpp"

#include <cerrno>
#include <limits>

#include "log/LogStore.hpp"
#include "usb/channel/VLUSBPeerTalkBridge.hpp"

namespace velorin {

const char* VLUSBSessionStateName(VLUSBSession::State state) {
    switch (state) {
        case VLUSBSession::State::attached:
            return "attached";
        case VLUSBSession::State::connecting:
            return "connecting";
        case VLUSBSession::State::awaitingDeviceInfo:
            return "awaitingDeviceInfo";
        case VLUSBSession::State::connected:
            return "connected";
        case VLUSBSession::State::retrying:
            return "retrying";
        case VLUSBSession::State::stopped:
            return "stopped";
    }
    return "stopped";
}

std::shared_ptr<VLUSBConnectionController> VLUSBConnectionController::create(
    std::shared_ptr<VLUSBSession> session, VLUSBTransport& transport, MainQueue& queue, LogStore& log,
    VLUSBConnectionHosting* host, Timing timing) {
    return std::shared_ptr<VLUSBConnectionController>(
        new VLUSBConnectionController(std::move(session), transport, queue, log, host, timing));
}

VLUSBConnectionController::VLUSBConnectionController(std::shared_ptr<VLUSBSession> session,
                                                     VLUSBTransport& transport, MainQueue& queue,
                                                     LogStore& log, VLUSBConnectionHosting* host,
                                                     Timing timing)
    : session_(std::move(session)),
      transport_(transport),
      queue_(queue),
      log_(log),
      host_(host),
      timing_(timing) {}

VLUSBConnectionController::~VLUSBConnectionController() {
    // The timers' jobs point at this controller.
    session_->retry.cancel();
    cancelTimers();
}

bool VLUSBConnectionController::hostCallsCurrent() const {
    return host_ && host_->isCurrent(*this);
}

bool VLUSBConnectionController::isCurrentChannel(const VLUSBChannelIdentifier& channel) const {
    return hostCallsCurrent() && session_->channelIdentifier && *session_->channelIdentifier == channel;
}

bool VLUSBConnectionController::attemptMatches(const std::string& attempt) const {
    return session_->attemptIdentifier && *session_->attemptIdentifier == attempt;
}

void VLUSBConnectionController::log(const std::string& line) const {
    log_.log(line);
}

void VLUSBConnectionController::cancelTimers() {
    session_->handshakeWatchdog.cancel();
    session_->heartbeatProbe.cancel();
    session_->heartbeatWatchdog.cancel();
    session_->pendingHeartbeatTag.reset();
}

void VLUSBConnectionController::closeChannel(const VLUSBChannelIdentifier& channel) {
    if (session_->channelIdentifier && *session_->channelIdentifier == channel)
        session_->channelIdentifier.reset();
    transport_.closeChannel(channel);
}

void VLUSBConnectionController::connect() {
    using S = VLUSBSession::State;
    if (!hostCallsCurrent()) return;
    const S previous = session_->state;
    if (previous == S::connecting || previous == S::awaitingDeviceInfo || previous == S::connected) return;
    session_->retry.cancel();
    cancelTimers();
    session_->state = S::connecting;
    const std::string attempt = VLUSBMakeUUID();
    session_->attemptIdentifier = attempt;
    if (previous != S::retrying) {
        log("[VL USB] Connecting to device " + std::to_string(session_->transientIdentifier) + " on port " +
            std::to_string(kVLUSBDevicePort));
    }
    std::weak_ptr<VLUSBConnectionController> weak = weak_from_this();
    session_->channelIdentifier = transport_.openChannel(
        session_->transientIdentifier,
        [weak, attempt](const VLUSBChannelIdentifier& channel, PTOptionalError error) {
            if (auto self = weak.lock()) self->handleConnectionCompletion(attempt, channel, error);
        },
        [weak](const VLUSBChannelIdentifier& channel, std::uint32_t type, std::uint32_t tag,
               std::span<const std::uint8_t> payload) {
            if (auto self = weak.lock()) self->handleFrame(channel, type, tag, payload);
        },
        [weak](const VLUSBChannelIdentifier& channel, PTOptionalError error) {
            if (auto self = weak.lock()) self->handleChannelEnd(channel, error);
        });
    // A daemon that never answers the Connect would hold the session (and its
    // socket) in "connecting" for good: after the handshake's own timeout the
    // attempt fails and is retried like any failed connect.
    if (session_->state != S::connecting || !attemptMatches(attempt)) return;
    session_->handshakeWatchdog = queue_.postAfter(timing_.handshakeTimeout, [this, attempt] {
        handshakeTimedOut(attempt, VLUSBSession::State::connecting, "[VL USB] connection timed out");
    });
}

void VLUSBConnectionController::handshakeTimedOut(const std::string& attempt, VLUSBSession::State during,
                                                  const char* line) {
    if (!attemptMatches(attempt) || session_->state != during) return;
    log(line);
    cancelTimers();
    if (auto channel = session_->channelIdentifier) closeChannel(*channel);
    scheduleRetry();
}

void VLUSBConnectionController::handleConnectionCompletion(const std::string& attempt,
                                                           const VLUSBChannelIdentifier& channel,
                                                           const PTOptionalError& error) {
    if (!isCurrentChannel(channel) || !attemptMatches(attempt)) return;
    if (session_->state != VLUSBSession::State::connecting) return;
    session_->handshakeWatchdog.cancel();  // the connect's own timeout
    if (!error) {
        session_->state = VLUSBSession::State::awaitingDeviceInfo;
        log("[VL USB] Channel open; awaiting device info");
        session_->handshakeWatchdog = queue_.postAfter(timing_.handshakeTimeout, [this, attempt] {
            handshakeTimedOut(attempt, VLUSBSession::State::awaitingDeviceInfo,
                              "[VL USB] device info handshake timed out");
        });
        return;
    }
    // A refused connection means the app is not listening yet: retry quietly.
    if (!error->isPOSIX(ECONNREFUSED)) log("[VL USB] connection failed: " + error->describe());
    closeChannel(channel);
    if (error->isUnknownDevice() && host_) {
        // Retrying would fail the same way every second for good.
        const auto keepAlive = shared_from_this();
        host_->deviceUnknownToDaemon(*this);
        return;
    }
    scheduleRetry();
}

void VLUSBConnectionController::handleFrame(const VLUSBChannelIdentifier& channel, std::uint32_t type,
                                            std::uint32_t tag, std::span<const std::uint8_t> payload) {
    using S = VLUSBSession::State;
    if (!isCurrentChannel(channel)) return;
    switch (static_cast<VLUSBFrameType>(type)) {
        case VLUSBFrameType::deviceInfo: {
            if (session_->state != S::awaitingDeviceInfo) return;
            auto result = VLUSBDecodeDeviceInfo(payload);
            if (auto* info = std::get_if<VLUSBDeviceInfo>(&result)) {
                session_->handshakeWatchdog.cancel();
                // Connected before the host hears of it, so that the host counts
                // this session when it picks the device's preferred session.
                session_->state = S::connected;
                const auto keepAlive = shared_from_this();
                if (host_) host_->deviceDidConnect(*this, *info);
                if (session_->state == S::connected && session_->channelIdentifier) startHeartbeat();
                return;
            }
            log("[VL USB] invalid device info handshake: " +
                std::get<VLUSBProtocolError>(result).description());
            if (isCurrentChannel(channel)) {
                cancelTimers();
                closeChannel(channel);
                scheduleRetry();
            }
            return;
        }
        case VLUSBFrameType::midi: {
            if (session_->state != S::connected || !session_->device) return;
            auto result = VLUSBDecodeMIDIFrame(payload);
            if (auto* frame = std::get_if<VLUSBMIDIFrame>(&result)) {
                VLUSBInboundMIDI message{session_->device->id(), session_->device->info(), frame->portIndex,
                                         frame->timestamp, std::move(frame->bytes)};
                if (host_) host_->midiReceived(message);
                return;
            }
            log("[VL USB] ignored malformed frame: " + std::get<VLUSBProtocolError>(result).description());
            return;
        }
        case VLUSBFrameType::pong: {
            if (session_->state != S::connected || !session_->pendingHeartbeatTag) return;
            if (*session_->pendingHeartbeatTag != tag) return;
            session_->heartbeatWatchdog.cancel();
            session_->pendingHeartbeatTag.reset();
            if (session_->pingSentAt) session_->lastPingRoundTrip = queue_.now() - *session_->pingSentAt;
            session_->pingSentAt.reset();
            startHeartbeat();
            if (host_) host_->pingAnswered(*this);
            return;
        }
        case VLUSBFrameType::ping:
        case VLUSBFrameType::reserved:
            return;
        default:
            log("[VL USB] Ignored unknown frame type " + std::to_string(type));
            return;
    }
}

void VLUSBConnectionController::startHeartbeat() {
    if (session_->state != VLUSBSession::State::connected || !session_->channelIdentifier) return;
    session_->heartbeatProbe.cancel();
    session_->heartbeatWatchdog.cancel();
    const std::string attempt = session_->attemptIdentifier.value_or("");
    session_->heartbeatProbe = queue_.postAfter(timing_.heartbeatInterval, [this, attempt] {
        if (!attemptMatches(attempt) || session_->state != VLUSBSession::State::connected) return;
        session_->heartbeatProbe.cancel();
        sendPing(attempt);
    });
}

void VLUSBConnectionController::sendPing(const std::string& attempt) {
    if (session_->pendingHeartbeatTag || !session_->channelIdentifier) return;
    const std::uint32_t tag = session_->nextHeartbeatTag;
    session_->nextHeartbeatTag = tag == std::numeric_limits<std::uint32_t>::max() ? 1 : tag + 1;
    session_->pendingHeartbeatTag = tag;
    session_->pingSentAt = queue_.now();
    session_->heartbeatWatchdog = queue_.postAfter(timing_.heartbeatTimeout, [this, attempt, tag] {
        if (!attemptMatches(attempt) || session_->pendingHeartbeatTag != tag) return;
        session_->pendingHeartbeatTag.reset();
        log("[VL USB] heartbeat timed out waiting for pong");
        failConnection(attempt, std::nullopt);
    });
    std::weak_ptr<VLUSBConnectionController> weak = weak_from_this();
    transport_.sendPayload(
        {}, VLUSBFrameTypeValue(VLUSBFrameType::ping), tag, *session_->channelIdentifier,
        [weak, attempt, tag](const VLUSBChannelIdentifier& channel, PTOptionalError error) {
            if (auto self = weak.lock()) self->handlePingSendCompletion(attempt, channel, tag, error);
        });
}

void VLUSBConnectionController::handlePingSendCompletion(const std::string& attempt,
                                                         const VLUSBChannelIdentifier& channel,
                                                         std::uint32_t tag, const PTOptionalError& error) {
    if (!error || !isCurrentChannel(channel)) return;
    if (!session_->pendingHeartbeatTag || *session_->pendingHeartbeatTag != tag) return;
    failConnection(attempt, "[VL USB] heartbeat ping send failed: " + error->describe());
}

void VLUSBConnectionController::outboundSendFailed(const VLUSBChannelIdentifier& channel,
                                                   const PTError& error) {
    if (!isCurrentChannel(channel) || !session_->attemptIdentifier) return;
    failConnection(*session_->attemptIdentifier, "[VL USB] send failed: " + error.describe());
}

void VLUSBConnectionController::failConnection(const std::string& attempt,
                                               const std::optional<std::string>& line) {
    if (!hostCallsCurrent() || !attemptMatches(attempt)) return;
    const auto keepAlive = shared_from_this();
    if (line) log(*line);
    cancelTimers();
    if (auto channel = session_->channelIdentifier) closeChannel(*channel);
    if (session_->state == VLUSBSession::State::connected && session_->device && host_) {
        host_->sessionDidDisconnect(*session_, session_->device, true);
    }
    scheduleRetry();
}

void VLUSBConnectionController::handleChannelEnd(const VLUSBChannelIdentifier& channel,
                                                 const PTOptionalError& error) {
    if (!isCurrentChannel(channel)) return;
    const auto keepAlive = shared_from_this();
    cancelTimers();
    if (error) log("[VL USB] channel ended: " + error->describe());
    session_->channelIdentifier.reset();
    if (session_->state == VLUSBSession::State::connected && session_->device && host_) {
        host_->sessionDidDisconnect(*session_, session_->device, true);
    }
    scheduleRetry();
}

void VLUSBConnectionController::scheduleRetry() {
    if (!hostCallsCurrent()) return;
    session_->retry.cancel();
    cancelTimers();
    session_->state = VLUSBSession::State::retrying;
    session_->retry = queue_.postAfter(timing_.retryDelay, [this] {
        session_->retry.cancel();
        connect();
    });
}

void VLUSBConnectionController::stop(bool logDisconnect) {
    const auto keepAlive = shared_from_this();
    session_->retry.cancel();
    cancelTimers();
    if (session_->state == VLUSBSession::State::connected && session_->device && host_) {
        host_->sessionDidDisconnect(*session_, session_->device, logDisconnect);
    }
    if (auto channel = session_->channelIdentifier) closeChannel(*channel);
    session_->attemptIdentifier.reset();
    session_->state = VLUSBSession::State::stopped;
}

}  // namespace velorin
