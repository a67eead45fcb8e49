// Recycles blocks of one size between threads, for objects that one thread
// creates and another destroys (a received PDU: made by the worker, freed by
// the consumer).
//
// Each thread keeps a small shelf of free blocks per pool and takes from and
// returns to it without a lock. A shelf that fills passes half its blocks to
// the pool's common store under a mutex; one that runs empty takes a batch
// from there. So the thread that only frees and the thread that only
// allocates meet on the mutex once per batch, not once per block. Memory
// stays bounded: a shelf holds at most SHELF_BLOCKS blocks, the store at most
// STORE_BLOCKS, and what does not fit goes back to the global allocator, as do
// a thread's shelves when it ends.
//
// Under AddressSanitizer every block comes from and goes back to the global
// allocator, so that a use after free is still reported.
#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

namespace kavra {

class BlockPool {
public:
    // Blocks on a thread's shelf, per pool.
    static constexpr std::size_t SHELF_BLOCKS = 64;
    // Blocks moved between a shelf and the store at once.
    static constexpr std::size_t BATCH_BLOCKS = SHELF_BLOCKS / 2;
    // Blocks the store keeps at most.
    static constexpr std::size_t STORE_BLOCKS = 1024;

    // A pool of blocks of blockSize bytes. Pools live as long as the process
    // (threads may end after static destruction), so make them with new and
    // never delete them.
    explicit BlockPool(std::size_t blockSize);
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;

    // A block of at least size bytes; sizes above the pool's block size come
    // from the global allocator. Throws std::bad_alloc. Any thread.
    void* Allocate(std::size_t size);
    // Gives back a block from Allocate with the same size. Any thread.
    void Release(void* block, std::size_t size) noexcept;

    // Takes up to max blocks from the store into out; returns how many.
    std::size_t TakeFromStore(void** out, std::size_t max);
    // Keeps blocks in the store as far as it has room; frees the rest.
    void GiveToStore(void* const* blocks, std::size_t count) noexcept;
    // Returns a block to the global allocator.
    static void Free(void* block) noexcept;

private:
    std::size_t m_blockSize;
    std::size_t m_index;
    std::mutex m_mutex;
    std::vector<void*> m_store;
};

} // namespace kavra
