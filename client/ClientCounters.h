#pragma once

#include "kavra/ConnectionStats.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kavra {

/// @cond KAVRA_STATS_EXPANSIONS
#define KAVRA_STAT_NAME(kind, cxx, c) KAVRA_STAT_NAME_##kind(cxx)
#define KAVRA_STAT_NAME_COUNTER(cxx) cxx,
#define KAVRA_STAT_NAME_CXX_COUNTER(cxx) cxx,
#define KAVRA_STAT_NAME_READ(cxx)
#define KAVRA_STAT_NAME_FLAG(cxx)
#define KAVRA_STAT_NAME_SUM(cxx)
/// @endcond

/// The counts a client keeps itself: the COUNTER and CXX_COUNTER fields of
/// KAVRA_STATS_FIELDS, named as in ConnectionStats.
enum class Stat : std::size_t { KAVRA_STATS_FIELDS(KAVRA_STAT_NAME) Count };

/**
 * A client's own tallies, one per Stat, each starting at 0.
 *
 * Any thread adds and reads, without locks: each count is exact, the set is
 * not one snapshot. Counting costs one relaxed atomic addition.
 */
class ClientCounters {
public:
    /// Adds n to stat. Any thread.
    void Add(Stat stat, std::uint64_t n = 1) {
        m_counts[static_cast<std::size_t>(stat)].fetch_add(n, std::memory_order_relaxed);
    }
    /// stat's count. Any thread.
    std::uint64_t Get(Stat stat) const {
        return m_counts[static_cast<std::size_t>(stat)].load(std::memory_order_relaxed);
    }
    /// Writes every count into the ConnectionStats field of the same name.
    /// Any thread.
    void CopyTo(ConnectionStats& stats) const;

private:
    std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(Stat::Count)> m_counts{};
};

} // namespace kavra
