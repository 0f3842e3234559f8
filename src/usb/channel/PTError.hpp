#pragma once

#include <cstring>
#include <optional>
#include <string>

namespace velorin {

// An error value with a domain and an integer code: POSIX errnos, malformed
// frames ("PTProtocolError") and usbmuxd failures ("PTUSBHubError").
struct PTError {
    static constexpr const char* kPOSIXDomain = "NSPOSIXErrorDomain";
    static constexpr const char* kProtocolDomain = "PTProtocolError";
    static constexpr const char* kUSBHubDomain = "PTUSBHubError";

    std::string domain;
    int code = 0;
    std::string description;

    static PTError posix(int errnoValue) {
        return PTError{kPOSIXDomain, errnoValue, std::strerror(errnoValue)};
    }
    static PTError protocol(int code, std::string text) {
        return PTError{kProtocolDomain, code, std::move(text)};
    }
    static PTError hub(int code, std::string text) { return PTError{kUSBHubDomain, code, std::move(text)}; }

    // usbmuxd's answer for a device number it does not know.
    static constexpr int kUSBHubUnknownDeviceCode = 2;

    bool isPOSIX(int errnoValue) const { return domain == kPOSIXDomain && code == errnoValue; }
    bool isUnknownDevice() const { return domain == kUSBHubDomain && code == kUSBHubUnknownDeviceCode; }

    // The text used in log lines: the description, or the domain and code when there is none.
    std::string describe() const {
        if (!description.empty()) return description;
        return "The operation couldn't be completed. (" + domain + " error " + std::to_string(code) + ".)";
    }

    friend bool operator==(const PTError&, const PTError&) = default;
};

using PTOptionalError = std::optional<PTError>;

// Codes of the "PTProtocolError" domain.
enum PTProtocolErrorCode : int {
    // A header that is short at end of stream or carries a version other than 1.
    kPTProtocolErrorMalformedFrame = 0,
    // An accepted frame declaring a payload larger than the largest valid frame.
    kPTProtocolErrorPayloadTooLarge = 1,
};

}  // namespace velorin

#include <functional>

namespace velorin {

// The channel layer's diagnostics ("the system log"): one line each on standard
// error, or to a handler that tests install.
void PTSystemLog(const std::string& line);
void PTSetSystemLogHandler(std::function<void(const std::string&)> handler);

}  // namespace velorin
