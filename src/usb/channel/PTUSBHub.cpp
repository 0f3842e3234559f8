// SPDX-License-Identifier: GPL-3.0-or-later
#include "usb/channel/PTUSBHub.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace velorin {
namespace {

std::mutex& identityMutex() {
    static std::mutex m;
    return m;
}
PTUSBClientIdentity& identityStorage() {
    static PTUSBClientIdentity identity;
    return identity;
}

void putLE32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}
std::uint32_t getLE32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

}  // namespace

void PTSystemLog(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
}

std::string PTUSBMuxSocketPath() {
    if (const char* env = std::getenv("USBMUXD_SOCKET_ADDRESS")) {
        const std::string value = env;
        if (value.rfind("UNIX:", 0) == 0 && value.size() > 5) return value.substr(5);
    }
    return "/var/run/usbmuxd";
}

void PTUSBSetClientIdentity(PTUSBClientIdentity identity) {
    std::lock_guard lock(identityMutex());
    identityStorage() = std::move(identity);
}

PTUSBClientIdentity PTUSBGetClientIdentity() {
    std::lock_guard lock(identityMutex());
    return identityStorage();
}

std::vector<std::uint8_t> PTUSBEncodePacket(std::uint32_t tag, std::span<const std::uint8_t> payload,
                                            std::uint32_t protocol, std::uint32_t type) {
    std::vector<std::uint8_t> out(kUSBMuxPacketHeaderSize + payload.size());
    putLE32(out.data(), static_cast<std::uint32_t>(out.size()));
    putLE32(out.data() + 4, protocol);
    putLE32(out.data() + 8, type);
    putLE32(out.data() + 12, tag);
    std::copy(payload.begin(), payload.end(), out.begin() + kUSBMuxPacketHeaderSize);
    return out;
}

std::size_t PTUSBPacketReader::wanted() const {
    if (failed_) return 0;
    if (sizeFill_ < 4) return 4 - sizeFill_;
    return body_.size() - bodyFill_;
}

PTUSBPacketReader::Status PTUSBPacketReader::feed(std::span<const std::uint8_t>& input) {
    if (failed_) return Status::fatal;
    while (!input.empty()) {
        if (sizeFill_ < 4) {
            const std::size_t take = std::min(input.size(), 4 - sizeFill_);
            std::memcpy(sizeBytes_ + sizeFill_, input.data(), take);
            sizeFill_ += take;
            input = input.subspan(take);
            if (sizeFill_ < 4) return Status::needMore;
            size_ = getLE32(sizeBytes_);
            if (size_ < kUSBMuxPacketHeaderSize) {
                failed_ = true;
                fatal_ = PTError::hub(0, "Malformed packet size");
                return Status::fatal;
            }
            if (size_ > kUSBMuxMaxPacketSize) {
                failed_ = true;
                fatal_ = PTError::hub(0, "Packet larger than 4 MiB");
                return Status::fatal;
            }
            body_.assign(size_ - 4, 0);
            bodyFill_ = 0;
        }
        const std::size_t take = std::min(input.size(), body_.size() - bodyFill_);
        std::memcpy(body_.data() + bodyFill_, input.data(), take);
        bodyFill_ += take;
        input = input.subspan(take);
        if (bodyFill_ < body_.size()) return Status::needMore;

        // A whole packet: protocol, type, tag, payload.
        sizeFill_ = 0;
        packet_ = Packet{};
        const std::uint32_t protocol = getLE32(body_.data());
        const std::uint32_t type = getLE32(body_.data() + 4);
        packet_.tag = getLE32(body_.data() + 8);
        if (protocol != kUSBMuxPacketProtocolPlist) {
            packet_.error = PTError::hub(0, "Unexpected package protocol");
        } else if (type != kUSBMuxPacketTypePlistPayload) {
            packet_.error = PTError::hub(0, "Unexpected package type");
        } else if (body_.size() > 12) {
            auto parsed = PTPlistParse(std::span<const std::uint8_t>(body_).subspan(12));
            if (parsed && parsed->isDictionary()) {
                packet_.dictionary = std::move(parsed);
            } else {
                packet_.error = PTError::hub(0, "Malformed property list");
            }
        }
        body_.clear();
        body_.shrink_to_fit();
        return Status::packet;
    }
    return Status::needMore;
}

PTOptionalError PTUSBErrorFromPlistResponse(const std::optional<PTPlist>& response, PTOptionalError error) {
    if (error) return error;
    const PTPlist* number = response ? response->find("Number") : nullptr;
    if (!number || !number->integerValue()) return PTError::hub(0, "");
    const std::int64_t n = *number->integerValue();
    if (n == 0) return std::nullopt;
    const int code = static_cast<int>(std::clamp<std::int64_t>(n, INT32_MIN, INT32_MAX));
    switch (n) {
        case 1:
            return PTError::hub(code, "illegal command");
        case 2:
            return PTError::hub(code, "unknown device");
        case 3:
            return PTError::hub(code, "connection refused");
        case 6:
            return PTError::hub(code, "invalid version");
        default:
            return PTError::hub(code, "Unspecified error");
    }
}

// ---- PTUSBChannel

std::shared_ptr<PTUSBChannel> PTUSBChannel::create(MainQueue& queue, std::string socketPath) {
    return std::shared_ptr<PTUSBChannel>(new PTUSBChannel(queue, std::move(socketPath)));
}

PTUSBChannel::~PTUSBChannel() {
    readWatch_.cancel();
    writer_.reset();
    if (fd_ >= 0) ::close(fd_);
}

PTOptionalError PTUSBChannel::open(EndHandler onEnd) {
    if (fd_ >= 0) return PTError::posix(EPERM);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath_.size() >= sizeof(addr.sun_path)) return PTError::posix(ENAMETOOLONG);
    std::memcpy(addr.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
    // Non-blocking from the start: a daemon with a full backlog must not stall
    // the engine thread (the connect then fails with EAGAIN and is retried).
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return PTError::posix(errno);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        const int e = errno;
        ::close(fd);
        return PTError::posix(e);
    }
    fd_ = fd;
    onEnd_ = std::move(onEnd);
    writer_ = std::make_unique<PTSocketWriter>(queue_, fd_);
    return std::nullopt;
}

PTPlist PTUSBChannel::packetDictionary(const std::string& messageType, const PTPlist* payload) {
    PTPlist dict = PTPlist::makeDictionary();
    dict.set("MessageType", PTPlist::makeString(messageType));
    const auto identity = PTUSBGetClientIdentity();
    if (identity.progName) {
        dict.set("ProgName", PTPlist::makeString(*identity.progName));
        dict.set("ClientVersionString", PTPlist::makeString(identity.clientVersion.value_or("")));
    }
    if (payload && payload->isDictionary()) {
        for (const auto& e : payload->dictionary) dict.set(e.key, e.value);
    }
    return dict;
}

void PTUSBChannel::sendRequest(PTPlist dictionary, ReplyHandler callback) {
    if (fd_ < 0 || !writer_) {
        queue_.post([callback = std::move(callback)] {
            if (callback) callback(PTError::posix(ENOTCONN), std::nullopt);
        });
        return;
    }
    const std::uint32_t tag = ++nextPacketTag_ == 0 ? ++nextPacketTag_ : nextPacketTag_;
    const std::string xml = PTPlistToXML(dictionary);
    auto packet =
        PTUSBEncodePacket(tag, std::span(reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size()));
    responseQueue_[tag] = std::move(callback);
    std::weak_ptr<PTUSBChannel> weak = weak_from_this();
    writer_->write(std::move(packet), [weak, tag](PTOptionalError error) {
        if (!error) return;
        auto self = weak.lock();
        if (!self) return;
        auto it = self->responseQueue_.find(tag);
        if (it == self->responseQueue_.end()) return;
        auto handler = std::move(it->second);
        self->responseQueue_.erase(it);
        if (handler) handler(error, std::nullopt);
    });
    scheduleReadPacket();
}

void PTUSBChannel::listen(BroadcastHandler broadcastHandler, std::function<void(PTOptionalError)> callback) {
    autoReadPackets_ = true;
    broadcastHandler_ = std::move(broadcastHandler);
    scheduleReadPacket();
    PTPlist request = packetDictionary("Listen", nullptr);
    sendRequest(std::move(request),
                [callback = std::move(callback)](PTOptionalError error, std::optional<PTPlist> reply) {
                    if (callback) callback(PTUSBErrorFromPlistResponse(reply, std::move(error)));
                });
}

void PTUSBChannel::scheduleReadPacket() {
    if (isReadingPackets_ || fd_ < 0) return;
    isReadingPackets_ = true;
    readWatch_ = queue_.watch(fd_, IoEvents::readable, [this](IoEvents) { onReadable(); });
}

void PTUSBChannel::onReadable() {
    auto self = shared_from_this();
    // Filled by recv before any byte is read; clearing it on every wake-up would be wasted work.
    std::array<std::uint8_t, 16384> buffer;  // NOLINT(cppcoreguidelines-pro-type-member-init)
    for (int round = 0; round < 64 && fd_ >= 0 && isReadingPackets_; ++round) {
        // Never read past the current packet: after a "Connect" reply the
        // following bytes belong to the device.
        const std::size_t want = std::min(reader_.wanted(), buffer.size());
        if (want == 0) return;
        const ssize_t n = ::recv(fd_, buffer.data(), want, 0);
        if (n == 0) {
            finish(std::nullopt);
            return;
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            isReadingPackets_ = false;
            finish(PTError::posix(errno));
            return;
        }
        std::span<const std::uint8_t> input(buffer.data(), static_cast<std::size_t>(n));
        const auto status = reader_.feed(input);
        if (status == PTUSBPacketReader::Status::fatal) {
            PTSystemLog("usbmuxd connection failed: " + reader_.fatalError().describe());
            finish(reader_.fatalError());
            return;
        }
        if (status == PTUSBPacketReader::Status::packet) {
            const auto packet = reader_.packet();
            if (!autoReadPackets_ && responseQueue_.size() <= 1) {
                // This packet answers the last request: stop reading before the
                // reply is handled, so the stream can be handed over untouched.
                isReadingPackets_ = false;
                readWatch_.cancel();
            }
            dispatchPacket(packet);
        }
    }
}

void PTUSBChannel::dispatchPacket(const PTUSBPacketReader::Packet& packet) {
    if (packet.tag == 0) {
        // A broadcast is no answer: a request-only connection keeps reading
        // for the reply it still waits for.
        if (!autoReadPackets_ && !responseQueue_.empty()) scheduleReadPacket();
        // A broadcast without a readable dictionary reaches the handler as a
        // non-dictionary value, which it reports as unhandled.
        if (broadcastHandler_) broadcastHandler_(packet.dictionary ? *packet.dictionary : PTPlist{});
        return;
    }
    auto it = responseQueue_.find(packet.tag);
    if (it == responseQueue_.end()) {
        PTSystemLog("Warning: Ignoring reply packet for which there is no registered callback. Packet => " +
                    (packet.dictionary ? PTPlistDescription(*packet.dictionary) : std::string("(null)")));
        if (!autoReadPackets_ && !responseQueue_.empty()) scheduleReadPacket();
        return;
    }
    auto handler = std::move(it->second);
    responseQueue_.erase(it);
    if (!autoReadPackets_ && !responseQueue_.empty()) scheduleReadPacket();
    if (handler) handler(packet.error, packet.dictionary);
}

void PTUSBChannel::finish(PTOptionalError error) {
    if (fd_ < 0) return;
    readWatch_.cancel();
    isReadingPackets_ = false;
    if (writer_) writer_->discard();
    writer_.reset();
    ::close(fd_);
    fd_ = -1;
    // Requests still waiting for a reply fail with the reason the connection ended.
    auto pending = std::move(responseQueue_);
    responseQueue_.clear();
    const PTError replyError = error ? *error : PTError::posix(ECONNRESET);
    for (auto& [tag, handler] : pending) {
        if (handler)
            queue_.post([handler = std::move(handler), replyError] { handler(replyError, std::nullopt); });
    }
    broadcastHandler_ = nullptr;
    if (auto onEnd = std::move(onEnd_)) {
        onEnd_ = nullptr;
        queue_.post([onEnd = std::move(onEnd), error = std::move(error)] { onEnd(error); });
    }
}

void PTUSBChannel::cancel() {
    if (fd_ < 0) return;
    readWatch_.cancel();
    isReadingPackets_ = false;
    if (!writer_ || writer_->isEmpty()) {
        finish(std::nullopt);
        return;
    }
    std::weak_ptr<PTUSBChannel> weak = weak_from_this();
    writer_->setDrainedHandler([weak] {
        if (auto self = weak.lock()) self->finish(std::nullopt);
    });
}

void PTUSBChannel::stop() {
    finish(std::nullopt);
}

int PTUSBChannel::releaseFileDescriptor() {
    readWatch_.cancel();
    isReadingPackets_ = false;
    writer_.reset();
    responseQueue_.clear();
    broadcastHandler_ = nullptr;
    onEnd_ = nullptr;
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

// ---- PTUSBHub

std::shared_ptr<PTUSBHub> PTUSBHub::create(MainQueue& queue, std::string socketPath) {
    return std::shared_ptr<PTUSBHub>(new PTUSBHub(queue, std::move(socketPath)));
}

PTUSBHub::~PTUSBHub() {
    stopListening();
}

void PTUSBHub::listen(StartHandler onStart, EndHandler onEnd) {
    if (channel_) {
        queue_.post([onStart = std::move(onStart)] {
            if (onStart) onStart(std::nullopt);
        });
        return;
    }
    auto channel = PTUSBChannel::create(queue_, socketPath_);
    if (auto error = channel->open(std::move(onEnd))) {
        queue_.post([onStart = std::move(onStart), error = *error] {
            if (onStart) onStart(error);
        });
        return;
    }
    channel_ = channel;
    std::weak_ptr<PTUSBHub> weak = weak_from_this();
    channel->listen(
        [weak](const PTPlist& packet) {
            if (auto self = weak.lock()) self->handleBroadcastPacket(packet);
        },
        [onStart = std::move(onStart)](PTOptionalError error) {
            if (onStart) onStart(std::move(error));
        });
}

void PTUSBHub::stopListening() {
    if (auto channel = std::move(channel_)) {
        channel_.reset();
        channel->stop();
    }
}

void PTUSBHub::connectToDevice(std::uint32_t deviceID, std::uint16_t port, ConnectHandler onStart) {
    auto channel = PTUSBChannel::create(queue_, socketPath_);
    if (auto error = channel->open(nullptr)) {
        queue_.post([onStart = std::move(onStart), error = *error] {
            if (onStart) onStart(error, -1);
        });
        return;
    }
    PTPlist payload = PTPlist::makeDictionary();
    payload.set("DeviceID", PTPlist::makeInteger(deviceID));
    payload.set("PortNumber", PTPlist::makeInteger(PTUSBPortNumberInNetworkOrder(port)));
    auto request = PTUSBChannel::packetDictionary("Connect", &payload);
    channel->sendRequest(std::move(request), [channel, onStart = std::move(onStart)](
                                                 PTOptionalError error, std::optional<PTPlist> reply) {
        if (auto failure = PTUSBErrorFromPlistResponse(reply, std::move(error))) {
            channel->stop();
            if (onStart) onStart(failure, -1);
            return;
        }
        const int fd = channel->releaseFileDescriptor();
        if (onStart) onStart(std::nullopt, fd);
    });
}

void PTUSBHub::handleBroadcastPacket(const PTPlist& packet) {
    const PTPlist* type = packet.find("MessageType");
    const std::string* name = type ? type->stringValue() : nullptr;
    if (name && *name == "Attached") {
        if (notificationHandler_) notificationHandler_(PTUSBDeviceDidAttachNotification, packet);
    } else if (name && *name == "Detached") {
        if (notificationHandler_) notificationHandler_(PTUSBDeviceDidDetachNotification, packet);
    } else {
        PTSystemLog("Warning: Unhandled broadcast message: " +
                    (packet.isDictionary() ? PTPlistDescription(packet) : std::string("(null)")));
    }
}

}  // namespace velorin
