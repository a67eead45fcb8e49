#include "base/BlockPool.h"

#include <algorithm>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define KAVRA_POOL_POISONS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KAVRA_POOL_POISONS 1
#endif
#endif

#if defined(KAVRA_POOL_POISONS)
#include <sanitizer/asan_interface.h>

#include <cstdio>
#include <cstdlib>
#endif

namespace kavra {

namespace {

// Threads that have used a pool so far; the next one gets the next shelf.
std::atomic<unsigned> g_threadsSeen{0};

#if defined(__ELF__)
// Read on every allocation and release. In a shared object the default
// model reaches it through a call to __tls_get_addr; initial-exec reads it
// at a fixed offset from the thread pointer. Its four bytes fit the static
// reserve that the loader keeps for objects loaded later with dlopen.
#define KAVRA_POOL_TLS_MODEL [[gnu::tls_model("initial-exec")]]
#else
#define KAVRA_POOL_TLS_MODEL
#endif

// 1 + the number of this thread's shelf, 0 before its first use of a pool.
// Trivially destructible: nothing runs for it when the thread ends.
KAVRA_POOL_TLS_MODEL thread_local unsigned t_shelf = 0;

} // namespace

BlockPool::BlockPool(std::size_t blockSize)
    : m_blockSize(blockSize),
      m_storeBlocks(std::max(MIN_STORE_BLOCKS, STORE_BYTES / std::max<std::size_t>(blockSize, 1))) {
    // Reserved once: the store never allocates under its mutex.
    m_store.reserve(m_storeBlocks);
}

BlockPool::Shelf& BlockPool::ShelfOfThisThread() noexcept {
    const unsigned shelf = t_shelf;
    return m_shelves[(shelf != 0 ? shelf : FirstShelfOfThisThread()) - 1];
}

unsigned BlockPool::FirstShelfOfThisThread() noexcept {
    const unsigned shelf = g_threadsSeen.fetch_add(1, std::memory_order_relaxed) % SHELVES + 1;
    t_shelf = shelf;
    return shelf;
}

// The common case, a block on this thread's shelf, stays a few
// instructions; everything else is out of line.
void* BlockPool::Allocate(std::size_t size) {
    if (size > m_blockSize) {
        return ::operator new(size);
    }
    Shelf& shelf = ShelfOfThisThread();
    if (shelf.taken.exchange(true, std::memory_order_acquire)) {
        return TakeElsewhere();
    }
    if (shelf.count == 0) {
        return RefillAndTake(shelf);
    }
    void* block = shelf.blocks[--shelf.count];
    shelf.taken.store(false, std::memory_order_release);
    MarkInUse(block);
    return block;
}

void* BlockPool::RefillAndTake(Shelf& shelf) {
    // Called holding the shelf's flag.
    shelf.count = TakeFromStore(shelf.blocks, BATCH_BLOCKS);
    void* block = shelf.count > 0 ? shelf.blocks[--shelf.count] : nullptr;
    shelf.taken.store(false, std::memory_order_release);
    return Usable(block);
}

void* BlockPool::TakeElsewhere() {
    return Usable(TakeOne());
}

void* BlockPool::Usable(void* block) {
    if (block == nullptr) {
        // Full size, so that the block can serve any later request.
        return ::operator new(m_blockSize);
    }
    MarkInUse(block);
    return block;
}

void BlockPool::Release(void* block, std::size_t size) noexcept {
    if (block == nullptr) {
        return;
    }
    if (size > m_blockSize) {
        ::operator delete(block);
        return;
    }
    MarkFree(block);
    Shelf& shelf = ShelfOfThisThread();
    if (shelf.taken.exchange(true, std::memory_order_acquire)) {
        GiveOneToStore(block);
        return;
    }
    if (shelf.count == SHELF_BLOCKS) {
        shelf.count -= BATCH_BLOCKS;
        GiveToStore(shelf.blocks + shelf.count, BATCH_BLOCKS);
    }
    shelf.blocks[shelf.count++] = block;
    shelf.taken.store(false, std::memory_order_release);
}

void BlockPool::GiveOneToStore(void* block) noexcept {
    GiveToStore(&block, 1);
}

void* BlockPool::TakeOne() {
    void* block = nullptr;
    return TakeFromStore(&block, 1) == 1 ? block : nullptr;
}

std::size_t BlockPool::TakeFromStore(void** out, std::size_t max) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    std::size_t taken = 0;
    while (taken < max && !m_store.empty()) {
        out[taken++] = m_store.back();
        m_store.pop_back();
    }
    return taken;
}

void BlockPool::GiveToStore(void* const* blocks, std::size_t count) noexcept {
    std::size_t kept = 0;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        while (kept < count && m_store.size() < m_storeBlocks) {
            m_store.push_back(blocks[kept++]);
        }
    }
    for (; kept < count; ++kept) {
        Free(blocks[kept]);
    }
}

void BlockPool::Free(void* block) const noexcept {
    MarkInUse(block);
    ::operator delete(block);
}

#if defined(KAVRA_POOL_POISONS)

void BlockPool::MarkFree(void* block) const noexcept {
    if (__asan_address_is_poisoned(block) != 0) {
        std::fprintf(stderr,
                     "kavra::BlockPool: block %p of %zu bytes released while free (double "
                     "free)\n",
                     block, m_blockSize);
        __asan_describe_address(block);
        __sanitizer_print_stack_trace();
        std::abort();
    }
    __asan_poison_memory_region(block, m_blockSize);
}

void BlockPool::MarkInUse(void* block) const noexcept {
    __asan_unpoison_memory_region(block, m_blockSize);
}

#else

void BlockPool::MarkFree(void* /*block*/) const noexcept {}

void BlockPool::MarkInUse(void* /*block*/) const noexcept {}

#endif

} // namespace kavra
