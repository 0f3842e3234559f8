// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/alsa/AlsaEventCodec.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>

namespace velorin {

namespace {

constexpr std::uint8_t kSysExStart = 0xF0;
constexpr std::uint8_t kSysExEnd = 0xF7;
// Ordinary messages are at most three bytes; the encoder never sees SysEx.
constexpr std::size_t kEncoderBufferSize = 16;
// The longest decoded event is a 14-bit (N)RPN: four controller messages.
constexpr std::size_t kDecodeBufferSize = 32;

bool isVariable(const snd_seq_event_t& event) {
    return (event.flags & SND_SEQ_EVENT_LENGTH_MASK) == SND_SEQ_EVENT_LENGTH_VARIABLE;
}

constexpr std::uint8_t kDataMask = 0x7F;
constexpr int kPitchCentre = 8192;

// The bytes of a channel voice event whose fields are all in range, else
// none (libasound's decoder then handles it as it always did).
std::size_t channelVoiceBytes(const snd_seq_event_t& event, std::array<std::uint8_t, 3>& out) {
    const auto inRange = [](unsigned value) { return value <= kDataMask; };
    const auto status = [](unsigned kind, unsigned channel) {
        return static_cast<std::uint8_t>(kind | channel);
    };
    switch (event.type) {
        case SND_SEQ_EVENT_NOTEOFF:
        case SND_SEQ_EVENT_NOTEON:
        case SND_SEQ_EVENT_KEYPRESS: {
            const auto& note = event.data.note;
            if (note.channel > 0x0F || !inRange(note.note) || !inRange(note.velocity)) return 0;
            const unsigned kind = event.type == SND_SEQ_EVENT_NOTEOFF  ? 0x80
                                  : event.type == SND_SEQ_EVENT_NOTEON ? 0x90
                                                                       : 0xA0;
            out = {status(kind, note.channel), note.note, note.velocity};
            return 3;
        }
        case SND_SEQ_EVENT_CONTROLLER: {
            const auto& control = event.data.control;
            if (control.channel > 0x0F || !inRange(control.param) || control.value < 0 ||
                control.value > kDataMask)
                return 0;
            out = {status(0xB0, control.channel), static_cast<std::uint8_t>(control.param),
                   static_cast<std::uint8_t>(control.value)};
            return 3;
        }
        case SND_SEQ_EVENT_PGMCHANGE:
        case SND_SEQ_EVENT_CHANPRESS: {
            const auto& control = event.data.control;
            if (control.channel > 0x0F || control.value < 0 || control.value > kDataMask) return 0;
            out = {status(event.type == SND_SEQ_EVENT_PGMCHANGE ? 0xC0 : 0xD0, control.channel),
                   static_cast<std::uint8_t>(control.value), 0};
            return 2;
        }
        case SND_SEQ_EVENT_PITCHBEND: {
            const auto& control = event.data.control;
            if (control.channel > 0x0F || control.value < -kPitchCentre || control.value >= kPitchCentre)
                return 0;
            const int value = control.value + kPitchCentre;
            out = {status(0xE0, control.channel), static_cast<std::uint8_t>(value & kDataMask),
                   static_cast<std::uint8_t>(value >> 7)};
            return 3;
        }
        default:
            return 0;
    }
}

}  // namespace

std::optional<snd_seq_event_t> alsaChannelVoiceEvent(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 2 || bytes[0] < 0x80 || bytes[0] >= 0xF0) return std::nullopt;
    const std::uint8_t kind = bytes[0] & 0xF0;
    const std::size_t length = kind == 0xC0 || kind == 0xD0 ? 2 : 3;
    if (bytes.size() != length) return std::nullopt;
    if (bytes[1] > kDataMask || (length == 3 && bytes[2] > kDataMask)) return std::nullopt;
    snd_seq_event_t event{};
    const auto channel = static_cast<unsigned char>(bytes[0] & 0x0F);
    const unsigned char first = bytes[1];
    const unsigned char second = length == 3 ? bytes[2] : 0;
    switch (kind) {
        case 0x80:
        case 0x90:
        case 0xA0:
            event.type = kind == 0x80   ? SND_SEQ_EVENT_NOTEOFF
                         : kind == 0x90 ? SND_SEQ_EVENT_NOTEON
                                        : SND_SEQ_EVENT_KEYPRESS;
            event.data.note.channel = channel;
            event.data.note.note = first;
            event.data.note.velocity = second;
            break;
        case 0xB0:
            event.type = SND_SEQ_EVENT_CONTROLLER;
            event.data.control.channel = channel;
            event.data.control.param = first;
            event.data.control.value = second;
            break;
        case 0xC0:
        case 0xD0:
            event.type = kind == 0xC0 ? SND_SEQ_EVENT_PGMCHANGE : SND_SEQ_EVENT_CHANPRESS;
            event.data.control.channel = channel;
            event.data.control.value = first;
            break;
        default:  // 0xE0
            event.type = SND_SEQ_EVENT_PITCHBEND;
            event.data.control.channel = channel;
            event.data.control.value = (static_cast<int>(second) << 7 | first) - kPitchCentre;
            break;
    }
    return event;
}

AlsaEventEncoder::AlsaEventEncoder() {
    status_ = snd_midi_event_new(kEncoderBufferSize, &coder_);
    if (status_ < 0) coder_ = nullptr;
}

AlsaEventEncoder::~AlsaEventEncoder() {
    if (coder_ != nullptr) snd_midi_event_free(coder_);
}

MIDIStatus AlsaEventEncoder::encode(std::span<const std::uint8_t> bytes, AlsaEventSink& sink) {
    // A note or controller, the common case, skips the byte encoder.
    if (auto event = alsaChannelVoiceEvent(bytes)) return sink.put(*event);
    if (coder_ == nullptr) return status_ < 0 ? status_ : -ENOMEM;
    // A message cut short by an earlier call must not swallow this one.
    snd_midi_event_reset_encode(coder_);
    std::size_t i = 0;
    while (i < bytes.size()) {
        if (bytes[i] == kSysExStart) {
            const auto end =
                std::find(bytes.begin() + static_cast<std::ptrdiff_t>(i) + 1, bytes.end(), kSysExEnd);
            const std::size_t stop =
                end == bytes.end() ? bytes.size() : static_cast<std::size_t>(end - bytes.begin()) + 1;
            for (std::size_t begin = i; begin < stop; begin += kSysExChunkSize) {
                const std::size_t length = std::min(kSysExChunkSize, stop - begin);
                snd_seq_event_t event{};
                event.type = SND_SEQ_EVENT_SYSEX;
                event.flags = SND_SEQ_EVENT_LENGTH_VARIABLE;
                event.data.ext.len = static_cast<unsigned int>(length);
                // The sequencer only reads the data.
                event.data.ext.ptr = const_cast<std::uint8_t*>(bytes.data() + begin);
                if (const MIDIStatus status = sink.put(event); status != 0) return status;
            }
            snd_midi_event_reset_encode(coder_);
            i = stop;
            continue;
        }
        snd_seq_event_t event{};
        if (snd_midi_event_encode_byte(coder_, bytes[i], &event) == 1) {
            if (const MIDIStatus status = sink.put(event); status != 0) return status;
        }
        ++i;
    }
    return 0;
}

AlsaEventDecoder::AlsaEventDecoder() {
    status_ = snd_midi_event_new(kDecodeBufferSize, &coder_);
    if (status_ < 0) {
        coder_ = nullptr;
        return;
    }
    snd_midi_event_no_status(coder_, 1);
}

AlsaEventDecoder::~AlsaEventDecoder() {
    if (coder_ != nullptr) snd_midi_event_free(coder_);
}

std::span<const std::uint8_t> AlsaEventDecoder::decode(const snd_seq_event_t& event) {
    if (event.type == SND_SEQ_EVENT_SYSEX) {
        if (!isVariable(event) || event.data.ext.ptr == nullptr) return {};
        return {static_cast<const std::uint8_t*>(event.data.ext.ptr), event.data.ext.len};
    }
    std::array<std::uint8_t, 3> voice{};
    if (const std::size_t length = channelVoiceBytes(event, voice); length > 0) {
        std::copy_n(voice.begin(), length, buffer_.begin());
        return {buffer_.data(), length};
    }
    if (coder_ == nullptr) return {};
    const long length =
        snd_midi_event_decode(coder_, buffer_.data(), static_cast<long>(buffer_.size()), &event);
    if (length <= 0) return {};
    return {buffer_.data(), static_cast<std::size_t>(length)};
}

namespace {

// Spare packet storage kept between passes: enough for a full batch of short
// messages; a long one's storage is given back at once.
constexpr std::size_t kMaxSpareCapacity = 1024;

}  // namespace

bool AlsaReceiveBatch::add(int port, AlsaAddress source, std::span<const std::uint8_t> packet) {
    bytes_ += packet.size();
    ++events_;
    Group* group = nullptr;
    for (Group& candidate : groups()) {
        if (candidate.port == port && candidate.source == source) {
            group = &candidate;
            break;
        }
    }
    if (group == nullptr) {
        if (used_ == groups_.size()) groups_.emplace_back();
        group = &groups_[used_++];
        group->port = port;
        group->source = source;
    }
    if (spares_.empty()) {
        group->packets.emplace_back(packet.begin(), packet.end());
    } else {
        group->packets.push_back(std::move(spares_.back()));
        spares_.pop_back();
        group->packets.back().assign(packet.begin(), packet.end());
    }
    return events_ >= kMaxEvents || bytes_ >= kMaxBytes;
}

void AlsaReceiveBatch::clear() {
    for (Group& group : groups()) {
        for (std::vector<std::uint8_t>& packet : group.packets) {
            if (spares_.size() < kMaxEvents && packet.capacity() <= kMaxSpareCapacity) {
                packet.clear();
                spares_.push_back(std::move(packet));
            }
        }
        group.packets.clear();
    }
    used_ = 0;
    events_ = 0;
    bytes_ = 0;
}

}  // namespace velorin
