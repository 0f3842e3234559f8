// SPDX-License-Identifier: GPL-3.0-or-later
#include "netmidi/NetworkMIDIAddress.hpp"

namespace velorin {

std::string NetworkMIDIAddress::text() const {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace velorin
