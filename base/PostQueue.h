// The message queue of a CQWinThread: any number of threads post, one
// thread takes, and neither takes a lock.
//
// Messages lie in blocks of 31 slots linked in post order. A poster claims
// the next slot with one compare-and-swap on the tail position, writes the
// message and marks the slot written; the poster that claims a block's last
// slot links the next block first (a few are kept spare, so that a steady
// stream allocates nothing). The taker reads slots in order and hands a block it
// has emptied back as a spare. A slot claimed but not yet written holds
// the taker up: messages leave in the order their slots were claimed, which
// keeps every poster's own order and the order of posts that one thread saw
// complete before it made its own.
//
// Waking: the taker announces a wait (BeginWait) before it sleeps, and the
// first post that finds the announcement takes it and tells its poster to
// wake the taker. Both sides write their own word and then read the
// other's, in sequentially consistent order, so a post either is seen by
// BeginWait or sees the wait. A run of posts to a busy taker costs no
// wake-up at all, and a run of posts to a sleeping one costs one.
//
// Positions are 32-bit counters that wrap; a lap of 32 positions covers a
// block, its last position marks "next block being linked".
//
// Thread rules: Push and Size from any thread; Pop, BeginWait and EndWait
// from one thread at a time (the taker).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kavra {

class PostQueue {
public:
    // One message as posted.
    struct Message {
        unsigned int message = 0;
        unsigned int wParam = 0;
        long lParam = 0;
    };

    // Throws std::bad_alloc.
    PostQueue();
    PostQueue(const PostQueue&) = delete;
    PostQueue& operator=(const PostQueue&) = delete;
    ~PostQueue();

    // How the taker waits, as it announced: nobody to wake, a taker asleep
    // on a condition variable, or a loop woken some other way.
    enum class Waiter : std::uint32_t { None, Sleeper, Loop };

    // Appends message. The waiter the caller must wake: the taker's
    // announced wait, which this post took, so that the posts after it up to
    // the next announcement wake nobody. Throws std::bad_alloc, having
    // queued nothing.
    Waiter Push(const Message& message);
    // Takes the oldest message; false when there is none (or the oldest is
    // still being written; its poster then wakes a taker that waits).
    bool Pop(Message& out);
    // Messages queued, as a snapshot.
    std::size_t Size() const;
    // Announces a wait of the given kind; false (and no wait announced) when
    // a message can be taken already.
    bool BeginWait(Waiter how);
    // Ends the wait announced by BeginWait.
    void EndWait();

private:
    static constexpr std::uint32_t LAP = 32;
    static constexpr std::uint32_t BLOCK_SLOTS = LAP - 1;

    struct Slot {
        std::atomic<std::uint32_t> written{0};
        Message message;
    };
    struct Block {
        Slot slots[BLOCK_SLOTS];
        std::atomic<Block*> next{nullptr};
    };

    // Blocks kept for the next laps, so that a steady stream allocates
    // nothing.
    static constexpr std::size_t SPARES = 4;

    Waiter publish(Slot& slot, const Message& message);
    Waiter pushAtBlockEnd(const Message& message);
    void leaveBlock(std::uint32_t head);
    Block* takeSpare();
    void giveSpare(Block* block) noexcept;

    // Posters' side.
    alignas(64) std::atomic<std::uint32_t> m_tail{0};
    std::atomic<Block*> m_tailBlock{nullptr};
    std::atomic<Block*> m_spares[SPARES]{};
    // Taker's side; m_head is read by Size.
    alignas(64) std::atomic<std::uint32_t> m_head{0};
    Block* m_headBlock = nullptr;
    // Read by every post, written by the taker only when it waits: a line
    // of its own, away from the head that the taker moves all the time.
    alignas(64) std::atomic<std::uint32_t> m_waiting{0};
};

} // namespace kavra
