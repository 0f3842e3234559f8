// SPDX-License-Identifier: GPL-3.0-or-later
#include "log/LogEntry.hpp"

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <random>
#include <thread>

namespace velorin {

std::string_view rawValue(MessageType type) {
    switch (type) {
        case MessageType::link:
            return "Link";
        case MessageType::midi:
            return "MIDI";
        case MessageType::midiIn:
            return "MIDI In";
        case MessageType::midiOut:
            return "MIDI Out";
        case MessageType::vlUSB:
            return "VL USB";
        case MessageType::morph:
            return "Morph";
        case MessageType::morphs:
            return "Morphs";
        case MessageType::scheduler:
            return "Scheduler";
        case MessageType::clock:
            return "Clock";
        case MessageType::networkMIDI:
            return "Network MIDI";
        case MessageType::message:
            return "Message";
    }
    return "Message";
}

namespace {

// splitmix64: a fast, well-mixed generator, one per thread, seeded once.
std::uint64_t nextRandom() {
    thread_local std::uint64_t state = [] {
        std::random_device device;
        std::uint64_t seed = (std::uint64_t{device()} << 32) ^ device();
        return seed ^ std::hash<std::thread::id>{}(std::this_thread::get_id());
    }();
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Pads with spaces or cuts to exactly `width` characters, counting UTF-8 code
// points so a cut never splits a character.
std::string fitted(std::string_view text, std::size_t width) {
    std::string out;
    out.reserve(width + 4);
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t len = 1;
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0xF0)
            len = 4;
        else if (c >= 0xE0)
            len = 3;
        else if (c >= 0xC0)
            len = 2;
        if (chars == width) return out;
        out.append(text.substr(i, len));
        ++chars;
        i += len;
    }
    out.append(width - chars, ' ');
    return out;
}

std::string paddedAtLeast(std::string text, std::size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

std::string printed(const char* format, long long value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

}  // namespace

LogEntryID LogEntryID::random() {
    return LogEntryID{{nextRandom(), nextRandom()}};
}

LogEntry LogEntry::message(std::string text) {
    return LogEntry{LogEntryID::random(), std::chrono::system_clock::now(), Message{std::move(text)}};
}

LogEntry LogEntry::typedMessage(MessageType type, std::optional<std::string> source, std::string text) {
    return LogEntry{LogEntryID::random(), std::chrono::system_clock::now(),
                    TypedMessage{type, std::move(source), std::move(text)}};
}

LogEntry LogEntry::midi(MIDIEventLogDirection direction, std::optional<std::string> source, MIDIEvent event) {
    return LogEntry{LogEntryID::random(), std::chrono::system_clock::now(),
                    MIDI{direction, std::move(source), std::move(event)}};
}

ParsedTaggedMessage parseTaggedMessage(std::string_view text) {
    const ParsedTaggedMessage whole{MessageType::message, std::nullopt, std::string(text)};
    if (text.empty() || text.front() != '[') return whole;
    const auto close = text.find(']');
    if (close == std::string_view::npos) return whole;
    const std::string_view tag = text.substr(1, close - 1);
    std::string_view rest = text.substr(close + 1);
    const auto first = rest.find_first_not_of(" \t");
    rest = first == std::string_view::npos ? std::string_view{} : rest.substr(first);
    const auto last = rest.find_last_not_of(" \t");
    rest = last == std::string_view::npos ? std::string_view{} : rest.substr(0, last + 1);

    MessageType type = MessageType::message;
    for (auto candidate :
         {MessageType::link, MessageType::midi, MessageType::midiIn, MessageType::midiOut, MessageType::vlUSB,
          MessageType::morph, MessageType::morphs, MessageType::scheduler, MessageType::clock,
          MessageType::networkMIDI, MessageType::message}) {
        if (rawValue(candidate) == tag) {
            type = candidate;
            break;
        }
    }
    return ParsedTaggedMessage{type, std::nullopt, rest.empty() ? std::string(text) : std::string(rest)};
}

std::string sourceLabel(std::string_view label, const std::optional<std::string>& source) {
    std::string out(label);
    if (source && !source->empty()) {
        if (!out.empty()) out += ' ';
        out += *source;
    }
    return out;
}

std::string_view eventTypeName(MIDIEventType type) {
    switch (type) {
        case MIDIEventType::noteOn:
            return "Note On";
        case MIDIEventType::noteOff:
            return "Note Off";
        case MIDIEventType::polyPressure:
            return "Poly Pressure";
        case MIDIEventType::cc:
            return "Control";
        case MIDIEventType::programChange:
            return "Program";
        case MIDIEventType::channelPressure:
            return "Pressure";
        case MIDIEventType::pitchBend:
            return "Pitch Bend";
        case MIDIEventType::systemExclusive:
            return "SysEx";
        case MIDIEventType::system:
            return "System";
    }
    return "";
}

std::string noteName(std::int64_t note) {
    static constexpr const char* names[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    // Floor division keeps a negative value (from a morph's arithmetic) in range.
    std::int64_t octave = note / 12;
    std::int64_t index = note % 12;
    if (index < 0) {
        index += 12;
        --octave;
    }
    return std::string(names[index]) + std::to_string(octave - 2);
}

std::string dataOneText(MIDIEventType type, std::int64_t note) {
    switch (type) {
        case MIDIEventType::noteOn:
        case MIDIEventType::noteOff:
            return printed("%03lld", note) + " " + noteName(note);
        case MIDIEventType::channelPressure:
            return {};
        case MIDIEventType::pitchBend:
            return printed("%05lld", note);
        default:
            return printed("%03lld", note);
    }
}

std::string dataTwoText(MIDIEventType type, std::int64_t velocity) {
    switch (type) {
        case MIDIEventType::programChange:
        case MIDIEventType::pitchBend:
            return {};
        default:
            return printed("%03lld", velocity);
    }
}

std::string formattedTime(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto sinceEpoch = time.time_since_epoch();
    auto secs = duration_cast<seconds>(sinceEpoch);
    auto millis = duration_cast<milliseconds>(sinceEpoch - secs).count();
    if (millis < 0) {
        millis += 1000;
        secs -= seconds(1);
    }
    const std::time_t t = static_cast<std::time_t>(secs.count());
    std::tm local{};
    localtime_r(&t, &local);
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(millis));
    return buffer;
}

std::string formattedLine(const LogEntry& entry) {
    std::string line = formattedTime(entry.timestamp);
    line += ' ';
    if (const auto* m = std::get_if<LogEntry::Message>(&entry.kind)) {
        const auto parsed = parseTaggedMessage(m->text);
        line += fitted(sourceLabel(rawValue(parsed.type), std::nullopt), 35);
        line += ' ';
        line += parsed.text;
    } else if (const auto* t = std::get_if<LogEntry::TypedMessage>(&entry.kind)) {
        line += fitted(sourceLabel(rawValue(t->type), t->source), 35);
        line += ' ';
        line += t->text;
    } else if (const auto* e = std::get_if<LogEntry::MIDI>(&entry.kind)) {
        const bool isInput = e->direction == MIDIEventLogDirection::input;
        std::optional<std::string> source = e->source;
        if (!source && !isInput) source = "Velorin Server";
        line += fitted(sourceLabel(isInput ? "IN" : "OUT", source), 35);
        line += ' ';
        line += fitted(eventTypeName(e->event.type), 10);
        line += ' ';
        line += printed("ch=%02lld", static_cast<long long>(e->event.channel) + 1);
        line += ' ';
        line += "d1=" + paddedAtLeast(dataOneText(e->event.type, e->event.note), 3);
        line += ' ';
        line += "d2=" + paddedAtLeast(dataTwoText(e->event.type, e->event.velocity), 3);
    }
    return line;
}

}  // namespace velorin
