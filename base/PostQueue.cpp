#include "base/PostQueue.h"

#include <thread>

namespace kavra {

PostQueue::PostQueue() {
    Block* first = new Block();
    m_tailBlock.store(first, std::memory_order_relaxed);
    m_headBlock = first;
}

PostQueue::~PostQueue() {
    Block* block = m_headBlock;
    while (block != nullptr) {
        Block* next = block->next.load(std::memory_order_relaxed);
        delete block;
        block = next;
    }
    for (std::atomic<Block*>& spare : m_spares) {
        delete spare.load(std::memory_order_relaxed);
    }
}

PostQueue::Block* PostQueue::takeSpare() {
    for (std::atomic<Block*>& spare : m_spares) {
        if (Block* block = spare.exchange(nullptr, std::memory_order_acquire)) {
            return block;
        }
    }
    return new Block();
}

void PostQueue::giveSpare(Block* block) noexcept {
    for (std::atomic<Block*>& spare : m_spares) {
        Block* none = nullptr;
        if (spare.compare_exchange_strong(none, block, std::memory_order_release,
                                          std::memory_order_relaxed)) {
            return;
        }
    }
    delete block;
}

PostQueue::Waiter PostQueue::Push(const Message& message) {
    for (;;) {
        std::uint32_t tail = m_tail.load(std::memory_order_acquire);
        const std::uint32_t offset = tail % LAP;
        if (offset + 1 >= BLOCK_SLOTS) {
            return pushAtBlockEnd(message);
        }
        // Read after the tail: a block that is not the tail's any more means
        // the tail moved on, and the claim below fails.
        Block* block = m_tailBlock.load(std::memory_order_acquire);
        if (m_tail.compare_exchange_weak(tail, tail + 1, std::memory_order_seq_cst,
                                         std::memory_order_relaxed)) {
            return publish(block->slots[offset], message);
        }
    }
}

PostQueue::Waiter PostQueue::publish(Slot& slot, const Message& message) {
    slot.message = message;
    slot.written.store(1, std::memory_order_seq_cst);
    // The load keeps a post to a busy taker from writing the shared word.
    if (m_waiting.load(std::memory_order_seq_cst) == 0) {
        return Waiter::None;
    }
    return static_cast<Waiter>(m_waiting.exchange(0, std::memory_order_seq_cst));
}

// Once per block: the claim of its last slot, which links the next block,
// and the posts that find the link under way.
[[gnu::noinline]] PostQueue::Waiter PostQueue::pushAtBlockEnd(const Message& message) {
    // Got before the last slot is claimed, so that an allocation that throws
    // has claimed nothing.
    Block* fresh = nullptr;
    for (;;) {
        std::uint32_t tail = m_tail.load(std::memory_order_acquire);
        const std::uint32_t offset = tail % LAP;
        if (offset == BLOCK_SLOTS) {
            // Another poster is linking the next block: a few instructions.
            std::this_thread::yield();
            continue;
        }
        Block* block = m_tailBlock.load(std::memory_order_acquire);
        const bool last = offset + 1 == BLOCK_SLOTS;
        if (last && fresh == nullptr) {
            fresh = takeSpare();
        }
        if (!m_tail.compare_exchange_weak(tail, tail + 1, std::memory_order_seq_cst,
                                          std::memory_order_relaxed)) {
            continue;
        }
        if (last) {
            m_tailBlock.store(fresh, std::memory_order_release);
            m_tail.store(tail + 2, std::memory_order_release);
            block->next.store(fresh, std::memory_order_release);
        } else if (fresh != nullptr) {
            giveSpare(fresh);
        }
        return publish(block->slots[offset], message);
    }
}

bool PostQueue::Pop(Message& out) {
    const std::uint32_t head = m_head.load(std::memory_order_relaxed);
    const std::uint32_t offset = head % LAP;
    Slot& slot = m_headBlock->slots[offset];
    if (slot.written.load(std::memory_order_acquire) == 0) {
        return false;
    }
    out = slot.message;
    slot.written.store(0, std::memory_order_relaxed);
    if (offset + 1 < BLOCK_SLOTS) {
        m_head.store(head + 1, std::memory_order_release);
    } else {
        leaveBlock(head);
    }
    return true;
}

[[gnu::noinline]] void PostQueue::leaveBlock(std::uint32_t head) {
    // The last slot's poster linked the next block before it wrote.
    Block* emptied = m_headBlock;
    m_headBlock = emptied->next.load(std::memory_order_acquire);
    emptied->next.store(nullptr, std::memory_order_relaxed);
    m_head.store(head + 2, std::memory_order_release);
    giveSpare(emptied);
}

std::size_t PostQueue::Size() const {
    const std::uint32_t head = m_head.load(std::memory_order_acquire);
    const std::uint32_t tail = m_tail.load(std::memory_order_acquire);
    // Positions from the start of the head's lap to the tail, less one
    // marker position per lap crossed, less the slots already taken.
    const std::uint32_t span = tail - (head - head % LAP);
    return span - span / LAP - head % LAP;
}

bool PostQueue::BeginWait(Waiter how) {
    m_waiting.store(static_cast<std::uint32_t>(how), std::memory_order_seq_cst);
    const Slot& next = m_headBlock->slots[m_head.load(std::memory_order_relaxed) % LAP];
    if (next.written.load(std::memory_order_seq_cst) != 0) {
        m_waiting.store(0, std::memory_order_relaxed);
        return false;
    }
    return true;
}

void PostQueue::EndWait() {
    m_waiting.store(0, std::memory_order_relaxed);
}

} // namespace kavra
