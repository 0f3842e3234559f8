// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <filesystem>
#include <optional>

namespace velorin {

class VLUSBProcessLocking {
public:
    virtual ~VLUSBProcessLocking() = default;
    virtual bool tryAcquire() = 0;
    virtual void release() = 0;
};

// The per-user USB lease: an exclusive, non-blocking flock on a file. The
// operating system releases it when the process ends.
class VLUSBProcessLock final : public VLUSBProcessLocking {
public:
    explicit VLUSBProcessLock(std::filesystem::path lockFileURL) : lockFileURL_(std::move(lockFileURL)) {}
    ~VLUSBProcessLock() override { release(); }
    VLUSBProcessLock(const VLUSBProcessLock&) = delete;
    VLUSBProcessLock& operator=(const VLUSBProcessLock&) = delete;

    bool tryAcquire() override;
    void release() override;
    const std::filesystem::path& lockFileURL() const { return lockFileURL_; }
    int fileDescriptor() const { return fileDescriptor_; }

    // $XDG_DATA_HOME/Velorin Server/vl-usb.lock, by default ~/.local/share/Velorin Server/vl-usb.lock;
    // without HOME the password database's home directory. None when the user
    // has no home directory at all: then no lease can be taken.
    static std::optional<std::filesystem::path> defaultLockFilePath();

private:
    std::filesystem::path lockFileURL_;
    int fileDescriptor_ = -1;
};

}  // namespace velorin
