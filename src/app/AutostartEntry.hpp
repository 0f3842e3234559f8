// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace velorin {

// "Start at Login": an XDG autostart entry, velorin-server.desktop in
// $XDG_CONFIG_HOME/autostart (by default ~/.config/autostart), that desktops
// run at login. It starts the hub with its window hidden (--hidden). The
// option is on exactly while the file exists; nothing else records it.
class AutostartEntry {
public:
    static constexpr const char* kFileName = "velorin-server.desktop";

    // `executable`: the program the entry starts (an absolute path).
    AutostartEntry(std::filesystem::path directory, std::filesystem::path executable);

    // $XDG_CONFIG_HOME/autostart, or ~/.config/autostart; absent without either.
    static std::optional<std::filesystem::path> defaultDirectory();
    // This process's executable (/proc/self/exe), or "velorin-server" when it
    // cannot be read.
    static std::filesystem::path currentExecutable();

    std::filesystem::path path() const { return directory_ / kFileName; }
    bool isEnabled() const;
    // Writes the entry (atomically, through a temporary file) or removes it.
    // Absent on success, else what went wrong.
    std::optional<std::string> setEnabled(bool enabled) const;

    // The entry's text; absent when the executable's path cannot be written
    // in an Exec line (it holds a control character).
    static std::optional<std::string> contents(const std::filesystem::path& executable);

private:
    std::filesystem::path directory_;
    std::filesystem::path executable_;
};

}  // namespace velorin
