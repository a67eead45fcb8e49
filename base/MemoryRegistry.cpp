#include "kavra/base/MemoryRegistry.h"

#include <atomic>

namespace {

// Relaxed ordering is enough: the counters are statistics and order nothing.
std::atomic<std::uint64_t> g_registrations{0};
std::atomic<std::uint64_t> g_bytes{0};

} // namespace

void* _AddMemory(void* address, int size, int count, char* /*name*/) {
    g_registrations.fetch_add(1, std::memory_order_relaxed);
    // A negative size or count describes no memory; it must not shrink the sum.
    if (size > 0 && count > 0) {
        g_bytes.fetch_add(static_cast<std::uint64_t>(size) * static_cast<std::uint64_t>(count),
                          std::memory_order_relaxed);
    }
    return address;
}

namespace kavra {

std::uint64_t MemoryRegistry::Registrations() {
    return g_registrations.load(std::memory_order_relaxed);
}

std::uint64_t MemoryRegistry::Bytes() {
    return g_bytes.load(std::memory_order_relaxed);
}

} // namespace kavra
