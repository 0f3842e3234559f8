// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "midi/MIDIEvent.hpp"

namespace velorin {

// Log categories; the raw value is the display label and the bracket tag.
enum class MessageType : std::uint8_t {
    link,
    midi,
    midiIn,
    midiOut,
    vlUSB,
    morph,
    morphs,
    scheduler,
    clock,
    networkMIDI,
    message
};

std::string_view rawValue(MessageType type);

// A random 128-bit identifier, fresh per entry.
struct LogEntryID {
    std::array<std::uint64_t, 2> value{};
    static LogEntryID random();
    friend bool operator==(const LogEntryID&, const LogEntryID&) = default;
};

struct LogEntry {
    struct Message {
        std::string text;
    };
    struct TypedMessage {
        MessageType type = MessageType::message;
        std::optional<std::string> source;
        std::string text;
    };
    struct MIDI {
        MIDIEventLogDirection direction = MIDIEventLogDirection::input;
        std::optional<std::string> source;
        MIDIEvent event;
    };
    using Kind = std::variant<Message, TypedMessage, MIDI>;

    LogEntryID id;
    std::chrono::system_clock::time_point timestamp;
    Kind kind;

    // Builders: a fresh id and the current wall-clock time.
    static LogEntry message(std::string text);
    static LogEntry typedMessage(MessageType type, std::optional<std::string> source, std::string text);
    static LogEntry midi(MIDIEventLogDirection direction, std::optional<std::string> source, MIDIEvent event);
};

// Presentation helpers shared by the text export and the log pane.
struct ParsedTaggedMessage {
    MessageType type;
    std::optional<std::string> source;
    std::string text;
};
ParsedTaggedMessage parseTaggedMessage(std::string_view text);
std::string sourceLabel(std::string_view label, const std::optional<std::string>& source);
std::string_view eventTypeName(MIDIEventType type);
std::string dataOneText(MIDIEventType type, std::int64_t note);
std::string dataTwoText(MIDIEventType type, std::int64_t velocity);
std::string noteName(std::int64_t note);
std::string formattedTime(std::chrono::system_clock::time_point time);  // "HH:mm:ss.SSS", local time
std::string formattedLine(const LogEntry& entry);

}  // namespace velorin
