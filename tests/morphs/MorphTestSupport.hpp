// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "morphs/Morph.hpp"
#include "morphs/MorphLog.hpp"

namespace velorin::testing {

// Records what morphs write to the log.
class RecordingMorphLog final : public MorphLog {
public:
    struct Line {
        std::optional<MessageType> type;  // absent for plain lines
        std::optional<std::string> title;
        std::string text;
        friend bool operator==(const Line&, const Line&) = default;
    };
    void log(std::string_view text) const override {
        lines.push_back({std::nullopt, std::nullopt, std::string(text)});
    }
    void logMessage(MessageType type, std::optional<std::string_view> title,
                    std::string_view text) const override {
        lines.push_back({type, title ? std::optional<std::string>(*title) : std::nullopt, std::string(text)});
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& l : lines) out.push_back(l.text);
        return out;
    }
    mutable std::vector<Line> lines;
};

inline MorphContext contextWith(const MorphLog& log, double beat = 0, bool running = false,
                                std::optional<std::string_view> group = std::nullopt) {
    MorphContext c;
    c.currentBeat = beat;
    c.isLinkTransportRunning = running;
    c.inputGroupKey = group;
    c.logger = &log;
    return c;
}

inline MIDIEvent sysexEvent(ByteArray bytes, double timestamp = 0) {
    MIDIEvent e;
    e.type = MIDIEventType::systemExclusive;
    e.data = std::move(bytes);
    e.timestamp = timestamp;
    return e;
}

inline std::vector<MIDIEvent> eventsOf(const MorphActions& actions) {
    std::vector<MIDIEvent> out;
    for (const auto& a : actions) out.push_back(a.event);
    return out;
}

}  // namespace velorin::testing
