// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "core/MainQueue.hpp"
#include "usb/channel/PTError.hpp"

namespace velorin {

inline constexpr std::uint32_t kPTProtocolVersion1 = 1;
inline constexpr std::size_t kPTFrameHeaderSize = 16;
// The largest payload an accepted frame may declare: a MIDI frame header and
// the largest MIDI message. Larger accepted frames end the channel.
inline constexpr std::uint32_t kPTMaxAcceptedPayloadSize = 16 + 1048576;
// Frames that are not delivered are skipped in pieces of at most this size.
inline constexpr std::size_t kPTDiscardChunkSize = 64 * 1024;

struct PTFrameHeader {
    std::uint32_t version = 0;
    std::uint32_t type = 0;
    std::uint32_t tag = 0;
    std::uint32_t payloadSize = 0;
};

// Header (version 1, type, tag, payload size; big-endian) followed by the payload.
std::vector<std::uint8_t> PTCreateFrame(std::uint32_t type, std::uint32_t tag,
                                        std::span<const std::uint8_t> payload);
std::array<std::uint8_t, kPTFrameHeaderSize> PTEncodeFrameHeader(std::uint32_t type, std::uint32_t tag,
                                                                 std::uint32_t payloadSize);
PTFrameHeader PTDecodeFrameHeader(std::span<const std::uint8_t, kPTFrameHeaderSize> bytes);

// Reads frames from a byte stream fed in arbitrary pieces. After each header
// it stops and waits for the caller's decision (accept or skip the payload),
// so that exactly one frame header is outstanding at a time. Memory use is
// bounded: an accepted payload is at most kPTMaxAcceptedPayloadSize bytes and
// skipped payloads are never stored.
class PTFrameReader {
public:
    enum class EventKind {
        needMore,  // every input byte was used; feed more
        header,    // a header arrived; call decide() before feeding on
        frame,     // a delivered frame (payload valid until the next call)
        end,       // orderly end of stream (a type 0 frame or end between frames)
        error,     // the stream is broken; nothing more is read
    };
    struct Event {
        EventKind kind = EventKind::needMore;
        std::uint32_t type = 0;
        std::uint32_t tag = 0;
        std::uint32_t payloadSize = 0;
        std::span<const std::uint8_t> payload;
        PTOptionalError error;
    };

    // Consumes bytes from the front of `input` until one event happens.
    Event next(std::span<const std::uint8_t>& input);
    // After a header event: deliver (true) or skip (false) its payload. Returns
    // a frame event for an accepted frame without payload, an error event when
    // an accepted frame is too large, and needMore otherwise.
    Event decide(bool accept);
    // The stream reached its end: an orderly end between frames, right after
    // a header (no payload byte yet) or inside a skipped payload; an error
    // inside a header or an accepted payload that has begun.
    Event finish();

    bool isDone() const { return state_ == State::done; }
    bool awaitsDecision() const { return state_ == State::awaitingDecision; }

private:
    enum class State { header, awaitingDecision, payload, discard, done };
    Event fail(PTProtocolErrorCode code, const char* text);

    State state_ = State::header;
    std::array<std::uint8_t, kPTFrameHeaderSize> header_{};
    std::size_t headerFill_ = 0;
    PTFrameHeader current_;
    std::vector<std::uint8_t> payload_;
    std::size_t payloadFill_ = 0;
    std::uint64_t discardLeft_ = 0;
};

// Hands out frame tags; one object per queue. The first tag is 1.
class PTProtocol {
public:
    explicit PTProtocol(MainQueue& queue) : queue_(queue) {}
    static std::shared_ptr<PTProtocol> sharedProtocolForQueue(MainQueue& queue);

    MainQueue& queue() const { return queue_; }
    std::uint32_t newTag() { return ++nextFrameTag_; }

private:
    MainQueue& queue_;
    std::uint32_t nextFrameTag_ = 0;
};

}  // namespace velorin
