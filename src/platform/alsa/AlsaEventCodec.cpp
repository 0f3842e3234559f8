// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/alsa/AlsaEventCodec.hpp"

#include <algorithm>
#include <array>
#include <cerrno>

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

}  // namespace

AlsaEventEncoder::AlsaEventEncoder() {
    status_ = snd_midi_event_new(kEncoderBufferSize, &coder_);
    if (status_ < 0) coder_ = nullptr;
}

AlsaEventEncoder::~AlsaEventEncoder() {
    if (coder_ != nullptr) snd_midi_event_free(coder_);
}

MIDIStatus AlsaEventEncoder::encode(std::span<const std::uint8_t> bytes, AlsaEventSink& sink) {
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

std::vector<std::uint8_t> AlsaEventDecoder::decode(const snd_seq_event_t& event) {
    if (event.type == SND_SEQ_EVENT_SYSEX) {
        if (!isVariable(event) || event.data.ext.ptr == nullptr) return {};
        const auto* data = static_cast<const std::uint8_t*>(event.data.ext.ptr);
        return {data, data + event.data.ext.len};
    }
    if (coder_ == nullptr) return {};
    std::array<unsigned char, kDecodeBufferSize> buffer{};
    const long length =
        snd_midi_event_decode(coder_, buffer.data(), static_cast<long>(buffer.size()), &event);
    if (length <= 0) return {};
    return {buffer.begin(), buffer.begin() + length};
}

std::size_t alsaEventCells(const snd_seq_event_t& event) {
    if (!isVariable(event)) return 1;
    constexpr std::size_t cell = sizeof(snd_seq_event_t);
    return 1 + (event.data.ext.len + cell - 1) / cell;
}

bool AlsaReceiveBatch::add(int port, AlsaAddress source, std::vector<std::uint8_t>&& packet) {
    bytes_ += packet.size();
    ++events_;
    auto group = std::find_if(groups_.begin(), groups_.end(),
                              [&](const Group& g) { return g.port == port && g.source == source; });
    if (group == groups_.end()) {
        groups_.push_back({port, source, {}});
        group = groups_.end() - 1;
    }
    group->packets.push_back(std::move(packet));
    return events_ >= kMaxEvents || bytes_ >= kMaxBytes;
}

void AlsaReceiveBatch::clear() {
    groups_.clear();
    events_ = 0;
    bytes_ = 0;
}

}  // namespace velorin
