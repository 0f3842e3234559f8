// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "core/MainQueue.hpp"
#include "usb/channel/PTError.hpp"

namespace velorin {

// Writes whole buffers to a non-blocking stream socket in order. Each buffer's
// completion is posted to the queue once all its bytes are written, or with the
// errno of the failed write. Pending bytes are bounded: a write that would
// exceed `maxPendingBytes` fails at once with ENOBUFS.
class PTSocketWriter {
public:
    using Completion = std::function<void(PTOptionalError)>;
    static constexpr std::size_t kDefaultMaxPendingBytes = 8u * 1024u * 1024u;

    PTSocketWriter(MainQueue& queue, int fd, std::size_t maxPendingBytes = kDefaultMaxPendingBytes)
        : queue_(queue), fd_(fd), maxPendingBytes_(maxPendingBytes) {}
    PTSocketWriter(const PTSocketWriter&) = delete;
    PTSocketWriter& operator=(const PTSocketWriter&) = delete;
    ~PTSocketWriter() { discard(); }

    void write(std::vector<std::uint8_t> bytes, Completion completion);
    bool isEmpty() const { return pending_.empty(); }
    // Fails every pending write with ECANCELED and stops watching.
    void discard();
    // Writes what is pending, waiting for the socket as needed, until it is
    // all written or `deadline` passes. For an orderly end, when the event
    // loop will not run again to finish the writes.
    void flushUntil(MainQueue::TimePoint deadline);
    // Called once everything pending has been written (used to close after flushing).
    void setDrainedHandler(std::function<void()> handler) { drained_ = std::move(handler); }
    // The first write failure, if any (later writes fail with it at once).
    const PTOptionalError& failure() const { return failure_; }

private:
    struct Item {
        std::vector<std::uint8_t> bytes;
        std::size_t offset = 0;
        Completion completion;
    };
    void flush();
    void complete(Completion completion, PTOptionalError error);

    MainQueue& queue_;
    int fd_;
    std::size_t maxPendingBytes_;
    std::size_t pendingBytes_ = 0;
    std::deque<Item> pending_;
    TaskHandle watch_;
    PTOptionalError failure_;
    std::function<void()> drained_;
};

// Sets O_NONBLOCK and FD_CLOEXEC; false on failure.
bool PTMakeNonBlocking(int fd);

}  // namespace velorin
