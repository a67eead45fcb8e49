// Watches the library's own allocations (kavra::AllocationWatch) while it
// lives: per kind, how many blocks were allocated and released, which are
// live, every release of a block that was not live (released twice, or not
// allocated while watched: "foreign") and every allocation of a block that
// was already live (one block handed out twice). Works wherever the library
// runs, a DLL and the sanitizers included. One tracker at a time; any thread
// may allocate while it watches.
#pragma once

#include <kavra/base/AllocationWatch.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <set>

namespace kavra::test {

class BlockTracker : public AllocationWatch::Observer {
public:
    struct Counts {
        std::uint64_t allocations = 0;
        std::uint64_t releases = 0;
        std::uint64_t foreign = 0;
        std::uint64_t doubled = 0;
        std::size_t live = 0;
    };

    // Watches the given kinds, or all of them.
    BlockTracker();
    explicit BlockTracker(std::initializer_list<BlockKind> kinds);
    // Stops watching; the threads that allocate must be gone by then.
    ~BlockTracker() override;
    BlockTracker(const BlockTracker&) = delete;
    BlockTracker& operator=(const BlockTracker&) = delete;

    bool IsLive(const void* block);
    Counts Of(BlockKind kind);
    // All watched kinds together.
    Counts Total();

    void OnAllocated(BlockKind kind, const void* block, std::size_t size) noexcept override;
    void OnReleased(BlockKind kind, const void* block) noexcept override;

private:
    struct Kind {
        bool watched = false;
        std::set<const void*> live;
        Counts counts;
    };

    std::mutex m_mutex;
    std::array<Kind, BLOCK_KINDS> m_kinds;
};

} // namespace kavra::test
