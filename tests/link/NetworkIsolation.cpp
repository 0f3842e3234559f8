// SPDX-License-Identifier: GPL-3.0-or-later
#include "NetworkIsolation.hpp"

#include <ifaddrs.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "link/LinkClock.hpp"

namespace velorin::test {

std::vector<std::string> visibleNetworkInterfaces() {
    // Both sources answer for the calling process's network namespace (unlike
    // /sys/class/net, which shows the namespace sysfs was mounted in).
    std::vector<std::string> names;
    if (auto* index = ::if_nameindex()) {
        for (auto* entry = index; entry->if_index != 0 && entry->if_name; ++entry)
            names.emplace_back(entry->if_name);
        ::if_freenameindex(index);
    }
    ifaddrs* addresses = nullptr;
    if (::getifaddrs(&addresses) == 0) {
        for (auto* a = addresses; a; a = a->ifa_next) {
            if (a->ifa_name) names.emplace_back(a->ifa_name);
        }
        ::freeifaddrs(addresses);
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

std::optional<std::string> isolationRefusal(const std::vector<std::string>& interfaces) {
    if (interfaces.size() == 1 && interfaces.front() == "lo") return std::nullopt;
    std::string reason =
        "refusing to enable Link: it may only run in a private network namespace with only "
        "\"lo\"; this process sees";
    if (interfaces.empty()) reason += " no interface at all";
    for (const auto& name : interfaces) reason += " " + name;
    return reason;
}

std::optional<std::string> isolationRefusal() {
    return isolationRefusal(visibleNetworkInterfaces());
}

bool bringLoopbackUp() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = false;
    if (::ioctl(fd, SIOCGIFFLAGS, &request) == 0) {
        if ((request.ifr_flags & IFF_UP) != 0) {
            up = true;
        } else {
            request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
            up = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
        }
    }
    ::close(fd);
    return up;
}

bool activateLinkIfIsolated(LinkClock& clock, std::string& reason) {
    if (auto refusal = isolationRefusal()) {
        reason = *refusal;
        return false;
    }
    if (!bringLoopbackUp()) {
        reason = "cannot bring \"lo\" up";
        return false;
    }
    clock.setActive(true);
    return true;
}

}  // namespace velorin::test
