// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdio>
#include <string>

#include "log/LogEntry.hpp"

namespace velorin {

// The line written to standard error for one log entry: the log's text-line
// format with control characters shown as escapes ("\n", "\r", "\x1B"), so that
// each entry stays one line and text from outside (device and endpoint names,
// SysEx dumps) can neither forge further lines nor drive the terminal.
// Tabs are kept. Ends with a line feed.
std::string terminalLogLine(const LogEntry& entry);

// Writes terminalLogLine(entry) to `stream` in one call.
void writeTerminalLogLine(const LogEntry& entry, std::FILE* stream);

}  // namespace velorin
