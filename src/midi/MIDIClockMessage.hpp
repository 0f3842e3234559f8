// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>

namespace velorin {

// The status bytes of MIDI clock and transport (System Real-Time and Song
// Position Pointer). A clock runs at 24 ticks per quarter note; Song Position
// counts sixteenth notes (six ticks) from the start of the song.
inline constexpr std::uint8_t kMIDIClockTick = 0xF8;
inline constexpr std::uint8_t kMIDIClockStart = 0xFA;
inline constexpr std::uint8_t kMIDIClockContinue = 0xFB;
inline constexpr std::uint8_t kMIDIClockStop = 0xFC;
inline constexpr std::uint8_t kMIDIClockSongPosition = 0xF2;
inline constexpr int kMIDIClockTicksPerBeat = 24;
inline constexpr int kMIDIClockSongPositionUnitsPerBeat = 4;

}  // namespace velorin
