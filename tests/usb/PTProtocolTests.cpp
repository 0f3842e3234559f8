// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "core/ManualMainQueue.hpp"
#include "usb/channel/PTChannel.hpp"
#include "usb/channel/PTProtocol.hpp"
#include "usb/channel/PTUSBHub.hpp"

namespace velorin::testing {
namespace {

using namespace std::chrono_literals;
using Kind = PTFrameReader::EventKind;

struct Collected {
    std::vector<PTFrameReader::Event> events;
    std::vector<std::vector<std::uint8_t>> payloads;
};

// Feeds bytes in pieces of `chunk`, accepting frames unless `reject` says otherwise.
Collected readAll(const std::vector<std::uint8_t>& bytes, std::size_t chunk, bool atEnd,
                  const std::function<bool(std::uint32_t)>& reject = {}) {
    PTFrameReader reader;
    Collected out;
    for (std::size_t offset = 0; offset < bytes.size() && !reader.isDone(); offset += chunk) {
        std::span<const std::uint8_t> input(bytes.data() + offset, std::min(chunk, bytes.size() - offset));
        while (!reader.isDone()) {
            auto e = reader.next(input);
            if (e.kind == Kind::header) e = reader.decide(!(reject && reject(e.type)));
            if (e.kind == Kind::needMore) {
                if (input.empty()) break;
                continue;
            }
            out.events.push_back(e);
            out.payloads.emplace_back(e.payload.begin(), e.payload.end());
        }
    }
    if (atEnd && !reader.isDone()) {
        auto e = reader.finish();
        if (e.kind != Kind::needMore) out.events.push_back(e), out.payloads.emplace_back();
    }
    return out;
}

std::vector<std::uint8_t> frame(std::uint32_t type, std::uint32_t tag, std::vector<std::uint8_t> payload) {
    return PTCreateFrame(type, tag, payload);
}

TEST(PTFrameReader, HeaderIsBigEndianVersionOne) {
    const auto f = frame(101, 0x01020304, {0xAA});
    EXPECT_EQ(f, (std::vector<std::uint8_t>{0, 0, 0, 1, 0, 0, 0, 101, 1, 2, 3, 4, 0, 0, 0, 1, 0xAA}));
}

TEST(PTFrameReader, VersionTwoEndsWithMalformedFrameError) {
    auto f = frame(101, 1, {});
    f[3] = 2;
    const auto r = readAll(f, 16, true);
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0].kind, Kind::error);
    EXPECT_TRUE(r.events[0].error->isProtocol(PTProtocolErrorCode::malformedFrame));
}

TEST(PTFrameReader, EndInsideAHeaderIsAnErrorEndBetweenFramesIsNot) {
    auto f = frame(101, 1, {1, 2});
    std::vector<std::uint8_t> partial(f.begin(), f.begin() + 7);
    auto r = readAll(partial, 3, true);
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0].kind, Kind::error);
    EXPECT_TRUE(r.events[0].error->isProtocol(PTProtocolErrorCode::malformedFrame));
    r = readAll(f, 5, true);
    ASSERT_EQ(r.events.size(), 2u);
    EXPECT_EQ(r.events[0].kind, Kind::frame);
    EXPECT_EQ(r.events[1].kind, Kind::end);
    EXPECT_FALSE(r.events[1].error);
}

TEST(PTFrameReader, TypeZeroEndsEvenWithADeclaredPayload) {
    auto bytes = frame(0, 0, {1, 2, 3});
    const auto more = frame(101, 1, {9});
    bytes.insert(bytes.end(), more.begin(), more.end());
    const auto r = readAll(bytes, 64, false);
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0].kind, Kind::end);
}

TEST(PTFrameReader, RejectedPayloadIsSkippedAndTheNextFrameReadsCorrectly) {
    auto bytes = frame(104, 1, std::vector<std::uint8_t>(1000, 0x77));
    const auto next = frame(101, 2, {5, 6, 7});
    bytes.insert(bytes.end(), next.begin(), next.end());
    const auto r = readAll(bytes, 37, false, [](std::uint32_t type) { return type == 104; });
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0].type, 101u);
    EXPECT_EQ(r.events[0].tag, 2u);
    EXPECT_EQ(r.payloads[0], (std::vector<std::uint8_t>{5, 6, 7}));
}

TEST(PTFrameReader, EmptyPayloadIsDeliveredWithoutPayload) {
    const auto r = readAll(frame(103, 42, {}), 16, false);
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0].kind, Kind::frame);
    EXPECT_EQ(r.events[0].tag, 42u);
    EXPECT_EQ(r.events[0].payloadSize, 0u);
}

// A declined frame is never delivered, with or without a payload, and the frame
// after it is read from the right place.
TEST(PTFrameReader, DeclinedFramesWithAndWithoutPayloadAreNotDelivered) {
    auto bytes = frame(104, 1, {});
    for (const auto& more : {frame(104, 2, {1, 2}), frame(101, 3, {4}), frame(104, 4, {})}) {
        bytes.insert(bytes.end(), more.begin(), more.end());
    }
    for (const std::size_t chunk : {1u, 16u, 1024u}) {
        SCOPED_TRACE(chunk);
        const auto r = readAll(bytes, chunk, true, [](std::uint32_t type) { return type == 104; });
        ASSERT_EQ(r.events.size(), 2u);
        EXPECT_EQ(r.events[0].kind, Kind::frame);
        EXPECT_EQ(r.events[0].tag, 3u);
        EXPECT_EQ(r.payloads[0], (std::vector<std::uint8_t>{4}));
        EXPECT_EQ(r.events[1].kind, Kind::end);
    }
}

TEST(PTFrameReader, AcceptedPayloadAboveTheLimitEndsWithItsOwnCode) {
    const auto header = PTEncodeFrameHeader(101, 0, kPTMaxAcceptedPayloadSize + 1);
    const auto r = readAll({header.begin(), header.end()}, 16, false);
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0].kind, Kind::error);
    EXPECT_TRUE(r.events[0].error->isProtocol(PTProtocolErrorCode::payloadTooLarge));
}

TEST(PTFrameReader, LargestValidPayloadIsAccepted) {
    const auto r =
        readAll(frame(101, 0, std::vector<std::uint8_t>(kPTMaxAcceptedPayloadSize, 1)), 65536, false);
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0].kind, Kind::frame);
    EXPECT_EQ(r.payloads[0].size(), kPTMaxAcceptedPayloadSize);
}

TEST(PTFrameReader, RejectedHugeDeclarationIsDiscardedWithoutStoringIt) {
    const auto header = PTEncodeFrameHeader(104, 0, 0xFFFFFFFFu);
    std::vector<std::uint8_t> bytes(header.begin(), header.end());
    bytes.resize(bytes.size() + 3 * 65536, 0);
    const auto r = readAll(bytes, 65536, true, [](std::uint32_t) { return true; });
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0].kind, Kind::end);  // the stream ended inside the skipped payload
    EXPECT_FALSE(r.events[0].error);
}

TEST(PTFrameReader, EndRightAfterAHeaderIsOrderlyEndInsideAnAcceptedPayloadIsNot) {
    const auto f = frame(101, 1, {1, 2, 3, 4});
    auto r = readAll({f.begin(), f.begin() + 16}, 16, true);
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0].kind, Kind::end);
    EXPECT_FALSE(r.events[0].error);
    r = readAll({f.begin(), f.begin() + 18}, 16, true);
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0].kind, Kind::error);
    EXPECT_TRUE(r.events[0].error->isProtocol(PTProtocolErrorCode::malformedFrame));
}

// ---- PTChannel over a socket pair

struct RecordingDelegate : PTChannelDelegate {
    std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> frames;
    std::vector<bool> framePayloadObjects;  // per frame: whether a payload object came with it
    std::vector<PTOptionalError> ends;
    bool acceptAll = true;
    bool ioFrameChannelShouldAcceptFrame(PTChannel&, std::uint32_t, std::uint32_t, std::uint32_t) override {
        return acceptAll;
    }
    void ioFrameChannelDidReceiveFrame(PTChannel&, std::uint32_t type, std::uint32_t,
                                       const PTData* payload) override {
        framePayloadObjects.push_back(payload != nullptr);
        frames.emplace_back(
            type, payload ? std::vector<std::uint8_t>(payload->data(), payload->data() + payload->length())
                          : std::vector<std::uint8_t>{});
    }
    void ioFrameChannelDidEnd(PTChannel&, const PTOptionalError& error) override { ends.push_back(error); }
};

class PTChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        local = fds[0];
        peer = fds[1];
        channel = PTChannel::create(PTProtocol::sharedProtocolForQueue(queue), &delegate);
    }
    void TearDown() override {
        channel.reset();
        if (peer >= 0) ::close(peer);
    }
    void peerWrite(const std::vector<std::uint8_t>& bytes) {
        ASSERT_EQ(::write(peer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    ManualMainQueue queue;
    RecordingDelegate delegate;
    std::shared_ptr<PTChannel> channel;
    int local = -1;
    int peer = -1;
};

TEST_F(PTChannelTest, SendingBeforeConnectingFailsWithEPERM) {
    std::optional<PTOptionalError> result;
    channel->sendFrame(101, 0, {}, [&](PTOptionalError e) { result = e; });
    queue.runPending();
    ASSERT_TRUE(result && *result);
    EXPECT_TRUE((*result)->isPOSIX(EPERM));
    EXPECT_EQ(channel->description(), "<PTChannel: closed>");
    ::close(local);
}

TEST_F(PTChannelTest, ReadsFramesSendsFramesAndReportsAnOrderlyEnd) {
    ASSERT_FALSE(channel->startReadingFromConnectedChannel(local));
    EXPECT_TRUE(channel->isConnected());
    peerWrite(frame(101, 1, {1, 2, 3}));
    peerWrite(frame(103, 2, {}));
    queue.runPending();
    ASSERT_EQ(delegate.frames.size(), 2u);
    EXPECT_EQ(delegate.frames[0].second, (std::vector<std::uint8_t>{1, 2, 3}));
    std::optional<PTOptionalError> sent;
    const std::vector<std::uint8_t> payload{9};
    channel->sendFrame(102, 5, payload, [&](PTOptionalError e) { sent = e; });
    queue.runPending();
    ASSERT_TRUE(sent);
    EXPECT_FALSE(*sent);
    std::vector<std::uint8_t> got(17);
    ASSERT_EQ(::read(peer, got.data(), got.size()), 17);
    EXPECT_EQ(got, frame(102, 5, {9}));
    ::close(peer);
    peer = -1;
    queue.runPending();
    ASSERT_EQ(delegate.ends.size(), 1u);
    EXPECT_FALSE(delegate.ends[0]);
    EXPECT_FALSE(channel->isConnected());
}

TEST_F(PTChannelTest, OversizedAcceptedFrameEndsTheChannelWithPayloadTooLarge) {
    ASSERT_FALSE(channel->startReadingFromConnectedChannel(local));
    const auto header = PTEncodeFrameHeader(101, 0, 0xFFFFFFF0u);
    peerWrite({header.begin(), header.end()});
    queue.runPending();
    ASSERT_EQ(delegate.ends.size(), 1u);
    ASSERT_TRUE(delegate.ends[0]);
    EXPECT_TRUE(delegate.ends[0]->isProtocol(PTProtocolErrorCode::payloadTooLarge));
}

TEST_F(PTChannelTest, RejectedFramesAreSkippedAcrossManyReads) {
    ASSERT_FALSE(channel->startReadingFromConnectedChannel(local));
    delegate.acceptAll = false;
    const auto header = PTEncodeFrameHeader(104, 0, 200000);
    peerWrite({header.begin(), header.end()});
    std::vector<std::uint8_t> filler(50000, 0x42);
    for (int i = 0; i < 4; ++i) {
        peerWrite(filler);
        queue.runPending();
    }
    delegate.acceptAll = true;
    peerWrite(frame(101, 7, {1}));
    queue.runPending();
    ASSERT_EQ(delegate.frames.size(), 1u);
    EXPECT_EQ(delegate.frames[0].first, 101u);
    EXPECT_TRUE(delegate.ends.empty());
}

// A declined frame without payload is not delivered; an accepted one comes
// without a payload object, and a frame of one byte with one.
TEST_F(PTChannelTest, DeclinedFramesWithoutPayloadAreNotDeliveredAcceptedOnesComeWithoutPayload) {
    ASSERT_FALSE(channel->startReadingFromConnectedChannel(local));
    delegate.acceptAll = false;
    peerWrite(frame(102, 1, {}));
    queue.runPending();
    EXPECT_TRUE(delegate.frames.empty());
    delegate.acceptAll = true;
    peerWrite(frame(103, 2, {}));
    peerWrite(frame(103, 3, {7}));
    queue.runPending();
    ASSERT_EQ(delegate.frames.size(), 2u);
    EXPECT_EQ(delegate.frames[0].first, 103u);
    EXPECT_EQ(delegate.framePayloadObjects, (std::vector<bool>{false, true}));
    EXPECT_EQ(delegate.frames[1].second, (std::vector<std::uint8_t>{7}));
    EXPECT_TRUE(delegate.ends.empty());
}

// The largest accepted frame (a MIDI frame header and the largest MIDI message)
// crosses the channel whole; the channel stays up for the next frame.
TEST_F(PTChannelTest, TheLargestAcceptedFrameIsDeliveredWhole) {
    ASSERT_FALSE(channel->startReadingFromConnectedChannel(local));
    std::vector<std::uint8_t> payload(kPTMaxAcceptedPayloadSize, 0x21);
    payload.back() = 0xF7;
    const auto bytes = frame(101, 1, payload);
    std::size_t written = 0;
    while (written < bytes.size()) {
        const auto n =
            ::write(peer, bytes.data() + written, std::min<std::size_t>(bytes.size() - written, 65536));
        ASSERT_GT(n, 0);
        written += static_cast<std::size_t>(n);
        queue.runPending();
    }
    peerWrite(frame(103, 2, {}));
    queue.runPending();
    ASSERT_EQ(delegate.frames.size(), 2u);
    EXPECT_EQ(delegate.frames[0].second, payload);
    EXPECT_EQ(delegate.frames[1].first, 103u);
    EXPECT_TRUE(delegate.ends.empty());
}

TEST_F(PTChannelTest, ConnectingAConnectedChannelFailsWithEPERM) {
    ASSERT_FALSE(channel->startReadingFromConnectedChannel(local));
    auto hub = PTUSBHub::create(queue, "/nonexistent/usbmuxd");
    std::optional<PTOptionalError> result;
    channel->connectToPort(17036, *hub, 1, [&](PTOptionalError e) { result = e; });
    queue.runPending();
    ASSERT_TRUE(result && *result);
    EXPECT_TRUE((*result)->isPOSIX(EPERM));
    EXPECT_TRUE(channel->isConnected());
}

TEST_F(PTChannelTest, EndOfStreamFrameLetsPendingWritesFinishBeforeClosing) {
    ASSERT_FALSE(channel->startReadingFromConnectedChannel(local));
    std::vector<PTOptionalError> sent;
    const std::vector<std::uint8_t> payload(1000, 7);
    for (int i = 0; i < 3; ++i)
        channel->sendFrame(101, 0, payload, [&](PTOptionalError e) { sent.push_back(e); });
    peerWrite(frame(0, 0, {}));
    queue.runPending();
    ASSERT_EQ(sent.size(), 3u);
    for (const auto& e : sent) EXPECT_FALSE(e);
    ASSERT_EQ(delegate.ends.size(), 1u);
    EXPECT_FALSE(delegate.ends[0]);
    std::vector<std::uint8_t> got(3 * 1016);
    std::size_t total = 0;
    while (total < got.size()) {
        const auto n = ::read(peer, got.data() + total, got.size() - total);
        if (n <= 0) break;
        total += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(total, got.size());
}

// Writes still waiting for room in the socket when the end-of-stream frame
// arrives are all sent before the channel closes.
TEST_F(PTChannelTest, EndOfStreamFrameWaitsForWritesTheSocketHasNoRoomForYet) {
    ASSERT_FALSE(channel->startReadingFromConnectedChannel(local));
    std::vector<PTOptionalError> sent;
    const std::vector<std::uint8_t> payload(1024 * 1024, 7);
    constexpr std::size_t kFrames = 4;  // far more than a socket buffer holds
    for (std::size_t i = 0; i < kFrames; ++i)
        channel->sendFrame(101, 0, payload, [&](PTOptionalError e) { sent.push_back(e); });
    peerWrite(frame(0, 0, {}));
    const std::size_t expected = kFrames * (16 + payload.size());
    std::vector<std::uint8_t> got(256 * 1024);
    std::size_t total = 0;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (total < expected && std::chrono::steady_clock::now() < deadline) {
        queue.runPending();
        const auto n = ::recv(peer, got.data(), got.size(), MSG_DONTWAIT);
        if (n > 0) total += static_cast<std::size_t>(n);
        if (n == 0) break;  // closed before everything arrived
    }
    queue.runPending();
    EXPECT_EQ(total, expected);
    ASSERT_EQ(sent.size(), kFrames);
    for (const auto& e : sent) EXPECT_FALSE(e);
    ASSERT_EQ(delegate.ends.size(), 1u);
    EXPECT_FALSE(delegate.ends[0]);
}

TEST(PTProtocol, TagsStartAtOneAndTheQueueSharesOneProtocol) {
    ManualMainQueue queue;
    auto a = PTProtocol::sharedProtocolForQueue(queue);
    auto b = PTProtocol::sharedProtocolForQueue(queue);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a->newTag(), 1u);
    EXPECT_EQ(b->newTag(), 2u);
}

}  // namespace
}  // namespace velorin::testing
