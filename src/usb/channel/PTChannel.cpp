// SPDX-License-Identifier: GPL-3.0-or-later
#include "usb/channel/PTChannel.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>

#include "usb/channel/PTUSBHub.hpp"

namespace velorin {

std::string PTData::description() const {
    std::array<char, 96> buf{};
    std::snprintf(buf.data(), buf.size(), "<PTData: %p (%zu bytes)>", static_cast<const void*>(this),
                  data_.size());
    return buf.data();
}

std::shared_ptr<PTChannel> PTChannel::create(std::shared_ptr<PTProtocol> protocol,
                                             PTChannelDelegate* delegate) {
    return std::shared_ptr<PTChannel>(new PTChannel(std::move(protocol), delegate));
}

PTChannel::PTChannel(std::shared_ptr<PTProtocol> protocol, PTChannelDelegate* delegate)
    : delegate_(delegate), protocol_(std::move(protocol)) {}

PTChannel::~PTChannel() {
    readWatch_.cancel();
    writer_.reset();
    if (fd_ >= 0) ::close(fd_);
}

void PTChannel::connectToPort(std::uint16_t port, PTUSBHub& hub, std::uint32_t deviceID, Callback callback) {
    if (connState_ != ConnState::none) {
        queue().post([callback = std::move(callback)] {
            if (callback) callback(PTError::posix(EPERM));
        });
        return;
    }
    connState_ = ConnState::connecting;
    std::weak_ptr<PTChannel> weak = weak_from_this();
    hub.connectToDevice(deviceID, port,
                        [weak, callback = std::move(callback)](PTOptionalError error, int fd) {
                            auto self = weak.lock();
                            if (!self) {
                                if (fd >= 0) ::close(fd);
                                return;
                            }
                            if (error || fd < 0 || self->connState_ != ConnState::connecting) {
                                if (fd >= 0) ::close(fd);
                                if (self->connState_ == ConnState::connecting)
                                    self->connState_ = ConnState::none;
                                if (callback)
                                    callback(error ? error : PTOptionalError(PTError::posix(ECANCELED)));
                                return;
                            }
                            if (auto startError = self->startReadingFromConnectedChannel(fd)) {
                                self->connState_ = ConnState::none;
                                if (callback) callback(startError);
                                return;
                            }
                            if (callback) callback(std::nullopt);
                        });
}

PTOptionalError PTChannel::startReadingFromConnectedChannel(int fd) {
    if (connState_ == ConnState::listening) {
        ::close(fd);
        return PTError::posix(EPERM);
    }
    if (fd_ >= 0 && fd_ != fd) dropStream();
    if (!PTMakeNonBlocking(fd)) {
        const int e = errno;
        ::close(fd);
        return PTError::posix(e);
    }
    fd_ = fd;
    ++streamGeneration_;
    reader_ = PTFrameReader();
    writer_ = std::make_unique<PTSocketWriter>(queue(), fd_);
    connState_ = ConnState::connected;
    readWatch_ = queue().watch(fd_, IoEvents::readable, [this](IoEvents) { onReadable(); });
    return std::nullopt;
}

void PTChannel::sendFrame(std::uint32_t type, std::uint32_t tag, std::span<const std::uint8_t> payload,
                          Callback callback) {
    if (!isConnected() || !writer_) {
        queue().post([callback = std::move(callback)] {
            if (callback) callback(PTError::posix(EPERM));
        });
        return;
    }
    writer_->write(PTCreateFrame(type, tag, payload), std::move(callback));
}

void PTChannel::onReadable() {
    auto self = shared_from_this();  // the delegate may drop its last reference while we run
    // Filled by recv before any byte is read; clearing it on every wake-up would be wasted work.
    std::array<std::uint8_t, kPTDiscardChunkSize> buffer;  // NOLINT(cppcoreguidelines-pro-type-member-init)
    // Bounded work per wake-up so one busy device cannot starve the rest of the queue.
    for (int round = 0; round < 16 && fd_ >= 0; ++round) {
        const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
        if (n > 0) {
            std::span<const std::uint8_t> input(buffer.data(), static_cast<std::size_t>(n));
            if (!drain(input)) return;
            continue;
        }
        if (n == 0) {
            handleEvent(reader_.finish());
            return;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        endWithError(PTError::posix(errno));
        return;
    }
}

bool PTChannel::drain(std::span<const std::uint8_t>& input) {
    const auto generation = streamGeneration_;
    for (;;) {
        auto event = reader_.next(input);
        if (event.kind == PTFrameReader::EventKind::needMore) return true;
        if (!handleEvent(event)) return false;
        if (fd_ < 0 || generation != streamGeneration_) return false;
    }
}

bool PTChannel::handleEvent(const PTFrameReader::Event& event) {
    using Kind = PTFrameReader::EventKind;
    switch (event.kind) {
        case Kind::needMore:
            return true;
        case Kind::error:
            endWithError(event.error);
            return false;
        case Kind::end:
            endWithError(std::nullopt);
            return false;
        case Kind::header: {
            const auto generation = streamGeneration_;
            bool accepted = delegate_ != nullptr;
            if (accepted) {
                accepted = delegate_->ioFrameChannelShouldAcceptFrame(*this, event.type, event.tag,
                                                                      event.payloadSize);
            }
            if (fd_ < 0 || generation != streamGeneration_) return false;
            return handleEvent(reader_.decide(accepted));
        }
        case Kind::frame: {
            if (!delegate_) return true;
            if (event.payloadSize == 0) {
                delegate_->ioFrameChannelDidReceiveFrame(*this, event.type, event.tag, nullptr);
            } else {
                PTData data(event.payload);
                delegate_->ioFrameChannelDidReceiveFrame(*this, event.type, event.tag, &data);
            }
            return true;
        }
    }
    return true;
}

void PTChannel::endWithError(PTOptionalError error) {
    if (error) {
        endError_ = std::move(error);
        close();
    } else {
        cancel();
    }
}

void PTChannel::dropStream() {
    readWatch_.cancel();
    if (writer_) writer_->discard();
    writer_.reset();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    ++streamGeneration_;
}

void PTChannel::flushPendingWrites(MainQueue::TimePoint deadline) {
    if (writer_) writer_->flushUntil(deadline);
}

void PTChannel::close() {
    if (fd_ < 0) {
        // Closing while connecting: a tunnel that arrives later is closed at once.
        connState_ = ConnState::none;
        return;
    }
    dropStream();
    connState_ = ConnState::none;
    // The end is reported asynchronously, as a stream's cleanup would be.
    auto error = std::move(endError_);
    endError_.reset();
    std::weak_ptr<PTChannel> weak = weak_from_this();
    queue().post([weak, error = std::move(error)] {
        auto self = weak.lock();
        if (self && self->delegate_) self->delegate_->ioFrameChannelDidEnd(*self, error);
    });
}

void PTChannel::cancel() {
    if (fd_ < 0) {
        close();
        return;
    }
    readWatch_.cancel();
    if (!writer_ || writer_->isEmpty()) {
        close();
        return;
    }
    std::weak_ptr<PTChannel> weak = weak_from_this();
    writer_->setDrainedHandler([weak] {
        if (auto self = weak.lock()) self->close();
    });
}

std::string PTChannel::description() const {
    std::string state;
    switch (connState_) {
        case ConnState::connecting:
            state = "connecting";
            break;
        case ConnState::connected:
            state = "connected";
            break;
        case ConnState::listening:
            state = "listening";
            break;
        case ConnState::none:
            state = "closed";
            break;
    }
    std::string out = "<PTChannel: " + state;
    if (!userInfo_.empty()) out += " " + userInfo_;
    return out + ">";
}

}  // namespace velorin
