// Byte blocks for PDU bodies and send copies, which one thread allocates and
// another releases: small ones come from block pools by size class (up to
// 256 and up to 2,048 bytes), larger ones from the global allocator. A pool
// hands a freed block to the next allocation on any thread without a trip
// through the allocator's per-thread caches, which a block freed on another
// thread than its own always misses.
//
// A caller that keeps the size releases with Delete and that size; one that
// keeps only the pointer (a send copy's deleter) uses NewSized, whose block
// carries its size in front of the bytes, and after it SIZED_HEADROOM bytes
// that the block's holder may write (a writer puts a header there, so that
// header and bytes go out in one piece without another copy).
//
// Every block is reported to the allocation watch under its kind, as the
// caller sees it (address and size of the bytes).
//
// Memory kept by the pools stays bounded by BlockPool's limits (2,048 free
// blocks a pool): at most 4 MiB of the larger class, 0.5 MiB of the smaller.
//
// Thread rules: everything from any thread, concurrently.
#pragma once

#include "kavra/base/AllocationWatch.h"

#include <cstddef>

namespace kavra {

class PooledBytes {
public:
    // The smaller size class: a block of up to this many bytes has room for
    // this many, whatever size was asked, so its owner may fill it again
    // with any size up to it and release it with the size it last held.
    static constexpr std::size_t SMALL_BLOCK = 256;

    // A block of size bytes (a valid, distinct block for 0 too). Throws
    // std::bad_alloc.
    static unsigned char* New(BlockKind kind, std::size_t size);
    // Releases a block from New of the same kind and size; null is ignored.
    static void Delete(BlockKind kind, unsigned char* bytes, std::size_t size) noexcept;
    // Releases a block from New of that size whose release the allocation
    // watch was told of already (its owner kept it for reuse); null is
    // ignored.
    static void DeleteReported(unsigned char* bytes, std::size_t size) noexcept;

    // Writable bytes right in front of a block from NewSized.
    static constexpr std::size_t SIZED_HEADROOM = 16;

    // A block of size bytes that remembers its size, with SIZED_HEADROOM
    // bytes in front of it. Throws std::bad_alloc.
    static unsigned char* NewSized(BlockKind kind, std::size_t size);
    // Releases a block from NewSized of the same kind; null is ignored.
    static void DeleteSized(BlockKind kind, unsigned char* bytes) noexcept;

private:
    static void* allocate(std::size_t size);
    static void release(void* block, std::size_t size) noexcept;
};

} // namespace kavra
