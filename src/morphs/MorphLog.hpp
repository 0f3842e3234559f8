// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string_view>

#include "log/LogEntry.hpp"

namespace velorin {

// How morphs write to the log. The engine's implementation applies the
// "log all" rules (plain lines only while logging all MIDI events; typed lines
// from "FC-200 SysEx" and "Link Looper" always).
class MorphLog {
public:
    virtual ~MorphLog() = default;
    virtual void log(std::string_view text) const = 0;
    virtual void logMessage(MessageType type, std::optional<std::string_view> title,
                            std::string_view text) const = 0;
};

}  // namespace velorin
