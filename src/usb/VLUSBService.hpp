// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/MainQueue.hpp"
#include "core/Observable.hpp"
#include "usb/VLUSBConnectionController.hpp"
#include "usb/VLUSBDevice.hpp"
#include "usb/VLUSBEndpointNames.hpp"
#include "usb/VLUSBProcessLock.hpp"
#include "usb/VLUSBProtocol.hpp"
#include "usb/VLUSBStatusSnapshot.hpp"
#include "usb/channel/VLUSBTransport.hpp"

namespace velorin {

class LogStore;

struct VLUSBServiceError {
    enum class Kind { deviceUnavailable };
    Kind kind = Kind::deviceUnavailable;
    std::string deviceKey;
    friend bool operator==(const VLUSBServiceError&, const VLUSBServiceError&) = default;
};
using VLUSBSendError = std::variant<VLUSBServiceError, VLUSBProtocolError>;
std::string VLUSBSendErrorDescription(const VLUSBSendError& error);

// The service's timers: the lease retry and those of every device's controller.
struct VLUSBServiceTiming {
    VLUSBConnectionTiming connection;  // handed to every device's controller
    std::chrono::milliseconds leaseRetryDelay{2000};
};

// The USB transport as the MIDI engine sees it: the per-user lease, device
// observation, one session and controller per attached device, the device list
// keyed by name, outbound MIDI to the right session and inbound MIDI to the
// engine. Its timers run on the main queue and every line goes to the log
// store; nothing it started runs once it is destroyed. Engine thread only.
class VLUSBService final : public Observable, public VLUSBConnectionHosting {
public:
    using Timing = VLUSBServiceTiming;
    using MIDIHandler = std::function<void(const VLUSBInboundMIDI&)>;
    using DevicesHandler = std::function<void(const VLUSBDeviceList&)>;
    using SendCompletion = std::function<void(PTOptionalError)>;

    VLUSBService(MainQueue& queue, LogStore& log, std::unique_ptr<VLUSBTransport> transport,
                 std::unique_ptr<VLUSBProcessLocking> processLock, Timing timing = {});
    // The production wiring: the usbmuxd bridge, the lock file under the user's
    // data folder and every line into the log store.
    static std::unique_ptr<VLUSBService> create(MainQueue& queue, LogStore& logStore,
                                                std::filesystem::path lockFile,
                                                std::string usbmuxdSocketPath = {}, Timing timing = {});
    ~VLUSBService() override;
    VLUSBService(const VLUSBService&) = delete;
    VLUSBService& operator=(const VLUSBService&) = delete;

    void start();
    void stop();
    // Sends one MIDI message as a type 101 frame with tag 0. Fails at once with
    // `deviceUnavailable` or an encoding error; otherwise the completion (if
    // any) receives the send result.
    std::optional<VLUSBSendError> send(std::uint16_t portIndex, std::uint64_t timestamp,
                                       std::span<const std::uint8_t> bytes, const std::string& deviceKey,
                                       SendCompletion completion = nullptr);

    MIDIHandler midiHandler;
    DevicesHandler devicesHandler;

    // How long a stop may wait for queued frames to be written, in all.
    static constexpr std::chrono::milliseconds kStopFlushBudget{500};
    // Disconnected devices remembered at most; the oldest go first.
    static constexpr std::size_t kMaxRememberedDisconnectedDevices = 64;

    const Timing& timing() const { return timing_; }
    bool isRunning() const { return _isRunning; }
    bool isObserving() const { return _isObserving; }
    bool holdsLease() const { return _holdsLease; }
    bool isWaitingForLease() const { return _isWaitingForLease; }
    const VLUSBDeviceList& devices() const { return _devices; }
    const std::map<std::uint32_t, std::shared_ptr<VLUSBConnectionController>>& connections() const {
        return _connections;
    }
    const std::vector<std::uint32_t>* outboundOrder(const std::string& key) const;
    // "VL USB in Use by Another Server", or "<n> VL USB Device(s)".
    std::string statusTitle() const;
    // How long the last answered ping of the session that serves `deviceKey`
    // took; none before its first pong or without such a session.
    std::optional<MainQueue::Duration> lastPingRoundTrip(const std::string& deviceKey) const;
    // The title and the connected devices with their pings, as the window shows them.
    VLUSBStatusSnapshot statusSnapshot() const;
    VLUSBTransport& transport() { return *transport_; }

    // VLUSBConnectionHosting
    bool isCurrent(const VLUSBConnectionController& controller) const override;
    void deviceDidConnect(VLUSBConnectionController& controller, const VLUSBDeviceInfo& info) override;
    void sessionDidDisconnect(VLUSBSession& session, const std::shared_ptr<VLUSBDevice>& device,
                              bool logDisconnect) override;
    void midiReceived(const VLUSBInboundMIDI& message) override;
    void deviceUnknownToDaemon(VLUSBConnectionController& controller) override;
    void pingAnswered(VLUSBConnectionController& controller) override;

private:
    void forgetOldestDisconnectedDevices();
    void leaseStep();
    void scheduleLeaseRetry();
    void startObservation();
    void stopObservation();
    void releaseLease();
    void deviceAttached(std::uint32_t deviceNumber, const PTPlist& properties);
    void deviceDetached(std::uint32_t deviceNumber);
    void addOutbound(const std::string& key, std::uint32_t number);
    void removeOutbound(const std::string& key, std::uint32_t number);
    std::shared_ptr<VLUSBConnectionController> preferredController(const std::string& key) const;
    void updatePreferredSession(const std::shared_ptr<VLUSBDevice>& device);
    void publishDevices();
    void log(const std::string& line) const;

    MainQueue& queue_;
    LogStore& log_;
    std::unique_ptr<VLUSBTransport> transport_;
    std::unique_ptr<VLUSBProcessLocking> processLock_;
    Timing timing_;
    std::map<std::uint32_t, std::shared_ptr<VLUSBConnectionController>> _connections;
    std::map<std::string, std::vector<std::uint32_t>> _outboundOrderByDeviceKey;
    bool _isRunning = false;
    bool _isObserving = false;
    bool _holdsLease = false;
    TaskHandle _leaseRetry;
    VLUSBDeviceList _devices;
    bool _isWaitingForLease = false;
};

}  // namespace velorin
