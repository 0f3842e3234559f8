#include "usb/VLUSBProcessLock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace velorin {

std::filesystem::path VLUSBProcessLock::defaultLockFilePath() {
    std::filesystem::path base;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::filesystem::path(home && *home ? home : "/tmp") / ".local" / "share";
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
