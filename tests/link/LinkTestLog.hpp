// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "log/LogStore.hpp"

namespace velorin::test {

// Publishes what was logged so far, returns the plain message lines and
// empties the store, so each step of a test sees only its own lines.
inline std::vector<std::string> takeLines(LogStore& log) {
    log.flush();
    std::vector<std::string> lines;
    for (const auto& entry : log.entries()) {
        if (const auto* message = std::get_if<LogEntry::Message>(&entry.kind)) lines.push_back(message->text);
    }
    log.clear();
    return lines;
}

}  // namespace velorin::test
