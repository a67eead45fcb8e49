/// @file
/// Registration of heap objects for accounting.
///
/// _AddMemory records that a block was allocated; the registry keeps counts,
/// not pointers, so registering on a hot path costs two atomic additions and
/// no memory.
#pragma once

#include "kavra/Export.h"

#include <cstdint>

/// Records one registration of count objects of size bytes at address; the
/// name may be null. Returns address. Any thread.
KAVRA_API void* _AddMemory(void* address, int size, int count, char* name);

namespace kavra {

/// The counts kept by _AddMemory.
class KAVRA_API MemoryRegistry {
public:
    /// Registrations made since the process started. Any thread.
    static std::uint64_t Registrations();
    /// Sum of size * count over those registrations. Any thread.
    static std::uint64_t Bytes();
};

} // namespace kavra
