#include "base/BlockPool.h"

#include <atomic>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define KAVRA_POOL_PASS_THROUGH 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KAVRA_POOL_PASS_THROUGH 1
#endif
#endif

namespace kavra {

namespace {

// mingw-w64's thread-local destructors in a DLL were seen to free a thread's
// shelves wrongly (a crash under Wine when pool threads end), so Windows
// builds allocate plainly until that is understood.
#if defined(KAVRA_POOL_PASS_THROUGH) || defined(_WIN32)
constexpr bool POOLING = false;
#else
constexpr bool POOLING = true;
#endif

// Pools a thread may keep shelves for; the library makes two.
constexpr std::size_t MAX_POOLS = 4;

std::atomic<std::size_t> g_poolCount{0};
std::atomic<BlockPool*> g_pools[MAX_POOLS];

// One thread's free blocks, per pool.
struct Shelves {
    struct Shelf {
        std::size_t count = 0;
        void* blocks[BlockPool::SHELF_BLOCKS];
    };
    Shelf shelf[MAX_POOLS];
};

// Hands a thread's shelves back when the thread ends, so that it leaves
// nothing behind. Made on the thread's first use of a pool.
struct ShelfReturner {
    Shelves* shelves = nullptr;
    ShelfReturner() = default;
    ShelfReturner(const ShelfReturner&) = delete;
    ShelfReturner& operator=(const ShelfReturner&) = delete;
    ~ShelfReturner();
};

// The hot path reads one pointer. (Not the initial-exec model: the library
// is also loaded with dlopen, by the Python module, where static TLS may
// have no room left.)
thread_local Shelves* t_shelves = nullptr;
thread_local ShelfReturner t_returner;

ShelfReturner::~ShelfReturner() {
    if (shelves == nullptr) {
        return;
    }
    t_shelves = nullptr;
    for (std::size_t i = 0; i < MAX_POOLS; ++i) {
        BlockPool* pool = g_pools[i].load(std::memory_order_acquire);
        Shelves::Shelf& s = shelves->shelf[i];
        if (pool != nullptr && s.count > 0) {
            pool->GiveToStore(s.blocks, s.count);
        }
    }
    delete shelves;
}

// The calling thread's shelves, made on first use; null when the thread is
// ending (its returner has run) or they cannot be made.
Shelves* shelves() {
    Shelves* mine = t_shelves;
    if (mine != nullptr) {
        return mine;
    }
    ShelfReturner& returner = t_returner;
    if (returner.shelves != nullptr) {
        return nullptr;
    }
    mine = new (std::nothrow) Shelves();
    returner.shelves = mine;
    t_shelves = mine;
    return mine;
}

} // namespace

BlockPool::BlockPool(std::size_t blockSize)
    : m_blockSize(blockSize), m_index(g_poolCount.fetch_add(1)) {
    // Reserved once: the store never allocates under its mutex.
    m_store.reserve(STORE_BLOCKS);
    if (m_index < MAX_POOLS) {
        g_pools[m_index].store(this, std::memory_order_release);
    }
}

void* BlockPool::Allocate(std::size_t size) {
    if (size <= m_blockSize) {
        if (Shelves* mine = POOLING && m_index < MAX_POOLS ? shelves() : nullptr) {
            Shelves::Shelf& s = mine->shelf[m_index];
            if (s.count == 0) {
                s.count = TakeFromStore(s.blocks, BATCH_BLOCKS);
            }
            if (s.count > 0) {
                return s.blocks[--s.count];
            }
        }
        // Full size, so that the block can serve any later request.
        size = m_blockSize;
    }
    return ::operator new(size);
}

void BlockPool::Release(void* block, std::size_t size) noexcept {
    if (block == nullptr) {
        return;
    }
    if (size <= m_blockSize) {
        if (Shelves* mine = POOLING && m_index < MAX_POOLS ? shelves() : nullptr) {
            Shelves::Shelf& s = mine->shelf[m_index];
            if (s.count == SHELF_BLOCKS) {
                s.count -= BATCH_BLOCKS;
                GiveToStore(s.blocks + s.count, BATCH_BLOCKS);
            }
            s.blocks[s.count++] = block;
            return;
        }
    }
    Free(block);
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
        while (kept < count && m_store.size() < STORE_BLOCKS) {
            m_store.push_back(blocks[kept++]);
        }
    }
    for (; kept < count; ++kept) {
        Free(blocks[kept]);
    }
}

void BlockPool::Free(void* block) noexcept {
    ::operator delete(block);
}

} // namespace kavra
