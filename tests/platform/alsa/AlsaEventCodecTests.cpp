// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "platform/alsa/AlsaEventCodec.hpp"
#include "platform/alsa/AlsaEventWriter.hpp"

namespace velorin {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes decoded(AlsaEventDecoder& decoder, const snd_seq_event_t& event) {
    const std::span<const std::uint8_t> bytes = decoder.decode(event);
    return {bytes.begin(), bytes.end()};
}

// Keeps copies of the events (and of SYSEX data, which points into the caller's
// bytes only while the sink runs); fails with `failure` at event `failAt`.
class RecordingSink final : public AlsaEventSink {
public:
    MIDIStatus put(snd_seq_event_t& event) override {
        if (events.size() == failAt) return failure;
        events.push_back(event);
        data_.emplace_back();
        if (event.type == SND_SEQ_EVENT_SYSEX && event.data.ext.ptr != nullptr) {
            const auto* data = static_cast<const std::uint8_t*>(event.data.ext.ptr);
            data_.back().assign(data, data + event.data.ext.len);
        }
        return 0;
    }
    const Bytes& sysex(std::size_t i) const { return data_[i]; }

    std::vector<snd_seq_event_t> events;
    std::size_t failAt = SIZE_MAX;
    MIDIStatus failure = 0;

private:
    std::vector<Bytes> data_;
};

Bytes makeSysEx(std::size_t size) {
    Bytes message{0xF0};
    message.reserve(size);
    for (std::size_t i = 1; i + 1 < size; ++i) message.push_back(static_cast<std::uint8_t>((i * 7) & 0x7F));
    message.push_back(0xF7);
    return message;
}

TEST(AlsaEventEncoder, LongSysExBecomesBoundedChunksThatReassembleExactly) {
    const Bytes message = makeSysEx(1 << 20);
    AlsaEventEncoder encoder;
    RecordingSink sink;
    ASSERT_EQ(encoder.encode(message, sink), 0);
    Bytes joined;
    for (std::size_t i = 0; i < sink.events.size(); ++i) {
        ASSERT_EQ(sink.events[i].type, SND_SEQ_EVENT_SYSEX);
        ASSERT_LE(sink.sysex(i).size(), AlsaEventEncoder::kSysExChunkSize);
        // Each chunk fits even a receiver with the kernel's default pool.
        ASSERT_LE(alsaEventCells(sink.events[i]), 200u / 4);
        joined.insert(joined.end(), sink.sysex(i).begin(), sink.sysex(i).end());
    }
    EXPECT_EQ(sink.sysex(0).front(), 0xF0);
    EXPECT_EQ(sink.sysex(sink.events.size() - 1).back(), 0xF7);
    EXPECT_TRUE(joined == message);
}

TEST(AlsaEventEncoder, MessagesAroundSysExKeepTheirOrder) {
    AlsaEventEncoder encoder;
    RecordingSink sink;
    ASSERT_EQ(encoder.encode(Bytes{0x90, 0x3C, 0x64, 0xF0, 0x01, 0x02, 0xF7, 0x80, 0x3C, 0x00}, sink), 0);
    ASSERT_EQ(sink.events.size(), 3u);
    EXPECT_EQ(sink.events[0].type, SND_SEQ_EVENT_NOTEON);
    EXPECT_EQ(sink.sysex(1), (Bytes{0xF0, 0x01, 0x02, 0xF7}));
    EXPECT_EQ(sink.events[2].type, SND_SEQ_EVENT_NOTEOFF);

    // Without its end byte, SysEx runs to the end of the bytes.
    RecordingSink open;
    ASSERT_EQ(encoder.encode(Bytes{0xF0, 0x01, 0x02}, open), 0);
    ASSERT_EQ(open.events.size(), 1u);
    EXPECT_EQ(open.sysex(0), (Bytes{0xF0, 0x01, 0x02}));
}

TEST(AlsaEventEncoder, BytesThatFormNoMessageAreSkippedAndLeakNothing) {
    AlsaEventEncoder encoder;
    RecordingSink garbage;
    ASSERT_EQ(encoder.encode(Bytes{0x3C, 0x40, 0xF4, 0xF7, 0xFD, 0x3C, 0x90, 0x3C, 0x64}, garbage), 0);
    ASSERT_EQ(garbage.events.size(), 1u);
    EXPECT_EQ(garbage.events[0].type, SND_SEQ_EVENT_NOTEON);
    EXPECT_EQ(garbage.events[0].data.note.note, 0x3C);

    // A message cut short does not swallow the next call's bytes.
    RecordingSink cut;
    ASSERT_EQ(encoder.encode(Bytes{0x90, 0x3C}, cut), 0);
    ASSERT_EQ(encoder.encode(Bytes{0xC0, 0x05}, cut), 0);
    ASSERT_EQ(cut.events.size(), 1u);
    EXPECT_EQ(cut.events[0].type, SND_SEQ_EVENT_PGMCHANGE);

    // Nor does a status left by an earlier call apply to the next call's data bytes.
    RecordingSink stray;
    ASSERT_EQ(encoder.encode(Bytes{0x90, 0x3C}, stray), 0);
    ASSERT_EQ(encoder.encode(Bytes{0x3E, 0x40}, stray), 0);
    EXPECT_TRUE(stray.events.empty());
}

TEST(AlsaEventEncoder, AFailingSinkStopsTheMessageWithItsStatus) {
    AlsaEventEncoder encoder;
    RecordingSink sink;
    sink.failAt = 1;
    sink.failure = -EAGAIN;
    EXPECT_EQ(encoder.encode(makeSysEx(1000), sink), -EAGAIN);
    EXPECT_EQ(sink.events.size(), 1u);
}

TEST(AlsaEventCodec, EveryMessageKindRoundTripsWithItsStatusByte) {
    const std::vector<Bytes> messages = {
        {0x90, 0x3C, 0x64},
        {0x90, 0x3C, 0x00},
        {0x81, 0x3C, 0x40},
        {0xA2, 0x3C, 0x10},
        {0xB3, 0x07, 0x64},
        {0xC4, 0x05},
        {0xD5, 0x33},
        {0xE6, 0x00, 0x40},
        {0xF1, 0x22},
        {0xF2, 0x01, 0x02},
        {0xF3, 0x04},
        {0xF6},
        {0xF8},
        {0xFA},
        {0xFB},
        {0xFC},
        {0xFE},
        {0xFF},
    };
    AlsaEventEncoder encoder;
    AlsaEventDecoder decoder;
    for (const Bytes& message : messages) {
        RecordingSink sink;
        ASSERT_EQ(encoder.encode(message, sink), 0);
        ASSERT_EQ(sink.events.size(), 1u) << int(message[0]);
        EXPECT_EQ(decoded(decoder, sink.events[0]), message) << int(message[0]);
    }
    // The same status twice still carries the status byte (no running status).
    RecordingSink twice;
    ASSERT_EQ(encoder.encode(Bytes{0x90, 0x3C, 0x64, 0x90, 0x3E, 0x64}, twice), 0);
    ASSERT_EQ(twice.events.size(), 2u);
    EXPECT_EQ(decoded(decoder, twice.events[0]), (Bytes{0x90, 0x3C, 0x64}));
    EXPECT_EQ(decoded(decoder, twice.events[1]), (Bytes{0x90, 0x3E, 0x64}));
}

// Notes and controllers are coded without libasound's byte coder; both ways
// they must give exactly what that coder gives, for every value.
TEST(AlsaEventCodec, ChannelMessagesAreCodedExactlyAsLibasoundCodesThem) {
    snd_midi_event_t* reference = nullptr;
    ASSERT_EQ(snd_midi_event_new(32, &reference), 0);
    snd_midi_event_no_status(reference, 1);
    AlsaEventEncoder encoder;
    AlsaEventDecoder decoder;
    const auto expectSameDecoding = [&](const snd_seq_event_t& event) {
        std::array<unsigned char, 32> expected{};
        snd_midi_event_reset_decode(reference);
        const long length = snd_midi_event_decode(reference, expected.data(), expected.size(), &event);
        EXPECT_EQ(decoded(decoder, event), Bytes(expected.begin(), expected.begin() + std::max(length, 0L)))
            << int(event.type);
    };
    int mismatches = 0;
    for (const int status : {0x80, 0x9F, 0xA3, 0xB0, 0xCF, 0xD1, 0xEF}) {
        const bool twoBytes = (status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0;
        for (int first = 0; first < 128; ++first) {
            for (int second = 0; second < (twoBytes ? 1 : 128); ++second) {
                Bytes message{static_cast<std::uint8_t>(status), static_cast<std::uint8_t>(first)};
                if (!twoBytes) message.push_back(static_cast<std::uint8_t>(second));
                snd_seq_event_t expected{};
                snd_midi_event_reset_encode(reference);
                for (const std::uint8_t byte : message)
                    snd_midi_event_encode_byte(reference, byte, &expected);
                RecordingSink sink;
                ASSERT_EQ(encoder.encode(message, sink), 0);
                ASSERT_EQ(sink.events.size(), 1u);
                const snd_seq_event_t& got = sink.events[0];
                if (got.type != expected.type || got.flags != expected.flags ||
                    std::memcmp(&got.data, &expected.data, sizeof got.data) != 0) {
                    ++mismatches;
                }
                expectSameDecoding(got);
                if (mismatches > 0 || ::testing::Test::HasFailure())
                    FAIL() << "first difference at " << int(status) << " " << first << " " << second;
            }
        }
    }
    // Fields out of MIDI's range are left to libasound, which decides what they mean.
    snd_seq_event_t odd{};
    odd.type = SND_SEQ_EVENT_NOTEON;
    odd.data.note = {16, 200, 130, 0, 0};
    expectSameDecoding(odd);
    odd.type = SND_SEQ_EVENT_PITCHBEND;
    odd.data.control = {3, {}, 0, 9000};
    expectSameDecoding(odd);
    odd.data.control.value = -8193;
    expectSameDecoding(odd);
    snd_midi_event_free(reference);
}

TEST(AlsaEventDecoder, SysExChunksComeAsSentAndOtherEventsGiveNothing) {
    AlsaEventDecoder decoder;
    Bytes chunk{0x01, 0x02, 0x03, 0xF7};
    snd_seq_event_t sysex{};
    sysex.type = SND_SEQ_EVENT_SYSEX;
    sysex.flags = SND_SEQ_EVENT_LENGTH_VARIABLE;
    sysex.data.ext.len = static_cast<unsigned int>(chunk.size());
    sysex.data.ext.ptr = chunk.data();
    EXPECT_EQ(decoded(decoder, sysex), chunk);

    snd_seq_event_t malformed = sysex;
    malformed.flags = SND_SEQ_EVENT_LENGTH_FIXED;
    EXPECT_TRUE(decoded(decoder, malformed).empty());
    for (const int type : {SND_SEQ_EVENT_PORT_START, SND_SEQ_EVENT_PORT_SUBSCRIBED, SND_SEQ_EVENT_ECHO,
                           SND_SEQ_EVENT_USR0, SND_SEQ_EVENT_NONE}) {
        snd_seq_event_t other{};
        other.type = static_cast<snd_seq_event_type_t>(type);
        EXPECT_TRUE(decoded(decoder, other).empty()) << type;
    }
}

TEST(AlsaEventCodec, PoolCellsAreCountedAsTheKernelCountsThem) {
    snd_seq_event_t event{};
    EXPECT_EQ(alsaEventCells(event), 1u);
    event.flags = SND_SEQ_EVENT_LENGTH_VARIABLE;
    for (const auto& [length, cells] : {std::pair{0u, 1u}, {1u, 2u}, {28u, 2u}, {29u, 3u}, {256u, 11u}}) {
        event.data.ext.len = length;
        EXPECT_EQ(alsaEventCells(event), cells) << length;
    }
}

TEST(AlsaReceiveBatch, GroupsPerPortAndSourceInArrivalOrderAndStaysBounded) {
    AlsaReceiveBatch batch;
    EXPECT_TRUE(batch.empty());
    batch.add(1, {20, 0}, Bytes{0x90, 0x3C, 0x64});
    batch.add(2, {20, 0}, Bytes{0xB0, 0x07, 0x64});
    batch.add(1, {24, 0}, Bytes{0xC0, 0x01});
    batch.add(1, {20, 0}, Bytes{0x80, 0x3C, 0x00});
    ASSERT_EQ(batch.groups().size(), 3u);
    EXPECT_EQ(batch.groups()[0].source, (AlsaAddress{20, 0}));
    EXPECT_EQ(batch.groups()[0].packets, (MIDIPacketList{{0x90, 0x3C, 0x64}, {0x80, 0x3C, 0x00}}));
    EXPECT_EQ(batch.groups()[1].port, 2);
    EXPECT_EQ(batch.groups()[2].source, (AlsaAddress{24, 0}));
    batch.clear();
    EXPECT_TRUE(batch.empty());
    // Storage handed back is reused without its old bytes showing through.
    batch.add(3, {20, 0}, Bytes{0xC0, 0x05});
    ASSERT_EQ(batch.groups().size(), 1u);
    EXPECT_EQ(batch.groups()[0].port, 3);
    EXPECT_EQ(batch.groups()[0].packets, (MIDIPacketList{{0xC0, 0x05}}));
    batch.clear();

    for (std::size_t i = 1; i < AlsaReceiveBatch::kMaxEvents; ++i)
        ASSERT_FALSE(batch.add(1, {20, 0}, Bytes{0xF8}));
    EXPECT_TRUE(batch.add(1, {20, 0}, Bytes{0xF8}));
    batch.clear();
    EXPECT_TRUE(batch.add(1, {20, 0}, Bytes(AlsaReceiveBatch::kMaxBytes, 0x01)));
    // Clearing starts both counts afresh: one byte short of the byte cap is not full.
    batch.clear();
    EXPECT_FALSE(batch.add(1, {20, 0}, Bytes(AlsaReceiveBatch::kMaxBytes - 1, 0x01)));
}

TEST(AlsaSubscriberCache, ACarriedCreditHoldsUntilTheNextAnnouncement) {
    AlsaSubscriberCache cache;
    EXPECT_EQ(cache.credit(130), 0u);
    cache.storeCredit(130, cache.generation(), 99);
    cache.storeCredit(131, cache.generation(), 5);
    cache.storeCredit(130, cache.generation(), 98);
    EXPECT_EQ(cache.credit(130), 98u);
    EXPECT_EQ(cache.credit(131), 5u);
    // A client may have left and another taken its number: nothing is trusted.
    cache.invalidate();
    EXPECT_EQ(cache.credit(130), 0u);
    EXPECT_EQ(cache.credit(131), 0u);
}

}  // namespace
}  // namespace velorin
