// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string_view>

namespace velorin {

// The order people see in a file manager: letters compared without regard to
// case, and each run of decimal digits compared by its value, so "Port 2"
// comes before "Port 10" and "port 3" sits between "Port 2" and "PORT 4".
// Leading zeros do not change a value ("Take 007" and "Take 7" are equal
// here); titles that are equal in this order are left to the caller's own tie
// rule (the endpoint lists keep inventory order). Bytes other than ASCII
// letters and digits compare by value, so UTF-8 titles keep a fixed order.
bool titleLess(std::string_view a, std::string_view b);

}  // namespace velorin
