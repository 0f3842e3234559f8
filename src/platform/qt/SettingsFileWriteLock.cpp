// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/qt/SettingsFileWriteLock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace velorin {

namespace {

int lockExclusively(int fd) {
    int result = 0;
    while ((result = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    return result;
}

// QSettings' own lock file, when nobody holds it. Its holder takes a flock on
// it right after creating it, and no other store of ours is inside a write
// now, so a lock file we can flock belongs to a writer that died.
void removeAbandonedQtLockFile(const std::string& settingsFile) {
    const std::string path = settingsFile + ".lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) ::unlink(path.c_str());
    ::close(fd);
}

std::optional<std::int64_t> modificationMilliseconds(const std::string& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return std::nullopt;
    return std::int64_t{st.st_mtim.tv_sec} * 1000 + st.st_mtim.tv_nsec / 1'000'000;
}

void setModificationMilliseconds(const std::string& file, std::int64_t milliseconds) {
    timespec times[2]{};
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = milliseconds / 1000;
    times[1].tv_nsec = (milliseconds % 1000) * 1'000'000;
    ::utimensat(AT_FDCWD, file.c_str(), times, 0);
}

}  // namespace

SettingsFileWriteLock::SettingsFileWriteLock(const std::string& settingsFile) : settingsFile_(settingsFile) {
    // Without a lock file (a read-only folder) the write goes ahead as
    // QSettings alone would do it.
    if (settingsFile_.empty()) return;
    // QSettings creates the folder on its first write; the lock file needs it first.
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(settingsFile_).parent_path(), ec);
    const std::string path = settingsFile_ + ".writelock";
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return;
    if (lockExclusively(fd_) != 0) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    removeAbandonedQtLockFile(settingsFile_);
    previousMilliseconds_ = modificationMilliseconds(settingsFile_);
    if (previousMilliseconds_) setModificationMilliseconds(settingsFile_, *previousMilliseconds_ + 1);
}

SettingsFileWriteLock::~SettingsFileWriteLock() {
    if (fd_ < 0) return;
    // A file written within the same clock tick carries the old timestamp (or
    // an older one): date it after everything the file showed before.
    if (previousMilliseconds_) {
        const auto now = modificationMilliseconds(settingsFile_);
        if (now && *now <= *previousMilliseconds_ + 1)
            setModificationMilliseconds(settingsFile_, *previousMilliseconds_ + 2);
    }
    // Closing the descriptor releases the lock; the file stays for the next writer.
    ::close(fd_);
}

}  // namespace velorin
