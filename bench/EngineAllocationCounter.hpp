#pragma once

#include <cstddef>

namespace velorin::bench {

// Calls of the global operator new so far (the engine benchmark binary replaces it).
std::size_t engineAllocationCount();

}  // namespace velorin::bench
