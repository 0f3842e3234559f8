// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "morphs/DeviceControlMessage.hpp"
#include "morphs/VelorinSysExReference.hpp"

namespace velorin {
namespace {

MIDIEvent sysex(ByteArray bytes) {
    MIDIEvent e;
    e.type = MIDIEventType::systemExclusive;
    e.data = std::move(bytes);
    return e;
}

MIDIEvent looper(std::uint8_t tt, std::uint8_t pp, std::uint8_t vv) {
    return sysex({0xF0, 0x00, 0x01, 0x7E, 0x01, 0x01, tt, pp, vv, 0xF7});
}

MIDIEvent octave(std::uint8_t tt, std::uint8_t pp, std::uint8_t vv) {
    return sysex({0xF0, 0x00, 0x01, 0x7E, 0x01, 0x02, tt, pp, vv, 0xF7});
}

TEST(DeviceControlMessage, RecognisesAnyProtocolByteButOnlyTheExactShape) {
    EXPECT_EQ(decodeDeviceControlMessage(sysex({0xF0, 0x00, 0x01, 0x7E, 0x01, 0x05, 0x00, 0x00, 0x00, 0xF7})),
              (DeviceControlFields{0x05, 0x00, 0x00, 0x00}));
    EXPECT_FALSE(decodeDeviceControlMessage(looper(0x00, 0x00, 0x80)));
    EXPECT_FALSE(
        decodeDeviceControlMessage(sysex({0xF0, 0x00, 0x01, 0x7E, 0x02, 0x02, 0x00, 0x00, 0x7F, 0xF7})));
    EXPECT_FALSE(decodeDeviceControlMessage(
        sysex({0xF0, 0x00, 0x01, 0x7E, 0x01, 0x02, 0x00, 0x00, 0x7F, 0x00, 0xF7})));
    EXPECT_FALSE(decodeDeviceControlMessage(sysex({0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7})));
    EXPECT_FALSE(
        decodeDeviceControlMessage(sysex({0xF0, 0x00, 0x01, 0x7E, 0x01, 0x01, 0x00, 0x00, 0x7F, 0xF0})));
    MIDIEvent note = MIDIEvent::noteOnEvent(60, 100, 0);
    note.data = looper(0, 0, 0x7F).data;  // data on a non-SysEx event is not a message
    EXPECT_FALSE(decodeDeviceControlMessage(note));
}

TEST(DeviceControlMessage, DecodesLoopLengthFromSharedTargetOnly) {
    EXPECT_EQ(decodeLinkLooperControl(looper(0x7F, 0x03, 0x00)), LinkLooperControl::setLoopLength(1));
    EXPECT_EQ(decodeLinkLooperControl(looper(0x7F, 0x03, 0x07)), LinkLooperControl::setLoopLength(8));
    EXPECT_EQ(decodeLinkLooperControl(looper(0x7F, 0x03, 0x3F)), LinkLooperControl::setLoopLength(64));
    EXPECT_EQ(decodeLinkLooperControl(looper(0x7F, 0x03, 0x7F)), LinkLooperControl::setLoopLength(64));
    EXPECT_FALSE(decodeLinkLooperControl(looper(0x00, 0x03, 0x07)));
    EXPECT_FALSE(decodeLinkLooperControl(looper(0x7F, 0x00, 0x7F)));
}

TEST(DeviceControlMessage, DecodesLooperSwitchVolumeAndMute) {
    EXPECT_EQ(decodeLinkLooperControl(looper(0x01, 0x00, 0x40)), LinkLooperControl::setLooper(1, true));
    EXPECT_EQ(decodeLinkLooperControl(looper(0x01, 0x00, 0x3F)), LinkLooperControl::setLooper(1, false));
    EXPECT_EQ(decodeLinkLooperControl(looper(0x02, 0x01, 0x40)), LinkLooperControl::setVolume(2, 64));
    EXPECT_EQ(decodeLinkLooperControl(looper(0x03, 0x02, 0x7F)), LinkLooperControl::setMuted(3, true));
    EXPECT_EQ(decodeLinkLooperControl(looper(0x03, 0x02, 0x00)), LinkLooperControl::setMuted(3, false));
    EXPECT_FALSE(decodeLinkLooperControl(looper(0x04, 0x00, 0x7F)));
    EXPECT_FALSE(decodeLinkLooperControl(looper(0x7E, 0x00, 0x7F)));
    EXPECT_FALSE(decodeLinkLooperControl(looper(0x00, 0x04, 0x7F)));
    EXPECT_FALSE(decodeLinkLooperControl(octave(0x00, 0x00, 0x7F)));
}

TEST(DeviceControlMessage, DecodesOctaveLayerSwitches) {
    EXPECT_EQ(decodeOctaveLayerControl(octave(0x02, 0x00, 0x41)),
              std::make_pair(OctaveLayerKind::plusOne, true));
    EXPECT_EQ(decodeOctaveLayerControl(octave(0x00, 0x00, 0x3F)),
              std::make_pair(OctaveLayerKind::minusTwo, false));
    EXPECT_EQ(decodeOctaveLayerControl(octave(0x03, 0x00, 0x7F)),
              std::make_pair(OctaveLayerKind::plusTwo, true));
    EXPECT_FALSE(decodeOctaveLayerControl(octave(0x02, 0x01, 0x7F)));
    EXPECT_FALSE(decodeOctaveLayerControl(octave(0x04, 0x00, 0x7F)));
    EXPECT_FALSE(decodeOctaveLayerControl(looper(0x00, 0x00, 0x7F)));
}

TEST(DeviceControlMessage, EncodesLooperStateMessages) {
    const auto event = makeDeviceControlEvent(0x02, 0x01, 0x60, 12.5);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->type, MIDIEventType::systemExclusive);
    EXPECT_EQ(event->data, (ByteArray{0xF0, 0x00, 0x01, 0x7E, 0x01, 0x01, 0x02, 0x01, 0x60, 0xF7}));
    EXPECT_EQ(event->timestamp, 12.5);
    EXPECT_EQ(decodeLinkLooperControl(*event), LinkLooperControl::setVolume(2, 96));
    EXPECT_FALSE(makeDeviceControlEvent(0x00, 0x01, 0x80, 0));
}

TEST(DeviceControlMessage, WindowKindNumbersMapToCommands) {
    EXPECT_EQ(LinkLooperControl::fromKindNumber(2, 1, 1), LinkLooperControl::setLooper(1, true));
    EXPECT_EQ(LinkLooperControl::fromKindNumber(1, 0, 0), LinkLooperControl::setMuted(0, false));
    EXPECT_EQ(LinkLooperControl::fromKindNumber(3, 16, 0), LinkLooperControl::setLoopLength(16));
    EXPECT_FALSE(LinkLooperControl::fromKindNumber(4, 0, 0));
    EXPECT_FALSE(LinkLooperControl::fromKindNumber(-1, 0, 0));
}

// Every example packet on the reference sheets decodes to what its label says.
TEST(DeviceControlMessage, ReferenceSheetExamplesDecodeAsLabelled) {
    auto parse = [](const std::string& text) {
        ByteArray bytes;
        for (std::size_t i = 0; i + 1 < text.size() + 1; i += 3) {
            bytes.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
        }
        return sysex(bytes);
    };
    std::vector<VelorinSysExExample> looperExamples;
    for (const auto& section : linkLooperSysExReference().sections) {
        for (const auto& item : section.items) {
            if (const auto* ex = std::get_if<VelorinSysExExample>(&item)) looperExamples.push_back(*ex);
        }
    }
    ASSERT_EQ(looperExamples.size(), 7u);
    EXPECT_EQ(decodeLinkLooperControl(parse(looperExamples[0].packet)),
              LinkLooperControl::setLooper(0, true));
    EXPECT_EQ(decodeLinkLooperControl(parse(looperExamples[2].packet)), LinkLooperControl::setVolume(2, 64));
    EXPECT_EQ(decodeLinkLooperControl(parse(looperExamples[3].packet)), LinkLooperControl::setMuted(3, true));
    EXPECT_EQ(decodeLinkLooperControl(parse(looperExamples[4].packet)), LinkLooperControl::setLoopLength(8));
    EXPECT_EQ(decodeLinkLooperControl(parse(looperExamples[6].packet)), LinkLooperControl::setLoopLength(64));

    const auto& octaveSheet = octaveLayerSysExReference();
    EXPECT_EQ(octaveSheet.title, "OCTAVE LAYER SYSEX");
    ASSERT_EQ(octaveSheet.sections.size(), 4u);
    const auto& examples = octaveSheet.sections[3].items;
    ASSERT_EQ(examples.size(), 5u);
    EXPECT_EQ(decodeOctaveLayerControl(parse(std::get<VelorinSysExExample>(examples[3]).packet)),
              std::make_pair(OctaveLayerKind::plusOne, true));
    EXPECT_EQ(decodeOctaveLayerControl(parse(std::get<VelorinSysExExample>(examples[4]).packet)),
              std::make_pair(OctaveLayerKind::plusTwo, false));
}

}  // namespace
}  // namespace velorin
