#pragma once

#include "base/ThreadCheck.h"

#include <atomic>
#include <cstddef>
#include <memory>

class KavraPDU;

namespace kavra {

/**
 * Received PDUs that the library itself is done with, kept for the next
 * frames of the same connection: the object and its body block are filled
 * again instead of going back to their pools and coming out of them again
 * on the worker.
 *
 * Only a PDU that WholeFrame can refill is kept (exactly a KavraPDU, no
 * header object, an owned body of the small size class); any other PDU is
 * destroyed as before. A refilled PDU is what a new one with the same body
 * would be, so nothing outside the library can tell the two apart. Only a
 * PDU that nobody else holds may be given: one the receive queue owned and
 * a consumer of the library (GetMessageA, ReceivePdu, the default
 * OnReceiveQueuePush) took off it and finished with.
 *
 * Consumers give PDUs to a list that the worker takes whole when the PDUs
 * at its hand run out, so a consumer that takes a run of PDUs while the
 * worker reads the next run costs one compare-and-swap a PDU, and the
 * worker one exchange a run. The worker keeps at most AT_HAND of a run and
 * destroys the rest; so what is kept never exceeds what was queued and
 * being consumed at once, plus AT_HAND.
 *
 * The allocation watch sees a kept PDU, object and body, released when it is
 * given and allocated again when it is refilled, so its counts are those of
 * destroying and making one. Under AddressSanitizer a kept PDU is poisoned
 * until it is refilled (all but the link in the first bytes of its body
 * block), so a use of it in between is reported.
 *
 * Thread rules: Give from any thread, concurrently; Make from one thread at
 * a time, the connection's worker (checked where thread checks are on); the
 * destructor, which destroys what is kept, with neither under way.
 */
class PduRecycler {
public:
    /// PDUs the worker keeps at hand at most.
    static constexpr std::size_t AT_HAND = 128;

    PduRecycler() = default;
    ~PduRecycler();
    PduRecycler(const PduRecycler&) = delete;
    PduRecycler& operator=(const PduRecycler&) = delete;

    /// A PDU that owns a copy of body[0, length), length at least 1: a kept
    /// one filled again when length fits the small size class, else a new
    /// one. Throws std::bad_alloc (nothing kept is lost then).
    std::unique_ptr<KavraPDU> Make(const unsigned char* body, int length);
    /// Keeps pdu for Make when it can be refilled, else destroys it. Null is
    /// ignored.
    void Give(std::unique_ptr<KavraPDU> pdu) noexcept;

private:
    // A kept PDU, made usable again, or null. Worker.
    KavraPDU* takeKept() noexcept;
    // Moves what consumers gave to the worker's hand. Worker.
    void takeGiven() noexcept;

    // Given PDUs, newest first, linked through their body blocks.
    std::atomic<KavraPDU*> m_given{nullptr};
    // The worker's own: kept PDUs at hand, usable again, and their number.
    KavraPDU* m_atHand = nullptr;
    std::size_t m_atHandCount = 0;
    // Set while Make runs, where thread checks are on.
    std::atomic<bool> m_making{false};
};

} // namespace kavra
