// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/MainQueue.hpp"
#include "usb/channel/PTError.hpp"
#include "usb/channel/PTPropertyList.hpp"
#include "usb/channel/PTSocketWriter.hpp"

namespace velorin {

// usbmuxd packet: size, protocol 1 (property list), type 8 (property-list
// message), tag, then an XML property list. Integers in host (little-endian) order.
inline constexpr std::uint32_t kUSBMuxPacketProtocolPlist = 1;
inline constexpr std::uint32_t kUSBMuxPacketTypePlistPayload = 8;
inline constexpr std::size_t kUSBMuxPacketHeaderSize = 16;
// Larger packets fail the connection instead of being allocated.
inline constexpr std::uint32_t kUSBMuxMaxPacketSize = 4u * 1024u * 1024u;

inline constexpr const char* PTUSBDeviceDidAttachNotification = "PTUSBDeviceDidAttachNotification";
inline constexpr const char* PTUSBDeviceDidDetachNotification = "PTUSBDeviceDidDetachNotification";

// The daemon's socket: the path of USBMUXD_SOCKET_ADDRESS=UNIX:/path when set,
// else "/var/run/usbmuxd".
std::string PTUSBMuxSocketPath();

// "ProgName" and "ClientVersionString" sent with every request; set once at start-up.
struct PTUSBClientIdentity {
    std::optional<std::string> progName;
    std::optional<std::string> clientVersion;
};
void PTUSBSetClientIdentity(PTUSBClientIdentity identity);
PTUSBClientIdentity PTUSBGetClientIdentity();

// Builds a usbmuxd packet around an XML property-list payload.
std::vector<std::uint8_t> PTUSBEncodePacket(std::uint32_t tag, std::span<const std::uint8_t> payload,
                                            std::uint32_t protocol = kUSBMuxPacketProtocolPlist,
                                            std::uint32_t type = kUSBMuxPacketTypePlistPayload);

// Reads usbmuxd packets from a stream fed in pieces. `wanted()` says how many
// bytes complete the current step, so a caller can read exactly up to the end
// of a packet and never past it (after a "Connect" reply the rest of the
// stream belongs to the device).
class PTUSBPacketReader {
public:
    struct Packet {
        std::uint32_t tag = 0;
        std::optional<PTPlist> dictionary;  // none for a bare 16-byte packet or on error
        PTOptionalError error;              // a malformed packet (the stream stays usable)
    };
    enum class Status { needMore, packet, fatal };

    std::size_t wanted() const;
    // Consumes bytes; returns `packet` with `packet()` filled, `fatal` when the
    // stream cannot be read further (`fatalError()`), or `needMore`.
    Status feed(std::span<const std::uint8_t>& input);
    const Packet& packet() const { return packet_; }
    const PTError& fatalError() const { return fatal_; }

private:
    std::uint8_t sizeBytes_[4] = {};
    std::size_t sizeFill_ = 0;
    std::uint32_t size_ = 0;
    std::vector<std::uint8_t> body_;
    std::size_t bodyFill_ = 0;
    Packet packet_;
    PTError fatal_;
    bool failed_ = false;
};

// The description of a usbmuxd result "Number".
PTOptionalError PTUSBErrorFromPlistResponse(const std::optional<PTPlist>& response, PTOptionalError error);

// One packet connection to usbmuxd.
class PTUSBChannel : public std::enable_shared_from_this<PTUSBChannel> {
public:
    using EndHandler = std::function<void(PTOptionalError)>;
    using ReplyHandler = std::function<void(PTOptionalError, std::optional<PTPlist>)>;
    using BroadcastHandler = std::function<void(const PTPlist&)>;

    static std::shared_ptr<PTUSBChannel> create(MainQueue& queue, std::string socketPath);
    ~PTUSBChannel();

    // Connects to the daemon. onEnd is called when the connection finally closes.
    PTOptionalError open(EndHandler onEnd);
    void sendRequest(PTPlist dictionary, ReplyHandler callback);
    void listen(BroadcastHandler broadcastHandler, std::function<void(PTOptionalError)> callback);
    // Closes after pending writes (cancel) or at once (stop); onEnd reports it.
    void cancel();
    void stop();
    // Hands the socket over (after a successful "Connect"); the channel is finished.
    int releaseFileDescriptor();
    int fileDescriptor() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

    static PTPlist packetDictionary(const std::string& messageType, const PTPlist* payload);

private:
    PTUSBChannel(MainQueue& queue, std::string socketPath)
        : queue_(queue), socketPath_(std::move(socketPath)) {}
    void scheduleReadPacket();
    void onReadable();
    void dispatchPacket(const PTUSBPacketReader::Packet& packet);
    void finish(PTOptionalError error);

    int fd_ = -1;  // channel_
    MainQueue& queue_;
    std::string socketPath_;
    std::uint32_t nextPacketTag_ = 0;
    std::map<std::uint32_t, ReplyHandler> responseQueue_;
    bool autoReadPackets_ = false;
    bool isReadingPackets_ = false;
    BroadcastHandler broadcastHandler_;
    PTUSBPacketReader reader_;
    std::unique_ptr<PTSocketWriter> writer_;
    TaskHandle readWatch_;
    EndHandler onEnd_;
};

// The usbmuxd client: a listening connection for attach/detach broadcasts and
// connections that become tunnels to a device port.
class PTUSBHub : public std::enable_shared_from_this<PTUSBHub> {
public:
    using StartHandler = std::function<void(PTOptionalError)>;
    using EndHandler = std::function<void(PTOptionalError)>;
    using ConnectHandler = std::function<void(PTOptionalError, int fd)>;
    // Broadcasts, with the whole broadcast dictionary (the notifications of this hub).
    using NotificationHandler = std::function<void(const std::string& name, const PTPlist& userInfo)>;

    static std::shared_ptr<PTUSBHub> create(MainQueue& queue, std::string socketPath = PTUSBMuxSocketPath());
    ~PTUSBHub();

    void listen(StartHandler onStart, EndHandler onEnd);
    void stopListening();
    // On success the handler receives the tunnel's socket, which it then owns.
    void connectToDevice(std::uint32_t deviceID, std::uint16_t port, ConnectHandler onStart);
    void setNotificationHandler(NotificationHandler handler) { notificationHandler_ = std::move(handler); }
    bool isListening() const { return channel_ != nullptr; }
    const std::string& socketPath() const { return socketPath_; }

private:
    PTUSBHub(MainQueue& queue, std::string socketPath) : queue_(queue), socketPath_(std::move(socketPath)) {}
    void handleBroadcastPacket(const PTPlist& packet);

    std::shared_ptr<PTUSBChannel> channel_;
    MainQueue& queue_;
    std::string socketPath_;
    NotificationHandler notificationHandler_;
};

// The host's 16-bit port in network byte order, as "PortNumber" carries it.
constexpr std::uint16_t PTUSBPortNumberInNetworkOrder(std::uint16_t port) {
    return static_cast<std::uint16_t>(((port & 0xFFu) << 8) | (port >> 8));
}

}  // namespace velorin
