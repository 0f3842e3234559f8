#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/ManualMainQueue.hpp"

namespace velorin::testing {

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

}  // namespace velorin::testing
