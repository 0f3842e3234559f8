// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/TerminalLogMirror.hpp"

namespace velorin {

namespace {

void appendEscape(std::string& out, unsigned value) {
    static const char* const digits = "0123456789ABCDEF";
    out += "\\x";
    out += digits[(value >> 4) & 0xF];
    out += digits[value & 0xF];
}

}  // namespace

std::string terminalLogLine(const LogEntry& entry) {
    const std::string line = formattedLine(entry);
    std::string out;
    out.reserve(line.size() + 1);
    for (std::size_t i = 0; i < line.size(); ++i) {
        const auto byte = static_cast<unsigned char>(line[i]);
        if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\r') {
            out += "\\r";
        } else if ((byte < 0x20 && byte != '\t') || byte == 0x7F) {
            appendEscape(out, byte);
        } else if (byte == 0xC2 && i + 1 < line.size() && static_cast<unsigned char>(line[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(line[i + 1]) <= 0x9F) {
            // U+0080…U+009F, the C1 controls, in UTF-8.
            appendEscape(out, static_cast<unsigned char>(line[i + 1]));
            ++i;
        } else {
            out += static_cast<char>(byte);
        }
    }
    out += '\n';
    return out;
}

void writeTerminalLogLine(const LogEntry& entry, std::FILE* stream) {
    const std::string line = terminalLogLine(entry);
    std::fwrite(line.data(), 1, line.size(), stream);
}

}  // namespace velorin
