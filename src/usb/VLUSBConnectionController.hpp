// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "core/MainQueue.hpp"
#include "usb/VLUSBInboundMIDI.hpp"
#include "usb/VLUSBProtocol.hpp"
#include "usb/VLUSBSession.hpp"

namespace velorin {

class LogStore;
class VLUSBConnectionController;

// A controller's timers.
struct VLUSBConnectionTiming {
    std::chrono::milliseconds retryDelay{1000};
    std::chrono::milliseconds handshakeTimeout{5000};  // also bounds an unanswered Connect
    std::chrono::milliseconds heartbeatInterval{10000};
    std::chrono::milliseconds heartbeatTimeout{5000};
};

// What a controller needs from its owner (the USB service).
class VLUSBConnectionHosting {
public:
    virtual ~VLUSBConnectionHosting() = default;
    virtual bool isCurrent(const VLUSBConnectionController& controller) const = 0;
    virtual void deviceDidConnect(VLUSBConnectionController& controller, const VLUSBDeviceInfo& info) = 0;
    virtual void sessionDidDisconnect(VLUSBSession& session, const std::shared_ptr<VLUSBDevice>& device,
                                      bool logDisconnect) = 0;
    virtual void midiReceived(const VLUSBInboundMIDI& message) = 0;
    // The daemon answered a Connect with "unknown device": it no longer knows
    // the device (its "Detached" was lost, e.g. while the daemon restarted).
    virtual void deviceUnknownToDaemon(VLUSBConnectionController& controller) = 0;
    // A ping was answered: the session's round trip changed.
    virtual void pingAnswered(VLUSBConnectionController& /*controller*/) {}
};

// Drives one device's session: connect a framed channel to the controller app,
// wait for its device info, exchange MIDI, check liveness with ping/pong and
// retry after every failure until stopped. Its timers run on the main queue
// and are cancelled when it goes. Engine thread only.
class VLUSBConnectionController : public std::enable_shared_from_this<VLUSBConnectionController> {
public:
    using Timing = VLUSBConnectionTiming;

    static std::shared_ptr<VLUSBConnectionController> create(std::shared_ptr<VLUSBSession> session,
                                                             VLUSBTransport& transport, MainQueue& queue,
                                                             LogStore& log, VLUSBConnectionHosting* host,
                                                             Timing timing = {});
    ~VLUSBConnectionController();
    VLUSBConnectionController(const VLUSBConnectionController&) = delete;
    VLUSBConnectionController& operator=(const VLUSBConnectionController&) = delete;

    void connect();
    void stop(bool logDisconnect);
    // An outbound MIDI send on `channel` failed: the connection goes down and retries.
    void outboundSendFailed(const VLUSBChannelIdentifier& channel, const PTError& error);

    VLUSBSession& session() const { return *session_; }
    const std::shared_ptr<VLUSBSession>& sessionPointer() const { return session_; }
    // Clears the host before the owner goes away.
    void detachHost() { host_ = nullptr; }

private:
    VLUSBConnectionController(std::shared_ptr<VLUSBSession> session, VLUSBTransport& transport,
                              MainQueue& queue, LogStore& log, VLUSBConnectionHosting* host, Timing timing);
    bool hostCallsCurrent() const;
    bool isCurrentChannel(const VLUSBChannelIdentifier& channel) const;
    bool attemptMatches(const std::string& attempt) const;
    void log(const std::string& line) const;
    void cancelTimers();
    void handshakeTimedOut(const std::string& attempt, VLUSBSession::State during, const char* line);
    void closeChannel(const VLUSBChannelIdentifier& channel);
    void scheduleRetry();
    void startHeartbeat();
    void sendPing(const std::string& attempt);
    void failConnection(const std::string& attempt, const std::optional<std::string>& line);

    void handleConnectionCompletion(const std::string& attempt, const VLUSBChannelIdentifier& channel,
                                    const PTOptionalError& error);
    void handleFrame(const VLUSBChannelIdentifier& channel, std::uint32_t type, std::uint32_t tag,
                     std::span<const std::uint8_t> payload);
    void handleChannelEnd(const VLUSBChannelIdentifier& channel, const PTOptionalError& error);
    void handlePingSendCompletion(const std::string& attempt, const VLUSBChannelIdentifier& channel,
                                  std::uint32_t tag, const PTOptionalError& error);

    std::shared_ptr<VLUSBSession> session_;
    VLUSBTransport& transport_;
    MainQueue& queue_;
    LogStore& log_;
    VLUSBConnectionHosting* host_;
    Timing timing_;
};

}  // namespace velorin
