// Recycles blocks of one size between threads, for objects that one thread
// creates and another destroys (a received PDU: made by the worker, freed by
// the consumer).
//
// The pool keeps SHELVES shelves of free blocks and a common store. Each
// thread is given one shelf on its first use of any pool (round robin), and
// takes from and returns to it under a flag of that shelf alone, which no
// other thread touches while threads do not outnumber the shelves. A shelf
// that fills passes half its blocks to the store under a mutex; one that runs
// empty takes a batch from there. So the thread that only frees and the
// thread that only allocates meet on the mutex once per batch, not once per
// block. When two threads share a shelf and meet on its flag, the one that
// finds it taken goes to the store for that block.
//
// A shelf belongs to no thread: nothing is kept per thread but the number of
// its shelf, so a thread that ends leaves its blocks on the shelf for the
// next thread given it, and no thread-local destructor runs. (mingw-w64's
// thread-local destructors in a DLL run after the thread's thread-local
// storage was freed, so they cannot be relied on there.) Memory stays
// bounded: a shelf holds at most SHELF_BLOCKS blocks, the store at most
// STORE_BYTES of blocks (at least MIN_STORE_BLOCKS), and what does not fit
// goes back to the global allocator. The store is that large because a
// sender may run a long way ahead of the thread that frees its blocks (a
// send queue of thousands of PDUs while the peer holds the connection back):
// a small store would pass most of every such run through the global
// allocator, once to allocate and once to free.
//
// Under AddressSanitizer a block is poisoned while it lies on a shelf or in
// the store, so a use after free of a pooled object is reported, and a block
// released while poisoned (a double free) stops the process with a report.
//
// Thread rules: Allocate and Release from any thread, concurrently.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <vector>

namespace kavra {

class BlockPool {
public:
    // Shelves per pool; threads beyond that share them.
    static constexpr std::size_t SHELVES = 16;
    // Blocks a shelf holds at most.
    static constexpr std::size_t SHELF_BLOCKS = 64;
    // Blocks moved between a shelf and the store at once.
    static constexpr std::size_t BATCH_BLOCKS = SHELF_BLOCKS / 2;
    // What the store keeps at most, in bytes and at least in blocks.
    static constexpr std::size_t STORE_BYTES = 4u << 20;
    static constexpr std::size_t MIN_STORE_BLOCKS = 1024;

    // A pool of blocks of blockSize bytes. Pools live as long as the process
    // (objects may be freed during static destruction), so make them with
    // new and never delete them.
    explicit BlockPool(std::size_t blockSize);
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;

    // A block of at least size bytes; sizes above the pool's block size come
    // from the global allocator. Throws std::bad_alloc.
    void* Allocate(std::size_t size);
    // Gives back a block from Allocate with the same size.
    void Release(void* block, std::size_t size) noexcept;

private:
    struct alignas(64) Shelf {
        std::atomic<bool> taken{false};
        std::size_t count = 0;
        void* blocks[SHELF_BLOCKS];
    };

    // The calling thread's shelf.
    Shelf& ShelfOfThisThread() noexcept;
    // Gives the calling thread its shelf; returns 1 + its number.
    [[gnu::noinline]] static unsigned FirstShelfOfThisThread() noexcept;
    // Allocate's ways when the shelf is empty (called holding its flag) or
    // taken by another thread.
    [[gnu::noinline]] void* RefillAndTake(Shelf& shelf);
    [[gnu::noinline]] void* TakeElsewhere();
    // block made usable, or a new one for null.
    void* Usable(void* block);
    void* TakeOne();
    // Takes up to max blocks from the store into out; returns how many.
    std::size_t TakeFromStore(void** out, std::size_t max);
    // Keeps blocks in the store as far as it has room; frees the rest.
    [[gnu::noinline]] void GiveToStore(void* const* blocks, std::size_t count) noexcept;
    [[gnu::noinline]] void GiveOneToStore(void* block) noexcept;
    // Returns a block to the global allocator.
    void Free(void* block) const noexcept;
    // Under AddressSanitizer: marks a block free, stopping the process when
    // it already was; makes a block usable again. Nothing otherwise.
    void MarkFree(void* block) const noexcept;
    void MarkInUse(void* block) const noexcept;

    std::size_t m_blockSize;
    std::size_t m_storeBlocks;
    Shelf m_shelves[SHELVES];
    std::mutex m_mutex;
    std::vector<void*> m_store;
};

} // namespace kavra
