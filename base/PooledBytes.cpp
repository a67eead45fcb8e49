#include "base/PooledBytes.h"

#include "base/BlockAccounting.h"
#include "base/BlockPool.h"

#include <new>

namespace kavra {

namespace {

constexpr std::size_t SMALL_BLOCK = PooledBytes::SMALL_BLOCK;
constexpr std::size_t LARGE_BLOCK = 2048;

// Room in front of a sized block for its size and the headroom after it,
// keeping the bytes aligned as the global allocator would.
constexpr std::size_t BYTES_ALIGNMENT = alignof(std::max_align_t);
constexpr std::size_t SIZE_PREFIX =
    (sizeof(std::size_t) + PooledBytes::SIZED_HEADROOM + BYTES_ALIGNMENT - 1) / BYTES_ALIGNMENT *
    BYTES_ALIGNMENT;

// Never destroyed: a PDU may be freed during static destruction.
BlockPool& smallPool() {
    static auto* pool = new BlockPool(SMALL_BLOCK);
    return *pool;
}

BlockPool& largePool() {
    static auto* pool = new BlockPool(LARGE_BLOCK);
    return *pool;
}

} // namespace

void* PooledBytes::allocate(std::size_t size) {
    if (size <= SMALL_BLOCK) {
        return smallPool().Allocate(size);
    }
    return largePool().Allocate(size);
}

void PooledBytes::release(void* block, std::size_t size) noexcept {
    if (size <= SMALL_BLOCK) {
        smallPool().Release(block, size);
    } else {
        largePool().Release(block, size);
    }
}

unsigned char* PooledBytes::New(BlockKind kind, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(allocate(size));
    BlockAccounting::Allocated(kind, bytes, size);
    return bytes;
}

void PooledBytes::Delete(BlockKind kind, unsigned char* bytes, std::size_t size) noexcept {
    if (bytes == nullptr) {
        return;
    }
    BlockAccounting::Released(kind, bytes);
    release(bytes, size);
}

void PooledBytes::DeleteReported(unsigned char* bytes, std::size_t size) noexcept {
    if (bytes != nullptr) {
        release(bytes, size);
    }
}

unsigned char* PooledBytes::NewSized(BlockKind kind, std::size_t size) {
    if (size > static_cast<std::size_t>(-1) - SIZE_PREFIX) {
        throw std::bad_alloc();
    }
    auto* block = static_cast<unsigned char*>(allocate(size + SIZE_PREFIX));
    ::new (block) std::size_t(size);
    unsigned char* bytes = block + SIZE_PREFIX;
    BlockAccounting::Allocated(kind, bytes, size);
    return bytes;
}

void PooledBytes::DeleteSized(BlockKind kind, unsigned char* bytes) noexcept {
    if (bytes == nullptr) {
        return;
    }
    BlockAccounting::Released(kind, bytes);
    unsigned char* block = bytes - SIZE_PREFIX;
    const std::size_t size = *std::launder(reinterpret_cast<std::size_t*>(block));
    release(block, size + SIZE_PREFIX);
}

} // namespace kavra
