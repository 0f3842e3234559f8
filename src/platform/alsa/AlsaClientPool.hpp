// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "core/MIDIService.hpp"

namespace velorin {

// The input pool of a sequencer client, in cells (one event, or 28 bytes of
// variable data, per cell). A kernel client has no input pool (0).
struct AlsaInputPool {
    int size = 0;
    int free = 0;
};

// Reads the input pool of any client through the sequencer's file descriptor.
// libasound only reads the caller's own pool, but a sender needs the
// receiver's: a delivery that does not fit makes the kernel empty the
// receiver's whole queue, so long SysEx is paced by the room the receiver has.
MIDIStatus readAlsaInputPool(int sequencerFd, int client, AlsaInputPool& pool);

}  // namespace velorin
