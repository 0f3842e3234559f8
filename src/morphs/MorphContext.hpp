// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string_view>

#include "log/LogEntry.hpp"
#include "morphs/MorphLog.hpp"

namespace velorin {

// What a morph is given with each event. The string views are valid for the
// duration of the call only; a morph that keeps one copies it.
struct MorphContext {
    double currentBeat = 0;
    bool isLinkTransportRunning = false;
    std::optional<std::string_view> sourceName;
    std::optional<std::string_view> inputGroupKey;
    const MorphLog* logger = nullptr;

    void log(std::string_view text) const {
        if (logger) logger->log(text);
    }
    void logMessage(MessageType type, std::optional<std::string_view> title, std::string_view text) const {
        if (logger) logger->logMessage(type, title, text);
    }
};

}  // namespace velorin
