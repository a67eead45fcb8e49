#include "support/BlockTracker.h"

namespace kavra::test {

BlockTracker::BlockTracker()
    : BlockTracker({BlockKind::PduObject, BlockKind::HeaderObject, BlockKind::PduBody,
                    BlockKind::ByteBuffer, BlockKind::SendCopy}) {}

BlockTracker::BlockTracker(std::initializer_list<BlockKind> kinds) {
    for (BlockKind kind : kinds) {
        m_kinds[static_cast<std::size_t>(kind)].watched = true;
    }
    AllocationWatch::SetObserver(this);
}

BlockTracker::~BlockTracker() {
    AllocationWatch::SetObserver(nullptr);
}

bool BlockTracker::IsLive(const void* block) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (const Kind& kind : m_kinds) {
        if (kind.live.count(block) != 0) {
            return true;
        }
    }
    return false;
}

BlockTracker::Counts BlockTracker::Of(BlockKind kind) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Counts counts = m_kinds[static_cast<std::size_t>(kind)].counts;
    counts.live = m_kinds[static_cast<std::size_t>(kind)].live.size();
    return counts;
}

BlockTracker::Counts BlockTracker::Total() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Counts total;
    for (const Kind& kind : m_kinds) {
        total.allocations += kind.counts.allocations;
        total.releases += kind.counts.releases;
        total.foreign += kind.counts.foreign;
        total.doubled += kind.counts.doubled;
        total.live += kind.live.size();
    }
    return total;
}

void BlockTracker::OnAllocated(BlockKind kind, const void* block, std::size_t /*size*/) noexcept {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Kind& k = m_kinds[static_cast<std::size_t>(kind)];
    if (k.watched) {
        ++k.counts.allocations;
        if (!k.live.insert(block).second) {
            ++k.counts.doubled;
        }
    }
}

void BlockTracker::OnReleased(BlockKind kind, const void* block) noexcept {
    const std::lock_guard<std::mutex> lock(m_mutex);
    Kind& k = m_kinds[static_cast<std::size_t>(kind)];
    if (k.watched) {
        ++k.counts.releases;
        if (k.live.erase(block) == 0) {
            ++k.counts.foreign;
        }
    }
}

} // namespace kavra::test
