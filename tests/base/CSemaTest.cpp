#include "kavra/base/CSema.h"
#include "support/Slowdown.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <limits>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using kavra::test::Patient;
using std::chrono::milliseconds;

milliseconds elapsedSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

TEST(CSemaConstruction, ClampsCountsIntoRange) {
    CSema above(5, 3, nullptr, nullptr);
    EXPECT_EQ(above.GetCount(), 3);
    EXPECT_EQ(above.GetMaximum(), 3);

    CSema negative(-2, 4);
    EXPECT_EQ(negative.GetCount(), 0);

    CSema noMaximum(1, 0);
    EXPECT_EQ(noMaximum.GetMaximum(), 1);
    EXPECT_EQ(noMaximum.GetCount(), 1);

    CSema named(1, 1, "ignored-name");
    EXPECT_EQ(named.GetCount(), 1);
}

TEST(CSemaLock, TakesFreeUnitsWithoutWaiting) {
    CSema sema(2, 2);
    EXPECT_NE(sema.Lock(0), 0);
    EXPECT_NE(sema.Lock(0), 0);
    EXPECT_EQ(sema.GetCount(), 0);
    EXPECT_EQ(sema.Lock(0), 0);
    EXPECT_EQ(sema.GetCount(), 0);
}

TEST(CSemaLock, ZeroTimeoutOnEmptySemaphoreReturnsAtOnce) {
    CSema sema(0, 1);
    const auto start = Clock::now();
    EXPECT_EQ(sema.Lock(0), 0);
    EXPECT_EQ(sema.Enter(0), 0);
    EXPECT_LT(elapsedSince(start), Patient(milliseconds(1000)));
    EXPECT_EQ(sema.GetCount(), 0);
}

TEST(CSemaLock, InfiniteWaitEndsOnlyAfterAnotherThreadsUnlock) {
    CSema sema(0, 1);
    std::atomic<bool> released{false};
    const auto start = Clock::now();
    std::thread releaser([&] {
        std::this_thread::sleep_for(milliseconds(150));
        released.store(true);
        sema.Unlock(1, nullptr);
    });

    EXPECT_NE(sema.Lock(CSema::INFINITE_TIMEOUT), 0);
    EXPECT_TRUE(released.load());
    const auto waited = elapsedSince(start);
    releaser.join();

    EXPECT_GE(waited, milliseconds(140));
    EXPECT_LT(waited, Patient(milliseconds(10000)));
    EXPECT_EQ(sema.GetCount(), 0);
}

TEST(CSemaLock, TimeoutExpiresAfterTheGivenTime) {
    CSema sema(0, 1);
    const auto start = Clock::now();
    EXPECT_EQ(sema.Lock(200), 0);
    const auto waited = elapsedSince(start);
    EXPECT_GE(waited, milliseconds(190));
    EXPECT_LT(waited, Patient(milliseconds(5000)));
    EXPECT_EQ(sema.GetCount(), 0);
}

TEST(CSemaLock, TimedWaitSucceedsWhenUnitArrivesInTime) {
    CSema sema(0, 1);
    std::thread releaser([&] {
        std::this_thread::sleep_for(milliseconds(50));
        sema.Unlock();
    });
    const auto start = Clock::now();
    EXPECT_NE(sema.Lock(static_cast<unsigned long>(Patient(milliseconds(20000)).count())), 0);
    EXPECT_LT(elapsedSince(start), Patient(milliseconds(15000)));
    releaser.join();
    EXPECT_EQ(sema.GetCount(), 0);
}

TEST(CSemaLock, UnlockOfSeveralUnitsWakesAsManyWaiters) {
    CSema sema(0, 10);
    constexpr int kWaiters = 3;
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.emplace_back([&] {
            if (sema.Lock(CSema::INFINITE_TIMEOUT) != 0) {
                woken.fetch_add(1);
            }
        });
    }
    // Give the waiters time to block; the result does not depend on it.
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_NE(sema.Unlock(kWaiters, nullptr), 0);
    for (auto& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(woken.load(), kWaiters);
    EXPECT_EQ(sema.GetCount(), 0);
}

TEST(CSemaUnlock, ReportsPreviousCount) {
    CSema sema(1, 5);
    long previous = -1;
    EXPECT_NE(sema.Unlock(2, &previous), 0);
    EXPECT_EQ(previous, 1);
    EXPECT_NE(sema.Leave(1, &previous), 0);
    EXPECT_EQ(previous, 3);
    EXPECT_EQ(sema.GetCount(), 4);
}

TEST(CSemaUnlock, BeyondMaximumFailsAndKeepsCount) {
    CSema sema(0, 3);
    long previous = -1;
    EXPECT_EQ(sema.Unlock(4, &previous), 0);
    EXPECT_EQ(previous, 0);
    EXPECT_EQ(sema.GetCount(), 0);

    EXPECT_NE(sema.Unlock(2, nullptr), 0);
    EXPECT_EQ(sema.Unlock(2, &previous), 0);
    EXPECT_EQ(previous, 2);
    EXPECT_EQ(sema.GetCount(), 2);

    EXPECT_NE(sema.Unlock(1, nullptr), 0);
    EXPECT_EQ(sema.Unlock(1, &previous), 0);
    EXPECT_EQ(previous, 3);
    EXPECT_EQ(sema.GetCount(), 3);
}

TEST(CSemaUnlock, SemaphoreAtMaximumStaysThere) {
    // A counter released more often than it is taken stops at its maximum.
    CSema counter(0, 100);
    int accepted = 0;
    for (int i = 0; i < 150; ++i) {
        accepted += counter.Unlock(1, nullptr) != 0 ? 1 : 0;
    }
    EXPECT_EQ(accepted, 100);
    EXPECT_EQ(counter.GetCount(), 100);
    EXPECT_NE(counter.Lock(0), 0);
    EXPECT_EQ(counter.GetCount(), 99);
}

TEST(CSemaUnlock, CountBelowOneFails) {
    CSema sema(1, 3);
    long previous = -1;
    EXPECT_EQ(sema.Unlock(0, &previous), 0);
    EXPECT_EQ(previous, 1);
    EXPECT_EQ(sema.Unlock(-1, nullptr), 0);
    EXPECT_EQ(sema.GetCount(), 1);
}

TEST(CSemaUnlock, HugeCountDoesNotOverflow) {
    CSema sema(1, 10);
    EXPECT_EQ(sema.Unlock(std::numeric_limits<long>::max(), nullptr), 0);
    EXPECT_EQ(sema.GetCount(), 1);

    // The largest maximum is the 32-bit one, whatever the width of long.
    CSema wide(0, std::numeric_limits<long>::max());
    EXPECT_EQ(wide.GetMaximum(), 0x7FFFFFFFL);
    EXPECT_NE(wide.Unlock(0x7FFFFFFFL, nullptr), 0);
    EXPECT_EQ(wide.GetCount(), 0x7FFFFFFFL);
    EXPECT_EQ(wide.Unlock(1, nullptr), 0);
    EXPECT_NE(wide.Lock(0), 0);
    EXPECT_EQ(wide.GetCount(), 0x7FFFFFFEL);
}

TEST(CSemaConcurrency, BinarySemaphoreGuardsPlainCounter) {
    CSema guard(1, 1);
    constexpr int kThreads = 6;
    constexpr int kRounds = 5000;
    long counter = 0;
    std::atomic<int> failures{0};

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                // Half the threads use the Enter/Leave names.
                const bool entered = t % 2 == 0 ? guard.Lock() != 0 : guard.Enter() != 0;
                if (!entered) {
                    failures.fetch_add(1);
                    continue;
                }
                const long seen = counter;
                counter = seen + 1;
                const int left = t % 2 == 0 ? guard.Unlock(1, nullptr) : guard.Leave(1, nullptr);
                if (left == 0) {
                    failures.fetch_add(1);
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(counter, static_cast<long>(kThreads) * kRounds);
    EXPECT_EQ(guard.GetCount(), 1);
}

TEST(CSemaConcurrency, HandOffsAcrossTheSpinAndSleepBoundaryAreNeverLost) {
    // Two threads hand a unit back and forth; the giver waits a little
    // longer each round, so that the taker finds it sometimes at once,
    // sometimes while spinning and sometimes asleep. A lost wake-up shows as
    // a wait that runs into its 5 s timeout.
    CSema ping(0, 1);
    CSema pong(0, 1);
    constexpr int kRounds = 400;
    std::atomic<int> timeouts{0};
    std::thread partner([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (ping.Lock(5000) == 0) {
                ++timeouts;
                return;
            }
            std::this_thread::sleep_for(std::chrono::microseconds((i % 20) * 10));
            pong.Unlock(1, nullptr);
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds((i % 23) * 9));
        ping.Unlock(1, nullptr);
        if (pong.Lock(5000) == 0) {
            ++timeouts;
            break;
        }
    }
    partner.join();
    EXPECT_EQ(timeouts.load(), 0);
    EXPECT_EQ(ping.GetCount(), 0);
    EXPECT_EQ(pong.GetCount(), 0);
}

TEST(CSemaConcurrency, BoundedBufferHandsEveryItemOverOnce) {
    constexpr int kProducers = 3;
    constexpr int kConsumers = 3;
    constexpr int kPerProducer = 3000;
    constexpr int kTotal = kProducers * kPerProducer;
    constexpr long kSlots = 8;

    CSema freeSlots(kSlots, kSlots);
    CSema filledSlots(0, kSlots);
    CSema bufferLock(1, 1);
    std::deque<int> buffer;
    std::size_t largestBuffer = 0;
    std::vector<int> consumed(kTotal, 0);
    std::atomic<int> failedReleases{0};

    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i) {
                freeSlots.Lock();
                bufferLock.Enter();
                buffer.push_back(p * kPerProducer + i);
                largestBuffer = std::max(largestBuffer, buffer.size());
                bufferLock.Leave();
                // Never fails: a slot was taken for this item first.
                if (filledSlots.Unlock(1, nullptr) == 0) {
                    failedReleases.fetch_add(1);
                }
            }
        });
    }
    for (int c = 0; c < kConsumers; ++c) {
        threads.emplace_back([&] {
            for (int i = 0; i < kTotal / kConsumers; ++i) {
                filledSlots.Lock();
                bufferLock.Enter();
                const int item = buffer.front();
                buffer.pop_front();
                ++consumed[static_cast<std::size_t>(item)];
                bufferLock.Leave();
                if (freeSlots.Unlock(1, nullptr) == 0) {
                    failedReleases.fetch_add(1);
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }

    EXPECT_EQ(failedReleases.load(), 0);
    EXPECT_TRUE(buffer.empty());
    EXPECT_LE(largestBuffer, static_cast<std::size_t>(kSlots));
    int wrong = 0;
    for (const int count : consumed) {
        wrong += count == 1 ? 0 : 1;
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(freeSlots.GetCount(), kSlots);
    EXPECT_EQ(filledSlots.GetCount(), 0);
}

TEST(CSemaConcurrency, TimedWaitersShareUnitsWithoutLosingAny) {
    // Waiters with short timeouts race the releases; every unit given back is
    // taken by exactly one of them or is still in the semaphore at the end.
    CSema sema(0, 1000);
    constexpr int kWaiters = 4;
    constexpr int kUnits = 400;
    std::atomic<int> taken{0};
    std::atomic<bool> stop{false};

    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.emplace_back([&] {
            while (!stop.load()) {
                if (sema.Lock(1) != 0) {
                    taken.fetch_add(1);
                }
            }
        });
    }
    for (int i = 0; i < kUnits; ++i) {
        sema.Unlock(1, nullptr);
        if (i % 50 == 0) {
            std::this_thread::sleep_for(milliseconds(1));
        }
    }
    const auto deadline = Clock::now() + Patient(std::chrono::seconds(20));
    while (taken.load() < kUnits && Clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(1));
    }
    stop.store(true);
    for (auto& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(taken.load() + sema.GetCount(), kUnits);
    EXPECT_EQ(taken.load(), kUnits);
}

TEST(CSemaConcurrency, ASleeperRobbedOfItsWakeUpIsWokenByALaterGiveBack) {
    // A give-back that wakes every sleeper lets the next ones skip the
    // wake-up; a thief that takes units without waiting makes woken sleepers
    // find nothing and sleep again. None may then sleep through the later
    // give-backs, which come every few hundred microseconds: a wait that
    // runs into its timeout was not woken.
    CSema sema(0, 1000000);
    constexpr int kSleepers = 3;
    constexpr int kEach = 300;
    const auto limit = Patient(milliseconds(500));
    std::atomic<int> taken{0};
    std::atomic<int> unwoken{0};
    std::atomic<int> finished{0};
    std::vector<std::thread> sleepers;
    for (int i = 0; i < kSleepers; ++i) {
        sleepers.emplace_back([&] {
            for (int n = 0; n < kEach; ++n) {
                const auto start = Clock::now();
                taken.fetch_add(sema.Lock(static_cast<unsigned long>(limit.count())));
                if (Clock::now() - start >= limit) {
                    unwoken.fetch_add(1);
                    break;
                }
            }
            finished.fetch_add(1);
        });
    }
    std::atomic<bool> stop{false};
    std::atomic<long> stolen{0};
    std::thread thief([&] {
        for (int i = 0; !stop.load(); ++i) {
            stolen.fetch_add(sema.Lock(0));
            std::this_thread::sleep_for(std::chrono::microseconds(i % 2 * 100));
        }
    });
    long given = 0;
    for (int i = 0; finished.load() < kSleepers; ++i) {
        const long count = 1 + i % 3;
        sema.Unlock(count, nullptr);
        given += count;
        std::this_thread::sleep_for(std::chrono::microseconds(50 + (i % 7) * 30));
    }
    stop.store(true);
    thief.join();
    for (auto& sleeper : sleepers) {
        sleeper.join();
    }
    EXPECT_EQ(unwoken.load(), 0);
    EXPECT_EQ(taken.load(), kSleepers * kEach);
    EXPECT_EQ(taken.load() + stolen.load() + sema.GetCount(), given);
}

TEST(CSemaConcurrency, SleeperLeavesCountAndMaximumAlone) {
    // A thread asleep in Lock is marked in the same word as the count: the
    // count reads 0, a give-back beyond the maximum still fails, and one
    // within it wakes the sleeper.
    CSema sema(0, 2);
    std::atomic<bool> taken{false};
    std::thread sleeper([&] { taken.store(sema.Lock(CSema::INFINITE_TIMEOUT) != 0); });
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(sema.GetCount(), 0);
    long previous = -1;
    EXPECT_EQ(sema.Unlock(3, &previous), 0);
    EXPECT_EQ(previous, 0);
    EXPECT_NE(sema.Unlock(2, &previous), 0);
    EXPECT_EQ(previous, 0);
    sleeper.join();
    EXPECT_TRUE(taken.load());
    EXPECT_EQ(sema.GetCount(), 1);
    EXPECT_EQ(sema.Unlock(2, nullptr), 0);
    EXPECT_NE(sema.Unlock(1, nullptr), 0);
    EXPECT_EQ(sema.GetCount(), 2);
}

TEST(CSemaConcurrency, WaiterMayDestroyTheSemaphoreOnceItsLockReturns) {
    // The give-back must be done with the semaphore by the time the unit it
    // gives can be taken: under AddressSanitizer a late touch is a
    // use-after-free. The waiter is found at once, spinning or asleep.
    constexpr int kRounds = 300;
    for (int i = 0; i < kRounds; ++i) {
        auto* sema = new CSema(0, 1);
        std::thread giver([sema, i] {
            std::this_thread::sleep_for(std::chrono::microseconds((i % 3) * 60 * (i % 7)));
            sema->Unlock(1, nullptr);
        });
        EXPECT_NE(sema->Lock(5000), 0);
        delete sema;
        giver.join();
    }
}

} // namespace
