#include "client/PduRecycler.h"

#include "base/BlockAccounting.h"
#include "base/PooledBytes.h"
#include "framing/WholeFrame.h"

#include "kavra/KavraPDU.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#define KAVRA_RECYCLER_POISONS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KAVRA_RECYCLER_POISONS 1
#endif
#endif

#if defined(KAVRA_RECYCLER_POISONS)
#include <sanitizer/asan_interface.h>
#endif

namespace kavra {

namespace {

// What a kept PDU looks like to the allocation watch: gone while kept.
void ReportKept(KavraPDU& pdu) noexcept {
    BlockAccounting::Released(BlockKind::PduBody, pdu.getBufAddr());
    BlockAccounting::Released(BlockKind::PduObject, &pdu);
}

// A kept PDU in use again, with the body it held.
void ReportBack(KavraPDU& pdu) noexcept {
    BlockAccounting::Allocated(BlockKind::PduObject, &pdu, sizeof(KavraPDU));
    BlockAccounting::Allocated(BlockKind::PduBody, pdu.getBufAddr(), pdu.getBufSize());
}

#if defined(KAVRA_RECYCLER_POISONS)
void Poison(KavraPDU* pdu) noexcept {
    __asan_poison_memory_region(pdu->getBufAddr(), PooledBytes::SMALL_BLOCK);
    __asan_poison_memory_region(pdu, sizeof(KavraPDU));
}

void Unpoison(KavraPDU* pdu) noexcept {
    __asan_unpoison_memory_region(pdu, sizeof(KavraPDU));
    __asan_unpoison_memory_region(pdu->getBufAddr(), PooledBytes::SMALL_BLOCK);
}
#else
void Poison(KavraPDU* /*pdu*/) noexcept {}
void Unpoison(KavraPDU* /*pdu*/) noexcept {}
#endif

// Stops the process when two threads are in Make at once.
class MakingCheck {
public:
    explicit MakingCheck(std::atomic<bool>& making) : m_making(making) {
        if constexpr (THREAD_CHECKS) {
            if (m_making.exchange(true, std::memory_order_acquire)) {
                std::fprintf(stderr, "kavra: PduRecycler::Make called on two threads at once\n");
                std::abort();
            }
        }
    }
    ~MakingCheck() {
        if constexpr (THREAD_CHECKS) {
            m_making.store(false, std::memory_order_release);
        }
    }
    MakingCheck(const MakingCheck&) = delete;
    MakingCheck& operator=(const MakingCheck&) = delete;

private:
    std::atomic<bool>& m_making;
};

} // namespace

PduRecycler::~PduRecycler() {
    // Back to the pools the ordinary way, seen by the watch as made and
    // destroyed once more.
    while (KavraPDU* pdu = takeKept()) {
        ReportBack(*pdu);
        delete pdu;
    }
}

std::unique_ptr<KavraPDU> PduRecycler::Make(const unsigned char* body, int length) {
    const MakingCheck check(m_making);
    if (static_cast<std::size_t>(length) <= PooledBytes::SMALL_BLOCK) {
        if (KavraPDU* kept = takeKept()) {
            BlockAccounting::Allocated(BlockKind::PduObject, kept, sizeof(KavraPDU));
            WholeFrame::Refill(*kept, body, length);
            return std::unique_ptr<KavraPDU>(kept);
        }
    }
    auto pdu = std::make_unique<KavraPDU>();
    WholeFrame::CopyBody(*pdu, body, length);
    return pdu;
}

void PduRecycler::Give(std::unique_ptr<KavraPDU> pdu) noexcept {
    if (!pdu || !WholeFrame::Refillable(*pdu)) {
        return;
    }
    const auto isFree = [](const std::atomic<KavraPDU*>& slot) {
        return slot.load(std::memory_order_relaxed) == nullptr;
    };
    if (std::none_of(m_slots.begin(), m_slots.end(), isFree)) {
        return;
    }
    // Reported and poisoned before it is published: from then on the worker
    // may take it at once.
    ReportKept(*pdu);
    Poison(pdu.get());
    for (auto& slot : m_slots) {
        KavraPDU* expected = nullptr;
        if (slot.compare_exchange_strong(expected, pdu.get(), std::memory_order_release,
                                         std::memory_order_relaxed)) {
            static_cast<void>(pdu.release());
            return;
        }
    }
    // Another consumer filled the slots meanwhile.
    Unpoison(pdu.get());
    ReportBack(*pdu);
}

KavraPDU* PduRecycler::takeKept() noexcept {
    for (auto& slot : m_slots) {
        if (slot.load(std::memory_order_relaxed) == nullptr) {
            continue;
        }
        if (KavraPDU* pdu = slot.exchange(nullptr, std::memory_order_acquire)) {
            Unpoison(pdu);
            return pdu;
        }
    }
    return nullptr;
}

} // namespace kavra
