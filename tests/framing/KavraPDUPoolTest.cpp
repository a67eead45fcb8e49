// PDUs made on one thread and destroyed on another, the receive path's
// pattern, in volume: every object must come back exactly once and no two
// live PDUs may share memory. Threads end while they still hold pooled
// memory, and their blocks stay on their shelves for the threads after them.
// Meant to run under the sanitizers as well: ThreadSanitizer sees the pool's
// flags and mutex, and under AddressSanitizer every block the pool holds is
// poisoned, so a PDU used or freed again after its release is reported.
#include <kavra/KavraPDU.h>
#include <kavra/base/CIPByteBuffer.h>

#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
#define KAVRA_TEST_POOL_POISONS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KAVRA_TEST_POOL_POISONS 1
#endif
#endif

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Body sizes up to 300 bytes, and every eighth one around 2 KiB, so that
// bodies of both pooled size classes and of the global allocator meet.
unsigned int bodySize(std::uint32_t seq) {
    return seq % 8 == 0 ? 2040 + seq % 16 : (seq * 37) % 300;
}

// A PDU whose body is its producer, repeated, then its sequence number.
KavraPDU* makePdu(std::uint32_t producer, std::uint32_t seq) {
    const std::vector<unsigned char> fill(bodySize(seq), static_cast<unsigned char>(producer));
    CIPByteBuffer body;
    body.appendBytes(fill.data(), static_cast<int>(fill.size()));
    body.appendInt(static_cast<int>(seq));
    auto* pdu = new KavraPDU();
    pdu->setBody(body);
    return pdu;
}

bool intact(KavraPDU& pdu, std::uint32_t producer, std::uint32_t seq) {
    const auto* bytes = static_cast<const unsigned char*>(pdu.getBufAddr());
    const unsigned int size = pdu.getBufSize();
    if (bytes == nullptr || size != bodySize(seq) + 4) {
        return false;
    }
    for (unsigned int i = 0; i + 4 < size; ++i) {
        if (bytes[i] != static_cast<unsigned char>(producer)) {
            return false;
        }
    }
    CIPByteBuffer tail;
    tail.appendBytes(bytes + size - 4, 4);
    return static_cast<std::uint32_t>(tail.removeInt()) == seq;
}

struct Handoff {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<KavraPDU*> pdus;
    bool done = false;
};

} // namespace

TEST(KavraPDUPool, MadeOnOneThreadFreedOnAnotherComeBackExactlyOnce) {
    constexpr std::uint32_t PAIRS = 3;
    constexpr std::uint32_t PER_PRODUCER = 20000;
    std::vector<Handoff> lanes(PAIRS);
    std::vector<std::thread> threads;
    std::vector<std::uint32_t> damaged(PAIRS, 0);
    std::vector<std::uint32_t> received(PAIRS, 0);

    for (std::uint32_t lane = 0; lane < PAIRS; ++lane) {
        threads.emplace_back([&, lane] {
            Handoff& h = lanes[lane];
            for (std::uint32_t seq = 0; seq < PER_PRODUCER; ++seq) {
                KavraPDU* pdu = makePdu(lane + 1, seq);
                // Some PDUs die on their maker's thread, among the others.
                if (seq % 7 == 0) {
                    KavraPDU copy(*pdu);
                    delete pdu;
                    pdu = new KavraPDU(copy);
                }
                const std::lock_guard<std::mutex> lock(h.mutex);
                h.pdus.push_back(pdu);
                h.ready.notify_one();
            }
            const std::lock_guard<std::mutex> lock(h.mutex);
            h.done = true;
            h.ready.notify_one();
        });
        threads.emplace_back([&, lane] {
            Handoff& h = lanes[lane];
            for (std::uint32_t expected = 0;;) {
                std::deque<KavraPDU*> batch;
                {
                    std::unique_lock<std::mutex> lock(h.mutex);
                    h.ready.wait(lock, [&] { return !h.pdus.empty() || h.done; });
                    if (h.pdus.empty()) {
                        return;
                    }
                    batch.swap(h.pdus);
                }
                // Held a while before the frees, so that live PDUs of all
                // lanes overlap and a block handed out twice shows.
                for (KavraPDU* pdu : batch) {
                    if (!intact(*pdu, lane + 1, expected++)) {
                        ++damaged[lane];
                    }
                }
                for (KavraPDU* pdu : batch) {
                    delete pdu;
                    ++received[lane];
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    for (std::uint32_t lane = 0; lane < PAIRS; ++lane) {
        EXPECT_EQ(received[lane], PER_PRODUCER) << "lane " << lane;
        EXPECT_EQ(damaged[lane], 0u) << "lane " << lane;
    }
}

#if defined(KAVRA_TEST_POOL_POISONS)
// The pool keeps a released PDU for the next one, where the global allocator
// would have let AddressSanitizer see it freed: the pool poisons it instead.
TEST(KavraPDUPoolDeathTest, UseAfterFreeOfAPooledPduIsReported) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            auto* pdu = new KavraPDU();
            auto* volatile dangling = static_cast<volatile unsigned char*>(static_cast<void*>(pdu));
            delete pdu;
            static_cast<void>(dangling[sizeof(KavraPDU) - 1]);
        },
        "use-after-poison");
}

TEST(KavraPDUPoolDeathTest, ABlockReleasedTwiceIsReported) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            void* block = KavraPDU::operator new(sizeof(KavraPDU));
            KavraPDU::operator delete(block, sizeof(KavraPDU));
            KavraPDU::operator delete(block, sizeof(KavraPDU));
        },
        "released while free \\(double free\\)");
}
#endif
