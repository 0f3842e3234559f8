// SPDX-License-Identifier: GPL-3.0-or-later
#include "usb/channel/PTSocketWriter.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace velorin {

bool PTMakeNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return false;
    const int fdFlags = ::fcntl(fd, F_GETFD, 0);
    return fdFlags >= 0 && ::fcntl(fd, F_SETFD, fdFlags | FD_CLOEXEC) >= 0;
}

void PTSocketWriter::complete(Completion completion, PTOptionalError error) {
    if (!completion) return;
    queue_.post([completion = std::move(completion), error = std::move(error)] { completion(error); });
}

void PTSocketWriter::write(std::vector<std::uint8_t> bytes, Completion completion) {
    if (failure_) {
        complete(std::move(completion), failure_);
        return;
    }
    if (pendingBytes_ + bytes.size() > maxPendingBytes_) {
        complete(std::move(completion), PTError::posix(ENOBUFS));
        return;
    }
    pendingBytes_ += bytes.size();
    pending_.push_back(Item{std::move(bytes), 0, std::move(completion)});
    if (pending_.size() == 1) flush();
}

void PTSocketWriter::flush() {
    while (!pending_.empty()) {
        Item& item = pending_.front();
        while (item.offset < item.bytes.size()) {
            const ssize_t n =
                ::send(fd_, item.bytes.data() + item.offset, item.bytes.size() - item.offset, MSG_NOSIGNAL);
            if (n > 0) {
                item.offset += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (!watch_.isActive()) {
                    watch_ = queue_.watch(fd_, IoEvents::writable, [this](IoEvents) { flush(); });
                }
                return;
            }
            // A failed write fails it and everything queued behind it.
            failure_ = PTError::posix(n < 0 ? errno : EPIPE);
            watch_.cancel();
            while (!pending_.empty()) {
                complete(std::move(pending_.front().completion), failure_);
                pending_.pop_front();
            }
            pendingBytes_ = 0;
            if (drained_) {
                auto handler = std::move(drained_);
                drained_ = nullptr;
                handler();
            }
            return;
        }
        pendingBytes_ -= item.bytes.size();
        complete(std::move(item.completion), std::nullopt);
        pending_.pop_front();
    }
    watch_.cancel();
    if (drained_) {
        auto handler = std::move(drained_);
        drained_ = nullptr;
        handler();
    }
}

void PTSocketWriter::flushUntil(MainQueue::TimePoint deadline) {
    while (!pending_.empty() && !failure_) {
        flush();
        if (pending_.empty() || failure_) return;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - MainQueue::Clock::now());
        if (left.count() <= 0) return;
        pollfd fd{fd_, POLLOUT, 0};
        if (::poll(&fd, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return;
    }
}

void PTSocketWriter::discard() {
    watch_.cancel();
    while (!pending_.empty()) {
        complete(std::move(pending_.front().completion), PTError::posix(ECANCELED));
        pending_.pop_front();
    }
    pendingBytes_ = 0;
    drained_ = nullptr;
}

}  // namespace velorin
