// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <string_view>

#include "engine/MIDIEngine.hpp"

namespace velorin {

// What tests read of the engine's internals (the engine names it its friend).
struct MIDIEngineTestAccess {
    // Inputs with unfinished running status or SysEx.
    static std::size_t inputParserStateCount(const MIDIEngine& engine) {
        return engine.parserStateByInputID_.size();
    }
    // Notes an input holds through its deliveries.
    static std::size_t heldInputNoteCount(const MIDIEngine& engine, std::string_view inputKey) {
        return engine.noteLedger_.heldNoteCount(inputKey);
    }
};

}  // namespace velorin
