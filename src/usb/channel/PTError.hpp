// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace velorin {

// Where an error's code comes from.
enum class PTErrorDomain : std::uint8_t {
    posix,     // an errno
    protocol,  // a malformed frame (PTProtocolErrorCode)
    usbHub,    // a usbmuxd result number, or a malformed usbmuxd packet (code 0)
};

// The domain's name, as error texts print it.
constexpr std::string_view PTErrorDomainName(PTErrorDomain domain) {
    switch (domain) {
        case PTErrorDomain::posix:
            return "NSPOSIXErrorDomain";
        case PTErrorDomain::protocol:
            return "PTProtocolError";
        case PTErrorDomain::usbHub:
            return "PTUSBHubError";
    }
    return "";
}

// Codes of the protocol domain.
enum class PTProtocolErrorCode : int {
    // A header that is short at end of stream or carries a version other than 1.
    malformedFrame = 0,
    // An accepted frame declaring a payload larger than the largest valid frame.
    payloadTooLarge = 1,
};

// An error value with a domain and an integer code: POSIX errnos, malformed
// frames and usbmuxd failures.
struct PTError {
    PTErrorDomain domain = PTErrorDomain::posix;
    int code = 0;
    std::string description;

    static PTError posix(int errnoValue) {
        return PTError{PTErrorDomain::posix, errnoValue, std::strerror(errnoValue)};
    }
    static PTError protocol(PTProtocolErrorCode code, std::string text) {
        return PTError{PTErrorDomain::protocol, static_cast<int>(code), std::move(text)};
    }
    static PTError hub(int code, std::string text) {
        return PTError{PTErrorDomain::usbHub, code, std::move(text)};
    }

    // usbmuxd's answers for a device number it does not know and for a device
    // port nobody listens on.
    static constexpr int kUSBHubUnknownDeviceCode = 2;
    static constexpr int kUSBHubConnectionRefusedCode = 3;

    bool isPOSIX(int errnoValue) const { return domain == PTErrorDomain::posix && code == errnoValue; }
    bool isProtocol(PTProtocolErrorCode c) const {
        return domain == PTErrorDomain::protocol && code == static_cast<int>(c);
    }
    bool isUSBHub(int c) const { return domain == PTErrorDomain::usbHub && code == c; }
    bool isUnknownDevice() const { return isUSBHub(kUSBHubUnknownDeviceCode); }

    // The text used in log lines: the description, or the domain and code when there is none.
    std::string describe() const {
        if (!description.empty()) return description;
        return "The operation couldn't be completed. (" + std::string(PTErrorDomainName(domain)) + " error " +
               std::to_string(code) + ".)";
    }

    friend bool operator==(const PTError&, const PTError&) = default;
};

using PTOptionalError = std::optional<PTError>;

// The channel layer's diagnostics ("the system log"): one line each on
// standard error. Any thread.
void PTSystemLog(const std::string& line);

}  // namespace velorin
