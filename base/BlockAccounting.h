// Where the library allocates and releases the blocks that tests may watch
// (kavra/base/AllocationWatch.h): PDU and header objects, PDU bodies,
// byte-buffer storage and send copies. The objects' own operators and the
// byte blocks' owners call in here, so that an installed observer sees each
// allocation and release once; without one, each costs an atomic load.
//
// Thread rules: everything from any thread, concurrently.
#pragma once

#include "kavra/base/AllocationWatch.h"

#include <atomic>
#include <cstddef>

namespace kavra {

class BlockAccounting {
public:
    // A block of size bytes from the global allocator, reported as kind.
    // Throws std::bad_alloc.
    static unsigned char* NewBytes(BlockKind kind, std::size_t size) {
        auto* bytes = new unsigned char[size];
        Allocated(kind, bytes, size);
        return bytes;
    }
    // Reports and frees a block from NewBytes of the same kind; null is
    // ignored.
    static void DeleteBytes(BlockKind kind, unsigned char* bytes) noexcept {
        Released(kind, bytes);
        delete[] bytes;
    }

    // For blocks allocated elsewhere (the pools): report one allocation, or
    // one release before the block goes. Null is not reported.
    static void Allocated(BlockKind kind, const void* block, std::size_t size) noexcept {
        if (AllocationWatch::Observer* observer = s_observer.load(std::memory_order_acquire)) {
            if (block != nullptr) {
                observer->OnAllocated(kind, block, size);
            }
        }
    }
    static void Released(BlockKind kind, const void* block) noexcept {
        if (AllocationWatch::Observer* observer = s_observer.load(std::memory_order_acquire)) {
            if (block != nullptr) {
                observer->OnReleased(kind, block);
            }
        }
    }

private:
    friend class AllocationWatch;

    static inline std::atomic<AllocationWatch::Observer*> s_observer{nullptr};
};

} // namespace kavra
