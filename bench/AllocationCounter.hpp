// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>

namespace velorin::bench {

// Number of calls of the global operator new so far in this process (the
// binary that links AllocationCounter.cpp replaces it to count).
std::size_t allocationCount();

}  // namespace velorin::bench
