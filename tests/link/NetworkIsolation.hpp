// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace velorin {
class LinkClock;
}

namespace velorin::test {

// Link must only ever be enabled in a private network namespace in which the
// loopback interface is the only one: then its discovery traffic cannot leave
// the machine. These helpers are the one way tests enable Link.

// The network interfaces this process can see, in its own network namespace.
std::vector<std::string> visibleNetworkInterfaces();
// Why Link must not be enabled with these interfaces, or nothing when the only one is "lo".
std::optional<std::string> isolationRefusal(const std::vector<std::string>& interfaces);
// The same for what this process sees now.
std::optional<std::string> isolationRefusal();
// Brings "lo" up (a fresh namespace starts with it down); true when it is up.
bool bringLoopbackUp();
// Activates Link on `clock` only when isolated (bringing "lo" up first); else
// leaves it alone and says why in `reason`.
bool activateLinkIfIsolated(LinkClock& clock, std::string& reason);

}  // namespace velorin::test
