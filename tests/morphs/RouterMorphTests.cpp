// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "morphs/RouterMorph.hpp"

using namespace velorin;

namespace {

MorphActions route(const MIDIEvent& event) {
    RouterMorph router;
    MorphActions out;
    router.process(event, MorphContext{}, out);
    return out;
}

MIDIEvent sysex(ByteArray bytes) {
    return *makeSystemExclusive(std::move(bytes));
}

}  // namespace

TEST(RouterMorph, PassesEventsUnchangedToOutputs) {
    MIDIEvent on = MIDIEvent::noteOnEvent(60, 100, 9);
    on.timestamp = 12.5;
    MIDIEvent bend{MIDIEventType::pitchBend, 12345, 0, 1, 0, {}};
    MIDIEvent program{MIDIEventType::programChange, 42, 0, 2, 0, {}};
    for (const MIDIEvent& e : {on, bend, program}) {
        auto out = route(e);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0], MorphAction::send(e));
        EXPECT_TRUE(out[0].sendsEvent);
        EXPECT_EQ(out[0].outputGroupKey, "outputs");
    }
}

TEST(RouterMorph, ConsumesDeviceControlMessages) {
    EXPECT_TRUE(route(sysex({0xF0, 0x00, 0x01, 0x7E, 0x01, 0x02, 0x00, 0x00, 0x7F, 0xF7})).empty());
    EXPECT_TRUE(route(sysex({0xF0, 0x00, 0x01, 0x7E, 0x01, 0x01, 0x7F, 0x05, 0x00, 0xF7})).empty());
}

TEST(RouterMorph, PassesOtherSysExUnchanged) {
    for (const ByteArray& bytes :
         {ByteArray{0xF0, 0x00, 0x01, 0x7E, 0x01, 0x02, 0x00, 0x00, 0x7F, 0x00, 0xF7},
          ByteArray{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7},
          ByteArray{0xF0, 0x00, 0x01, 0x7E, 0x02, 0x02, 0x00, 0x00, 0x7F, 0xF7},
          ByteArray{0xF0, 0x00, 0x01, 0x7E, 0x01, 0x02, 0x00, 0x80, 0x7F, 0xF7}}) {
        auto out = route(sysex(bytes));
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].event.data, bytes);
    }
}
