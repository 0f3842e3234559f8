// SPDX-License-Identifier: GPL-3.0-or-later
// Sequencer events as another client could send them, decoded to MIDI bytes and
// gathered into receive batches: arbitrary types, flags and data, variable
// data of any length. Checks that nothing crashes, every batch stays within its
// bounds, and ordinary messages survive encoding back into events.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "platform/alsa/AlsaEventCodec.hpp"

namespace {

// Collects what the encoder makes.
class CollectingSink final : public velorin::AlsaEventSink {
public:
    velorin::MIDIStatus put(snd_seq_event_t& event) override {
        events.push_back(event);
        return 0;
    }
    std::vector<snd_seq_event_t> events;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static velorin::AlsaEventDecoder decoder;
    static velorin::AlsaEventEncoder encoder;
    velorin::AlsaReceiveBatch batch;
    std::size_t at = 0;
    while (size - at >= 16) {
        snd_seq_event_t event{};
        event.type = data[at];
        const std::uint8_t control = data[at + 1];
        std::memcpy(&event.data, data + at + 2, 12);
        event.source.client = data[at + 14];
        event.source.port = data[at + 15];
        at += 16;
        if ((control & 0x01) != 0 && size - at >= 2) {
            // Variable data: a length (bounded by what is left) and the bytes after it.
            const std::size_t wanted = data[at] | (static_cast<std::size_t>(data[at + 1]) << 8);
            at += 2;
            const std::size_t length = wanted < size - at ? wanted : size - at;
            event.flags = SND_SEQ_EVENT_LENGTH_VARIABLE;
            event.data.ext.len = static_cast<unsigned int>(length);
            event.data.ext.ptr = const_cast<std::uint8_t*>(data + at);
            at += length;
        }
        // A copy: the decoder's view lasts only until its next decode.
        const std::span<const std::uint8_t> view = decoder.decode(event);
        const std::vector<std::uint8_t> bytes(view.begin(), view.end());
        if (bytes.empty()) continue;
        const bool isSysEx = event.type == SND_SEQ_EVENT_SYSEX;
        if (!isSysEx && bytes.size() <= 3 && bytes[0] >= 0x80 && bytes[0] < 0xF0) {
            // A channel message encodes back to one event that decodes to the same bytes.
            CollectingSink sink;
            encoder.encode(bytes, sink);
            if (sink.events.size() != 1) std::abort();
            const std::span<const std::uint8_t> again = decoder.decode(sink.events[0]);
            if (!std::equal(again.begin(), again.end(), bytes.begin(), bytes.end())) std::abort();
        }
        if (batch.add(control >> 4, {event.source.client, event.source.port}, bytes)) {
            std::size_t packets = 0;
            for (const auto& group : batch.groups()) packets += group.packets.size();
            if (packets > velorin::AlsaReceiveBatch::kMaxEvents) std::abort();
            batch.clear();
        }
    }
    return 0;
}
