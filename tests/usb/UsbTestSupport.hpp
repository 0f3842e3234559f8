// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "core/MemorySettingsStore.hpp"
#include "log/LogStore.hpp"

namespace velorin::testing {

using namespace std::chrono_literals;

// How long the tests on real sockets wait for a condition before they give up:
// every condition holds within a fraction of it on an idle machine.
inline constexpr std::chrono::seconds kUsbWaitLimit{30};

// A private temporary folder, removed with everything in it.
class UsbTempDir {
public:
    UsbTempDir() {
        std::string pattern = "/tmp/vlusb-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (::mkdtemp(buf.data())) path_ = buf.data();
    }
    ~UsbTempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Number of open file descriptors of this process.
inline std::size_t UsbOpenFDCount() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

// A queue and a log store on it, with the lines the store received.
template <typename Queue>
struct UsbLoggingHarness {
    Queue queue;
    MemorySettingsStore settings;
    std::shared_ptr<LogStore> log = LogStore::create(queue, settings);

    // Every plain line appended so far.
    std::vector<std::string> lines() {
        log->flush();
        std::vector<std::string> out;
        for (const auto& entry : log->entries()) {
            if (const auto* m = std::get_if<LogEntry::Message>(&entry.kind)) out.push_back(m->text);
        }
        return out;
    }
    std::size_t countLines(const std::string& text) {
        const auto all = lines();
        return static_cast<std::size_t>(std::count_if(
            all.begin(), all.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; }));
    }
    bool hasLine(const std::string& text) { return countLines(text) > 0; }
};

}  // namespace velorin::testing
