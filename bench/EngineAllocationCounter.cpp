// Replaces the global operator new/delete with counting versions for the
// engine benchmarks, so allocations on the event path can be counted.
#include "EngineAllocationCounter.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<std::size_t> gEngineAllocations{0};

void* countedAllocate(std::size_t size) {
    gEngineAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
}  // namespace

std::size_t velorin::bench::engineAllocationCount() { return gEngineAllocations.load(std::memory_order_relaxed); }

void* operator new(std::size_t size) { return countedAllocate(size); }
void* operator new[](std::size_t size) { return countedAllocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
