#include "kavra/base/CQWinThread.h"
#include "kavra/base/CBaseThread.h"
#include "support/Slowdown.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const auto kWaitLimit = kavra::test::Patient(std::chrono::seconds(10));
constexpr unsigned int kDataMessage = 5000;
constexpr unsigned int kThrowMessage = 5001;
constexpr unsigned int kSelfDestroyMessage = 5002;

// Polls a condition until it holds or the wait limit passes.
bool eventually(const std::function<bool()>& condition) {
    const auto deadline = Clock::now() + kWaitLimit;
    while (!condition()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

// A queue thread that records its hooks (with the thread each ran on) and
// every message it dispatches.
class RecordingThread : public CQWinThread {
public:
    // Runs on the worker for each dispatched message; set before the start.
    std::function<void(const MSG&)> onDispatch;
    bool throwInBeforeRun = false;
    milliseconds beforeRunDelay{0};

    ~RecordingThread() override { Destroy(); }

    std::vector<std::string> Events() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }

    std::vector<MSG> Dispatched() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_dispatched;
    }

    bool WaitForDispatched(std::size_t count) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, kWaitLimit, [&] { return m_dispatched.size() >= count; });
    }

    void BeforeRun() override {
        CQWinThread::BeforeRun();
        std::this_thread::sleep_for(beforeRunDelay);
        if (throwInBeforeRun) {
            throw std::runtime_error("cannot prepare");
        }
        record("BeforeRun");
    }
    unsigned long Run() override {
        record("Run");
        return CQWinThread::Run();
    }
    void AfterRun() override { record("AfterRun"); }
    int RegisterToManager() override {
        record("Register");
        return CQWinThread::RegisterToManager();
    }
    int UnRegisterToManager() override {
        record("Unregister");
        return CQWinThread::UnRegisterToManager();
    }
    void OnPreQuit() override { record("OnPreQuit"); }
    void OnQuit() override { record("OnQuit"); }
    void OnCreate() override { record("OnCreate"); }

protected:
    long DispatchMessageA(const MSG* msg) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_dispatched.push_back(*msg);
        }
        m_changed.notify_all();
        if (onDispatch) {
            onDispatch(*msg);
        }
        return 1;
    }

private:
    void record(const std::string& step) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(step + (IsCurrentThread() ? "@worker" : "@caller"));
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_events;
    std::vector<MSG> m_dispatched;
};

std::vector<std::string> without(std::vector<std::string> events, const std::string& event) {
    events.erase(std::remove(events.begin(), events.end(), event), events.end());
    return events;
}

std::ptrdiff_t indexOf(const std::vector<std::string>& events, const std::string& event) {
    const auto found = std::find(events.begin(), events.end(), event);
    return found == events.end() ? -1 : found - events.begin();
}

// ---------------------------------------------------------------------------
// Plain base thread: no queue.

TEST(CBaseThreadDefaults, HasNoQueueAndItsLoopEndsAtOnce) {
    const int before = CBaseThread::RunningThreadCount();
    CBaseThread thread;
    EXPECT_STREQ(thread.GetClassNameA(), "CBaseThread");

    MSG msg{};
    EXPECT_EQ(thread.PostMessageA(kDataMessage, 1, 2), 0);
    EXPECT_EQ(thread.PeekMessageA(&msg, 0, 0, PM_REMOVE), 0);
    EXPECT_EQ(thread.GetMessageA(&msg, 0, 0), 0);

    EXPECT_EQ(thread.Create(), 1);
    EXPECT_TRUE(eventually([&] { return !thread.IsRunning(); }));
    EXPECT_EQ(thread.Destroy(), 1);
    EXPECT_EQ(thread.Destroy(), 0);
    EXPECT_EQ(CBaseThread::RunningThreadCount(), before);
}

// ---------------------------------------------------------------------------
// Life cycle.

TEST(CQWinThreadLifecycle, HooksRunInOrderOnTheirThreads) {
    RecordingThread thread;
    // Makes a broken wait for BeforeRun show up as a missing event below.
    thread.beforeRunDelay = milliseconds(50);
    ASSERT_EQ(thread.Create(), 1);
    EXPECT_TRUE(thread.IsRunning());
    EXPECT_FALSE(thread.IsCurrentThread());

    const std::vector<std::string> started = without(thread.Events(), "Run@worker");
    const std::vector<std::string> expectedStart = {"OnCreate@caller", "Register@worker",
                                                    "BeforeRun@worker"};
    EXPECT_EQ(started, expectedStart);

    EXPECT_EQ(thread.Destroy(), 1);
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_TRUE(thread.IsQuitRequested());

    const std::vector<std::string> events = thread.Events();
    const std::vector<std::string> expected = {
        "OnCreate@caller", "Register@worker", "BeforeRun@worker", "OnPreQuit@caller",
        "AfterRun@worker", "OnQuit@worker",   "Unregister@worker"};
    EXPECT_EQ(without(events, "Run@worker"), expected);
    EXPECT_EQ(std::count(events.begin(), events.end(), "Run@worker"), 1);
    EXPECT_GT(indexOf(events, "Run@worker"), indexOf(events, "BeforeRun@worker"));
    EXPECT_LT(indexOf(events, "Run@worker"), indexOf(events, "AfterRun@worker"));
}

TEST(CQWinThreadLifecycle, RunningThreadCountFollowsThreads) {
    const int before = CBaseThread::RunningThreadCount();
    std::vector<std::unique_ptr<RecordingThread>> threads;
    for (int i = 0; i < 3; ++i) {
        threads.push_back(std::make_unique<RecordingThread>());
        ASSERT_EQ(threads.back()->Create(), 1);
        EXPECT_EQ(CBaseThread::RunningThreadCount(), before + i + 1);
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(threads[static_cast<std::size_t>(i)]->Destroy(), 1);
        EXPECT_EQ(CBaseThread::RunningThreadCount(), before + 2 - i);
    }
}

TEST(CQWinThreadLifecycle, SecondStartIsRefusedWhileRunning) {
    const int before = CBaseThread::RunningThreadCount();
    RecordingThread thread;
    EXPECT_NE(thread.CreateThread(1), nullptr);
    EXPECT_EQ(thread.CreateThread(1), nullptr);
    EXPECT_EQ(thread.CreateThread(0), nullptr);
    EXPECT_EQ(thread.Create(), 0);
    EXPECT_EQ(CBaseThread::RunningThreadCount(), before + 1);

    thread.PostMessageA(kDataMessage, 0, 0);
    ASSERT_TRUE(thread.WaitForDispatched(1));
    EXPECT_EQ(thread.Destroy(), 1);
    EXPECT_EQ(thread.Destroy(), 0);
    EXPECT_EQ(CBaseThread::RunningThreadCount(), before);

    const std::vector<std::string> events = thread.Events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "BeforeRun@worker"), 1);
}

TEST(CQWinThreadLifecycle, RestartsAfterDestroyDespiteLeftoverQuit) {
    const int before = CBaseThread::RunningThreadCount();
    RecordingThread thread;
    ASSERT_EQ(thread.Create(), 1);
    thread.PostMessageA(kDataMessage, 1, 0);
    ASSERT_TRUE(thread.WaitForDispatched(1));
    // Two stop requests: the loop takes one WM_QUIT and leaves the other.
    thread.Quit();
    EXPECT_EQ(thread.Destroy(), 1);
    EXPECT_FALSE(thread.IsRunning());

    ASSERT_EQ(thread.Create(), 1);
    EXPECT_FALSE(thread.IsQuitRequested());
    thread.PostMessageA(kDataMessage, 2, 0);
    ASSERT_TRUE(thread.WaitForDispatched(2));
    EXPECT_TRUE(thread.IsRunning());
    EXPECT_EQ(thread.Dispatched()[1].wParam, 2u);
    EXPECT_EQ(thread.Destroy(), 1);

    const std::vector<std::string> events = thread.Events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "Register@worker"), 2);
    EXPECT_EQ(std::count(events.begin(), events.end(), "Unregister@worker"), 2);
    EXPECT_EQ(CBaseThread::RunningThreadCount(), before);
}

TEST(CQWinThreadLifecycle, DestroyFromAnotherThreadJoins) {
    RecordingThread thread;
    ASSERT_EQ(thread.Create(), 1);

    int result = -1;
    std::vector<std::string> eventsAfterDestroy;
    std::thread stopper([&] {
        result = thread.Destroy();
        eventsAfterDestroy = thread.Events();
    });
    stopper.join();

    EXPECT_EQ(result, 1);
    EXPECT_FALSE(thread.IsRunning());
    // The thread body had finished when Destroy returned.
    EXPECT_GE(indexOf(eventsAfterDestroy, "Unregister@worker"), 0);
}

TEST(CQWinThreadLifecycle, ConcurrentDestroysBothReturnAfterTheThreadEnded) {
    RecordingThread thread;
    ASSERT_EQ(thread.Create(), 1);

    std::atomic<int> joined{0};
    std::atomic<int> stillRunning{0};
    std::vector<std::thread> stoppers;
    for (int i = 0; i < 2; ++i) {
        stoppers.emplace_back([&] {
            joined.fetch_add(thread.Destroy());
            stillRunning.fetch_add(thread.IsRunning() ? 1 : 0);
        });
    }
    for (auto& stopper : stoppers) {
        stopper.join();
    }
    EXPECT_EQ(joined.load(), 1);
    EXPECT_EQ(stillRunning.load(), 0);
}

TEST(CQWinThreadLifecycle, DestroyOnItsOwnThreadOnlyAsksToStop) {
    RecordingThread thread;
    std::promise<int> selfResult;
    thread.onDispatch = [&](const MSG& msg) {
        if (msg.message == kSelfDestroyMessage) {
            selfResult.set_value(thread.IsCurrentThread() ? thread.Destroy() : -1);
        }
    };
    ASSERT_EQ(thread.Create(), 1);
    auto result = selfResult.get_future();
    thread.PostMessageA(kSelfDestroyMessage, 0, 0);
    ASSERT_EQ(result.wait_for(kWaitLimit), std::future_status::ready);
    EXPECT_EQ(result.get(), 0);
    EXPECT_TRUE(eventually([&] { return !thread.IsRunning(); }));
    EXPECT_EQ(thread.Destroy(), 1);
}

TEST(CQWinThreadLifecycle, DestroyingARunningObjectStopsItsThread) {
    const int before = CBaseThread::RunningThreadCount();
    auto thread = std::make_unique<CQWinThread>();
    ASSERT_EQ(thread->Create(), 1);
    EXPECT_EQ(CBaseThread::RunningThreadCount(), before + 1);
    for (unsigned int i = 0; i < 10; ++i) {
        EXPECT_EQ(thread->PostMessageA(kDataMessage, i, 0), 1);
    }
    thread.reset();
    EXPECT_EQ(CBaseThread::RunningThreadCount(), before);
}

TEST(CQWinThreadLifecycle, ExceptionLeavingRunEndsOnlyTheThread) {
    const int before = CBaseThread::RunningThreadCount();
    RecordingThread thread;
    thread.onDispatch = [](const MSG& msg) {
        if (msg.message == kThrowMessage) {
            throw std::runtime_error("handler failed");
        }
    };
    ASSERT_EQ(thread.Create(), 1);
    thread.PostMessageA(kThrowMessage, 0, 0);
    ASSERT_TRUE(eventually([&] { return !thread.IsRunning(); }));

    const std::vector<std::string> events = thread.Events();
    EXPECT_GE(indexOf(events, "AfterRun@worker"), 0);
    EXPECT_GE(indexOf(events, "OnQuit@worker"), 0);
    EXPECT_GE(indexOf(events, "Unregister@worker"), 0);
    EXPECT_EQ(CBaseThread::RunningThreadCount(), before);
    // Dropped, but not silently.
    EXPECT_EQ(thread.SwallowedExceptions(), 1U);

    // The ended thread is reaped by the next start.
    ASSERT_EQ(thread.Create(), 1);
    thread.PostMessageA(kDataMessage, 0, 0);
    EXPECT_TRUE(thread.WaitForDispatched(2));
    EXPECT_EQ(thread.Destroy(), 1);
    EXPECT_EQ(thread.SwallowedExceptions(), 1U);
}

TEST(CQWinThreadLifecycle, FailedPreparationSkipsRunButNotCleanUp) {
    const int before = CBaseThread::RunningThreadCount();
    RecordingThread thread;
    thread.throwInBeforeRun = true;
    EXPECT_NE(thread.CreateThread(1), nullptr);
    ASSERT_TRUE(eventually([&] { return !thread.IsRunning(); }));

    const std::vector<std::string> expected = {"Register@worker", "AfterRun@worker",
                                               "OnQuit@worker", "Unregister@worker"};
    EXPECT_EQ(thread.Events(), expected);
    EXPECT_EQ(thread.SwallowedExceptions(), 1U);
    EXPECT_EQ(thread.Destroy(), 1);
    EXPECT_EQ(CBaseThread::RunningThreadCount(), before);
}

// ---------------------------------------------------------------------------
// Message queue.

TEST(CQWinThreadQueue, PostsFromSeveralThreadsArriveInOrderPerPoster) {
    constexpr unsigned int kPosters = 4;
    constexpr long kPerPoster = 1500;
    RecordingThread thread;
    ASSERT_EQ(thread.Create(), 1);

    std::atomic<int> refused{0};
    std::vector<std::thread> posters;
    for (unsigned int p = 0; p < kPosters; ++p) {
        posters.emplace_back([&, p] {
            for (long seq = 0; seq < kPerPoster; ++seq) {
                if (thread.PostMessageA(kDataMessage, p, seq) == 0) {
                    refused.fetch_add(1);
                }
            }
        });
    }
    for (auto& poster : posters) {
        poster.join();
    }
    // Everything was posted before the stop request, so all of it is handled.
    EXPECT_EQ(thread.Destroy(), 1);
    EXPECT_EQ(refused.load(), 0);

    const std::vector<MSG> dispatched = thread.Dispatched();
    ASSERT_EQ(dispatched.size(), static_cast<std::size_t>(kPosters) * kPerPoster);
    std::vector<long> next(kPosters, 0);
    int outOfOrder = 0;
    for (const MSG& msg : dispatched) {
        ASSERT_EQ(msg.message, kDataMessage);
        ASSERT_LT(msg.wParam, kPosters);
        long& expected = next[static_cast<std::size_t>(msg.wParam)];
        outOfOrder += static_cast<long>(msg.lParam) == expected ? 0 : 1;
        ++expected;
    }
    EXPECT_EQ(outOfOrder, 0);
    for (const long count : next) {
        EXPECT_EQ(count, kPerPoster);
    }
    EXPECT_EQ(thread.GetQueuedMessageCount(), 0u);
}

TEST(CQWinThreadQueue, QuitIsHandledAfterMessagesPostedBeforeIt) {
    constexpr unsigned int kQueued = 50;
    RecordingThread thread;
    std::promise<void> handlerEntered;
    std::promise<void> gate;
    std::shared_future<void> gateOpen = gate.get_future().share();
    thread.onDispatch = [&](const MSG& msg) {
        if (msg.message == kDataMessage && msg.wParam == 0) {
            handlerEntered.set_value();
            gateOpen.wait();
        }
    };
    ASSERT_EQ(thread.Create(), 1);

    thread.PostMessageA(kDataMessage, 0, 0);
    ASSERT_EQ(handlerEntered.get_future().wait_for(kWaitLimit), std::future_status::ready);
    for (unsigned int i = 1; i <= kQueued; ++i) {
        thread.PostMessageA(kDataMessage, i, 0);
    }
    // Quit does not wait for the busy loop; it queues the stop behind the rest.
    thread.Quit();
    EXPECT_TRUE(thread.IsQuitRequested());
    EXPECT_EQ(thread.GetQueuedMessageCount(), kQueued + 1);
    gate.set_value();

    EXPECT_EQ(thread.Destroy(), 1);
    const std::vector<MSG> dispatched = thread.Dispatched();
    ASSERT_EQ(dispatched.size(), kQueued + 1);
    for (unsigned int i = 0; i <= kQueued; ++i) {
        EXPECT_EQ(dispatched[i].wParam, i);
    }
}

TEST(CQWinThreadQueue, PeekFiltersAndLeavesOrTakesMessages) {
    // No thread runs, so the test may inspect the queue itself.
    CQWinThread queue;
    EXPECT_EQ(queue.PostMessageA(10, 1, -1), 1);
    EXPECT_EQ(queue.PostMessageA(20, 0xFFFFFFFFu, -2147483647L), 1);
    EXPECT_EQ(queue.PostMessageA(30, 3, 2147483647L), 1);
    EXPECT_EQ(queue.GetQueuedMessageCount(), 3u);

    MSG msg{};
    ASSERT_EQ(queue.PeekMessageA(&msg, 0, 0, PM_NOREMOVE), 1);
    EXPECT_EQ(msg.message, 10u);
    EXPECT_EQ(msg.wParam, 1u);
    EXPECT_EQ(msg.lParam, -1);
    EXPECT_EQ(queue.GetQueuedMessageCount(), 3u);

    ASSERT_EQ(queue.PeekMessageA(&msg, 15, 25, PM_REMOVE), 1);
    EXPECT_EQ(msg.message, 20u);
    EXPECT_EQ(msg.wParam, 0xFFFFFFFFu);
    EXPECT_EQ(msg.lParam, -2147483647L);
    EXPECT_EQ(queue.GetQueuedMessageCount(), 2u);

    msg = MSG{};
    EXPECT_EQ(queue.PeekMessageA(&msg, 40, 50, PM_REMOVE), 0);
    EXPECT_EQ(msg.message, 0u);
    EXPECT_EQ(queue.GetQueuedMessageCount(), 2u);

    ASSERT_EQ(queue.PeekMessageA(&msg, 30, 30, PM_NOREMOVE), 1);
    EXPECT_EQ(msg.message, 30u);
    EXPECT_EQ(msg.lParam, 2147483647L);
    EXPECT_EQ(queue.GetQueuedMessageCount(), 2u);

    // WM_QUIT passes any filter.
    EXPECT_EQ(queue.PostMessageA(WM_QUIT, 0, 0), 1);
    ASSERT_EQ(queue.PeekMessageA(&msg, 40, 50, PM_NOREMOVE), 1);
    EXPECT_EQ(msg.message, WM_QUIT);

    const unsigned int expectedOrder[] = {10, 30, WM_QUIT};
    for (const unsigned int id : expectedOrder) {
        ASSERT_EQ(queue.PeekMessageA(&msg, 0, 0, PM_REMOVE), 1);
        EXPECT_EQ(msg.message, id);
    }
    EXPECT_EQ(queue.PeekMessageA(&msg, 0, 0, PM_REMOVE), 0);
    EXPECT_EQ(queue.GetQueuedMessageCount(), 0u);
}

TEST(CQWinThreadQueue, GetMessageWaitsForAMatchingMessage) {
    // No thread runs, so a helper thread stands in as the consumer.
    CQWinThread queue;
    std::atomic<bool> returned{false};
    MSG taken{};
    int result = -1;
    std::thread consumer([&] {
        result = queue.GetMessageA(&taken, 7000, 7001);
        returned.store(true);
    });

    queue.PostMessageA(6000, 0, 0);
    std::this_thread::sleep_for(kavra::test::Patient(milliseconds(50)));
    EXPECT_FALSE(returned.load());

    queue.PostMessageA(7001, 5, 6);
    consumer.join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(taken.message, 7001u);
    EXPECT_EQ(taken.wParam, 5u);
    EXPECT_EQ(taken.lParam, 6);
    EXPECT_EQ(queue.GetQueuedMessageCount(), 1u);

    queue.PostMessageA(WM_QUIT, 0, 0);
    EXPECT_EQ(queue.GetMessageA(&taken, 7000, 7000), 0);
    EXPECT_EQ(taken.message, WM_QUIT);
    EXPECT_EQ(queue.GetMessageA(&taken, 0, 0), 1);
    EXPECT_EQ(taken.message, 6000u);
    EXPECT_EQ(queue.GetQueuedMessageCount(), 0u);
}

// Takes messages in batches the way a dispatching loop does, waiting for
// posts through the hook as the socket loop does; never started, so a test
// thread stands in as its loop.
class BatchTaker : public CQWinThread {
public:
    BatchTaker() { SetPostHook(&BatchTaker::onPost, this); }

    std::vector<MSG> Take(std::size_t max) {
        std::vector<MSG> out(max);
        out.resize(TakeMessages(out.data(), max));
        return out;
    }
    // Waits until a post calls the hook, unless a message is queued already;
    // false when nothing came within the wait limit.
    bool WaitForPost() { return !BeginWait() || AwaitHook(); }
    // Announces a wait, forgetting hook calls of earlier waits; false when a
    // message is queued already.
    bool BeginWait() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_wakeUps = 0;
        }
        return BeginWaitForPost();
    }
    // Waits, after BeginWait, until a post calls the hook; false when
    // nothing came within the wait limit.
    bool AwaitHook() {
        std::unique_lock<std::mutex> lock(m_mutex);
        const bool woken = m_woken.wait_for(lock, kWaitLimit, [this] { return m_wakeUps > 0; });
        lock.unlock();
        EndWaitForPost();
        return woken;
    }
    int HookCalls() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_hookCalls;
    }

private:
    static void onPost(void* context) {
        auto* self = static_cast<BatchTaker*>(context);
        {
            std::lock_guard<std::mutex> lock(self->m_mutex);
            ++self->m_wakeUps;
            ++self->m_hookCalls;
        }
        self->m_woken.notify_all();
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_woken;
    int m_wakeUps = 0;
    int m_hookCalls = 0;
};

TEST(CQWinThreadQueue, PostsWakeOnlyAWaitingLoopAndNoneIsLostAcrossBlocks) {
    // Six posters, 40 messages' worth of queue blocks each, a taker that
    // takes in small batches and waits through the hook whenever it finds
    // nothing: every message arrives once, in its poster's order, and a
    // lost wake-up shows as a wait that runs into its limit.
    constexpr unsigned int kPosters = 6;
    constexpr long kPerPoster = 40 * 31;
    BatchTaker queue;
    queue.PostMessageA(kDataMessage, kPosters, 0);
    EXPECT_EQ(queue.HookCalls(), 0);
    ASSERT_EQ(queue.Take(8).size(), 1u);

    std::vector<std::thread> posters;
    for (unsigned int p = 0; p < kPosters; ++p) {
        posters.emplace_back([&queue, p] {
            for (long seq = 0; seq < kPerPoster; ++seq) {
                queue.PostMessageA(kDataMessage, p, seq);
                if (seq % 97 == 0) {
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                }
            }
        });
    }
    std::vector<long> next(kPosters, 0);
    long received = 0;
    int outOfOrder = 0;
    bool wokenEveryTime = true;
    while (received < static_cast<long>(kPosters) * kPerPoster && wokenEveryTime) {
        const std::vector<MSG> batch = queue.Take(7);
        for (const MSG& msg : batch) {
            long& expected = next[static_cast<std::size_t>(msg.wParam)];
            outOfOrder += static_cast<long>(msg.lParam) == expected ? 0 : 1;
            expected = static_cast<long>(msg.lParam) + 1;
        }
        received += static_cast<long>(batch.size());
        if (batch.empty()) {
            wokenEveryTime = queue.WaitForPost();
        }
    }
    for (auto& poster : posters) {
        poster.join();
    }
    EXPECT_TRUE(wokenEveryTime);
    EXPECT_EQ(outOfOrder, 0);
    for (const long count : next) {
        EXPECT_EQ(count, kPerPoster);
    }
    EXPECT_TRUE(queue.Take(8).empty());
    EXPECT_EQ(queue.GetQueuedMessageCount(), 0u);

    // A run of posts to a taker that is not waiting calls no hook; the first
    // post of a wait does.
    const int hookCalls = queue.HookCalls();
    for (unsigned int i = 0; i < 70; ++i) {
        queue.PostMessageA(kDataMessage, i, 0);
    }
    EXPECT_EQ(queue.HookCalls(), hookCalls);
    EXPECT_EQ(queue.GetQueuedMessageCount(), 70u);
    EXPECT_EQ(queue.Take(64).size(), 64u);
    EXPECT_EQ(queue.Take(64).size(), 6u);
    ASSERT_TRUE(queue.BeginWait());
    std::thread late([&queue] { queue.PostMessageA(kDataMessage, 0, 0); });
    EXPECT_TRUE(queue.AwaitHook());
    late.join();
    EXPECT_EQ(queue.HookCalls(), hookCalls + 1);
    EXPECT_EQ(queue.Take(8).size(), 1u);

    // However many posts find the same wait, only the first calls the hook,
    // and none of them is lost.
    ASSERT_TRUE(queue.BeginWait());
    std::vector<std::thread> crowd;
    for (int t = 0; t < 4; ++t) {
        crowd.emplace_back([&queue, t] {
            for (long i = 0; i < 50; ++i) {
                queue.PostMessageA(kDataMessage, static_cast<unsigned int>(t), i);
            }
        });
    }
    for (auto& poster : crowd) {
        poster.join();
    }
    EXPECT_TRUE(queue.AwaitHook());
    EXPECT_EQ(queue.HookCalls(), hookCalls + 2);
    EXPECT_EQ(queue.Take(256).size(), 200u);
}

TEST(CQWinThreadQueue, BatchesKeepPostOrderRespectTheirSizeAndStopAfterQuit) {
    BatchTaker thread;
    for (unsigned int i = 0; i < 5; ++i) {
        thread.PostMessageA(kDataMessage, i, 0);
    }
    thread.Quit();
    thread.PostMessageA(kDataMessage, 99, 0);

    const std::vector<MSG> first = thread.Take(3);
    ASSERT_EQ(first.size(), 3u);
    for (unsigned int i = 0; i < 3; ++i) {
        EXPECT_EQ(first[i].wParam, i);
    }
    EXPECT_EQ(thread.GetQueuedMessageCount(), 4u);

    // The batch ends with the stop request; what was posted after it stays.
    const std::vector<MSG> second = thread.Take(10);
    ASSERT_EQ(second.size(), 3u);
    EXPECT_EQ(second[0].wParam, 3u);
    EXPECT_EQ(second[1].wParam, 4u);
    EXPECT_EQ(second[2].message, static_cast<unsigned int>(WM_QUIT));
    EXPECT_EQ(thread.GetQueuedMessageCount(), 1u);

    const std::vector<MSG> rest = thread.Take(10);
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].wParam, 99u);
    EXPECT_TRUE(thread.Take(10).empty());
    EXPECT_EQ(thread.GetQueuedMessageCount(), 0u);
}

} // namespace
