// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/AutostartEntry.hpp"

#include <cstdlib>
#include <fstream>
#include <string_view>
#include <system_error>

namespace velorin {

namespace {

// The Exec key's quoting: an argument holding a reserved character goes in
// double quotes, inside which `"`, `` ` ``, `$` and `\` take a backslash; `%`
// is always doubled (field codes). The key's value is then a string, whose own
// escape doubles every backslash again.
std::optional<std::string> execArgument(std::string_view argument) {
    static constexpr std::string_view kReserved = " \t\"'\\><~|&;$*?#()`";
    std::string quoted;
    bool needsQuotes = argument.empty();
    for (const char c : argument) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return std::nullopt;
        if (kReserved.find(c) != std::string_view::npos) needsQuotes = true;
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        if (c == '%') quoted += '%';
        quoted += c;
    }
    if (needsQuotes) quoted = '"' + quoted + '"';
    std::string escaped;
    for (const char c : quoted) {
        if (c == '\\') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

}  // namespace

AutostartEntry::AutostartEntry(std::filesystem::path directory, std::filesystem::path executable)
    : directory_(std::move(directory)), executable_(std::move(executable)) {}

std::optional<std::filesystem::path> AutostartEntry::defaultDirectory() {
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config == '/') {
        return std::filesystem::path(config) / "autostart";
    }
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return std::filesystem::path(home) / ".config" / "autostart";
    }
    return std::nullopt;
}

std::filesystem::path AutostartEntry::currentExecutable() {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error || self.empty() ? std::filesystem::path("velorin-server") : self;
}

std::optional<std::string> AutostartEntry::contents(const std::filesystem::path& executable) {
    const std::optional<std::string> program = execArgument(executable.string());
    if (!program) return std::nullopt;
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Velorin Server\n"
           "Comment=Starts the Velorin Server MIDI hub at login, its window hidden\n"
           "Exec=" +
           *program +
           " --hidden\n"
           "Icon=velorin-server\n"
           "Terminal=false\n"
           "Categories=AudioVideo;Audio;Midi;\n";
}

bool AutostartEntry::isEnabled() const {
    std::error_code error;
    return std::filesystem::exists(path(), error);
}

std::optional<std::string> AutostartEntry::setEnabled(bool enabled) const {
    std::error_code error;
    if (!enabled) {
        if (!std::filesystem::remove(path(), error) && error) {
            return "cannot remove " + path().string() + ": " + error.message();
        }
        return std::nullopt;
    }
    const std::optional<std::string> text = contents(executable_);
    if (!text)
        return "the program's path " + executable_.string() + " cannot be written in an autostart entry";
    std::filesystem::create_directories(directory_, error);
    if (error) return "cannot make " + directory_.string() + ": " + error.message();
    const std::filesystem::path temporary = directory_ / (std::string(kFileName) + ".tmp");
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << *text;
        out.flush();
        if (!out) {
            std::filesystem::remove(temporary, error);
            return "cannot write " + temporary.string();
        }
    }
    std::filesystem::rename(temporary, path(), error);
    if (error) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        return "cannot write " + path().string() + ": " + error.message();
    }
    return std::nullopt;
}

}  // namespace velorin
