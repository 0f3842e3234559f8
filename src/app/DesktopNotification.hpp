// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace velorin {

// Shows a desktop notification through org.freedesktop.Notifications on the
// session bus, without waiting for it. Where there is no session bus or no
// notification service, nothing happens and nothing is said.
void showDesktopNotification(const std::string& summary, const std::string& body);

}  // namespace velorin
