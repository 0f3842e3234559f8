// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace velorin {

// Held around every write of a settings store to its file, so that processes
// writing the same file neither lose each other's keys nor hold each other up
// after a crash. While it lives:
//  - it holds an exclusive flock on "<file>.writelock", which the kernel
//    releases when the holder dies, so a killed writer never blocks the next;
//  - the lock file QSettings left behind when killed in the middle of a write
//    is gone: QSettings takes over a dead holder's lock file at once only when
//    the holder lived long enough to write its PID into it, and otherwise
//    waits until the file is 30 s old;
//  - the settings file's timestamp is one millisecond later than any it ever
//    had, so QSettings reads the file again before merging its change into
//    it. QSettings notices another process's write only by a new size or a
//    new millisecond timestamp; two writes within one clock tick that leave
//    the size alone would make it write back its stale copy over the other's
//    keys. The timestamps a file shows therefore only ever grow: when the
//    lock is released, a file written meanwhile is dated after the one it
//    replaced.
class SettingsFileWriteLock {
public:
    explicit SettingsFileWriteLock(const std::string& settingsFile);
    ~SettingsFileWriteLock();
    SettingsFileWriteLock(const SettingsFileWriteLock&) = delete;
    SettingsFileWriteLock& operator=(const SettingsFileWriteLock&) = delete;

private:
    std::string settingsFile_;
    int fd_ = -1;
    // The millisecond timestamp the file had when the lock was taken.
    std::optional<std::int64_t> previousMilliseconds_;
};

}  // namespace velorin
