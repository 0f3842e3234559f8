// SPDX-License-Identifier: GPL-3.0-or-later
#include "usb/VLUSBProcessLock.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>
#include <vector>

namespace velorin {

std::optional<std::filesystem::path> VLUSBProcessLock::defaultLockFilePath() {
    std::filesystem::path base;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home == '/') {
        base = std::filesystem::path(home) / ".local" / "share";
    } else {
        // No HOME (a service manager, a stripped environment): the password
        // database's home. A path shared by all users would let one user's
        // server hold another's lease.
        std::vector<char> buffer(16384);
        passwd entry{};
        passwd* found = nullptr;
        if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
            found->pw_dir == nullptr || found->pw_dir[0] != '/') {
            return std::nullopt;
        }
        base = std::filesystem::path(found->pw_dir) / ".local" / "share";
    }
    return base / "Velorin Server" / "vl-usb.lock";
}

bool VLUSBProcessLock::tryAcquire() {
    if (fileDescriptor_ >= 0) return true;
    std::error_code ec;
    std::filesystem::create_directories(lockFileURL_.parent_path(), ec);
    if (ec) return false;
    const int fd = ::open(lockFileURL_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    fileDescriptor_ = fd;
    return true;
}

void VLUSBProcessLock::release() {
    if (fileDescriptor_ < 0) return;
    const int fd = fileDescriptor_;
    fileDescriptor_ = -1;
    ::flock(fd, LOCK_UN);
    ::close(fd);
}

}  // namespace velorin
