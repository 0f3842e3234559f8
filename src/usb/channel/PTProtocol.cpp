// SPDX-License-Identifier: GPL-3.0-or-later
#include "usb/channel/PTProtocol.hpp"

#include <algorithm>
#include <map>
#include <mutex>

namespace velorin {
namespace {

void putBE32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}
std::uint32_t getBE32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

std::array<std::uint8_t, kPTFrameHeaderSize> PTEncodeFrameHeader(std::uint32_t type, std::uint32_t tag,
                                                                 std::uint32_t payloadSize) {
    std::array<std::uint8_t, kPTFrameHeaderSize> h{};
    putBE32(h.data(), kPTProtocolVersion1);
    putBE32(h.data() + 4, type);
    putBE32(h.data() + 8, tag);
    putBE32(h.data() + 12, payloadSize);
    return h;
}

std::vector<std::uint8_t> PTCreateFrame(std::uint32_t type, std::uint32_t tag,
                                        std::span<const std::uint8_t> payload) {
    // Callers never hand in more than 4 GiB: payloads are bounded long before.
    const auto size = static_cast<std::uint32_t>(std::min<std::size_t>(payload.size(), UINT32_MAX));
    const auto h = PTEncodeFrameHeader(type, tag, size);
    std::vector<std::uint8_t> out;
    out.reserve(kPTFrameHeaderSize + size);
    out.insert(out.end(), h.begin(), h.end());
    out.insert(out.end(), payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(size));
    return out;
}

PTFrameHeader PTDecodeFrameHeader(std::span<const std::uint8_t, kPTFrameHeaderSize> b) {
    return PTFrameHeader{getBE32(b.data()), getBE32(b.data() + 4), getBE32(b.data() + 8),
                         getBE32(b.data() + 12)};
}

PTFrameReader::Event PTFrameReader::fail(PTProtocolErrorCode code, const char* text) {
    state_ = State::done;
    payload_.clear();
    payload_.shrink_to_fit();
    Event e;
    e.kind = EventKind::error;
    e.error = PTError::protocol(code, text);
    return e;
}

PTFrameReader::Event PTFrameReader::next(std::span<const std::uint8_t>& input) {
    for (;;) {
        switch (state_) {
            case State::done:
            case State::awaitingDecision:
                return Event{};
            case State::header: {
                if (input.empty()) return Event{};
                const std::size_t take = std::min(input.size(), kPTFrameHeaderSize - headerFill_);
                std::copy_n(input.begin(), take, header_.begin() + static_cast<std::ptrdiff_t>(headerFill_));
                headerFill_ += take;
                input = input.subspan(take);
                if (headerFill_ < kPTFrameHeaderSize) return Event{};
                headerFill_ = 0;
                current_ = PTDecodeFrameHeader(header_);
                if (current_.version != kPTProtocolVersion1) {
                    return fail(PTProtocolErrorCode::malformedFrame, "Unsupported frame protocol version");
                }
                if (current_.type == 0) {
                    state_ = State::done;
                    return Event{EventKind::end, 0, 0, 0, {}, std::nullopt};
                }
                state_ = State::awaitingDecision;
                return Event{EventKind::header, current_.type, current_.tag, current_.payloadSize, {},
                             std::nullopt};
            }
            case State::payload: {
                if (input.empty()) return Event{};
                const std::size_t take = std::min(input.size(), payload_.size() - payloadFill_);
                std::copy_n(input.begin(), take,
                            payload_.begin() + static_cast<std::ptrdiff_t>(payloadFill_));
                payloadFill_ += take;
                input = input.subspan(take);
                if (payloadFill_ < payload_.size()) return Event{};
                state_ = State::header;
                return Event{EventKind::frame,
                             current_.type,
                             current_.tag,
                             current_.payloadSize,
                             std::span<const std::uint8_t>(payload_),
                             std::nullopt};
            }
            case State::discard: {
                if (input.empty()) return Event{};
                const std::size_t take =
                    static_cast<std::size_t>(std::min<std::uint64_t>(input.size(), discardLeft_));
                discardLeft_ -= take;
                input = input.subspan(take);
                if (discardLeft_ == 0) state_ = State::header;
                break;
            }
        }
    }
}

PTFrameReader::Event PTFrameReader::decide(bool accept) {
    if (state_ != State::awaitingDecision) return Event{};
    if (current_.payloadSize == 0) {
        state_ = State::header;
        if (!accept) return Event{};
        return Event{EventKind::frame, current_.type, current_.tag, 0, {}, std::nullopt};
    }
    if (!accept) {
        state_ = State::discard;
        discardLeft_ = current_.payloadSize;
        return Event{};
    }
    if (current_.payloadSize > kPTMaxAcceptedPayloadSize) {
        return fail(PTProtocolErrorCode::payloadTooLarge, "Frame payload exceeds the maximum frame size");
    }
    payload_.assign(current_.payloadSize, 0);
    payloadFill_ = 0;
    state_ = State::payload;
    return Event{};
}

PTFrameReader::Event PTFrameReader::finish() {
    switch (state_) {
        case State::done:
            return Event{};
        case State::header:
            if (headerFill_ == 0) {
                state_ = State::done;
                return Event{EventKind::end, 0, 0, 0, {}, std::nullopt};
            }
            return fail(PTProtocolErrorCode::malformedFrame, "Stream ended inside a frame header");
        case State::discard:
            // The end of a skipped payload's stream is an end of stream like
            // any other: nothing of it was going to be delivered.
            state_ = State::done;
            return Event{EventKind::end, 0, 0, 0, {}, std::nullopt};
        case State::payload:
            // No payload byte at all is an end of stream; a payload cut
            // short is a broken frame and is never delivered.
            if (payloadFill_ == 0) {
                state_ = State::done;
                payload_.clear();
                return Event{EventKind::end, 0, 0, 0, {}, std::nullopt};
            }
            return fail(PTProtocolErrorCode::malformedFrame, "Stream ended inside a frame payload");
        case State::awaitingDecision:
            return fail(PTProtocolErrorCode::malformedFrame, "Stream ended inside a frame payload");
    }
    return Event{};
}

std::shared_ptr<PTProtocol> PTProtocol::sharedProtocolForQueue(MainQueue& queue) {
    static std::mutex mutex;
    static std::map<MainQueue*, std::weak_ptr<PTProtocol>> protocols;
    std::lock_guard lock(mutex);
    auto& slot = protocols[&queue];
    if (auto existing = slot.lock()) return existing;
    auto created = std::make_shared<PTProtocol>(queue);
    slot = created;
    return created;
}

}  // namespace velorin
