// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "ui/TerminalLogMirror.hpp"

using velorin::LogEntry;

TEST(TerminalLogMirror, PlainEntriesAreTheTextLineFollowedByOneLineFeed) {
    const auto entry = LogEntry::message("[Link] Tempo: 120.0 BPM");
    EXPECT_EQ(velorin::terminalLogLine(entry), velorin::formattedLine(entry) + "\n");
    const auto midi = LogEntry::midi(velorin::MIDIEventLogDirection::output, std::nullopt,
                                     velorin::MIDIEvent::noteOnEvent(60, 100, 0));
    EXPECT_EQ(velorin::terminalLogLine(midi), velorin::formattedLine(midi) + "\n");
}

TEST(TerminalLogMirror, TextFromOutsideCannotForgeLinesOrDriveTheTerminal) {
    const auto forged =
        LogEntry::typedMessage(velorin::MessageType::midiIn, "Evil\x1b[2J Device",
                               "line one\n12:00:00.000 MIDI fake\r\x07\x7f\ttab caf\xc3\xa9 \xc2\x9b");
    const std::string line = velorin::terminalLogLine(forged);
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    EXPECT_EQ(line.find('\x1b'), std::string::npos);
    EXPECT_EQ(line.find('\r'), std::string::npos);
    EXPECT_NE(line.find("Evil\\x1B[2J Device"), std::string::npos);
    EXPECT_NE(line.find("line one\\n12:00:00.000 MIDI fake\\r\\x07\\x7F\ttab caf\xc3\xa9 \\x9B\n"),
              std::string::npos)
        << line;
}
