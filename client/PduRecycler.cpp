#include "client/PduRecycler.h"

#include "base/BlockAccounting.h"
#include "base/PooledBytes.h"
#include "framing/WholeFrame.h"

#include "kavra/KavraPDU.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// The next kept PDU, in the first bytes of a kept PDU's body block, which
// has room for the small size class whatever it holds.
static_assert(PooledBytes::SMALL_BLOCK >= sizeof(KavraPDU*));

KavraPDU* NextOf(KavraPDU& pdu) noexcept {
    KavraPDU* next = nullptr;
    std::memcpy(&next, pdu.getBufAddr(), sizeof(next));
    return next;
}

// block: the PDU's body block, which stays readable while the PDU is
// poisoned.
void SetNext(void* block, KavraPDU* next) noexcept {
    std::memcpy(block, &next, sizeof(next));
}

#if defined(KAVRA_RECYCLER_POISONS)
void Poison(KavraPDU* pdu) noexcept {
    auto* block = static_cast<unsigned char*>(pdu->getBufAddr());
    __asan_poison_memory_region(block + sizeof(KavraPDU*),
                                PooledBytes::SMALL_BLOCK - sizeof(KavraPDU*));
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
    // The watch saw them go when they were given.
    takeGiven();
    while (m_atHand != nullptr) {
        KavraPDU* pdu = m_atHand;
        m_atHand = NextOf(*pdu);
        WholeFrame::DestroyReported(pdu);
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
    // Reported and poisoned before it is published: from then on the worker
    // may take it at once.
    ReportKept(*pdu);
    void* block = pdu->getBufAddr();
    KavraPDU* head = m_given.load(std::memory_order_relaxed);
    SetNext(block, head);
    Poison(pdu.get());
    while (!m_given.compare_exchange_weak(head, pdu.get(), std::memory_order_release,
                                          std::memory_order_relaxed)) {
        SetNext(block, head);
    }
    static_cast<void>(pdu.release());
}

KavraPDU* PduRecycler::takeKept() noexcept {
    if (m_atHand == nullptr) {
        takeGiven();
        if (m_atHand == nullptr) {
            return nullptr;
        }
    }
    KavraPDU* pdu = m_atHand;
    m_atHand = NextOf(*pdu);
    --m_atHandCount;
    return pdu;
}

void PduRecycler::takeGiven() noexcept {
    if (m_given.load(std::memory_order_relaxed) == nullptr) {
        return;
    }
    KavraPDU* given = m_given.exchange(nullptr, std::memory_order_acquire);
    while (given != nullptr) {
        KavraPDU* pdu = given;
        Unpoison(pdu);
        given = NextOf(*pdu);
        if (m_atHandCount < AT_HAND) {
            SetNext(pdu->getBufAddr(), m_atHand);
            m_atHand = pdu;
            ++m_atHandCount;
        } else {
            WholeFrame::DestroyReported(pdu);
        }
    }
}

} // namespace kavra
