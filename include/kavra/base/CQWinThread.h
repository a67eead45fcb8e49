#pragma once

#include "kavra/Export.h"
#include "kavra/base/CBaseThread.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

namespace kavra {
class PostQueue;
}

/// A thread with a message queue of its own.
///
/// Any thread posts; the object's thread takes messages with PeekMessageA or
/// GetMessageA. Messages keep the order in which they were posted. Quit posts
/// WM_QUIT behind the messages already queued, so the loop handles everything
/// posted before the stop request and then ends.
///
/// Neither a post nor a take locks: a post is one compare-and-swap, and it
/// wakes the thread only when the thread waits for messages, so a run of
/// posts to a busy thread costs no wake-up, and a run of posts to a waiting
/// one costs one (see base/PostQueue.h).
class KAVRA_API CQWinThread : public CBaseThread {
public:
    CQWinThread();
    ~CQWinThread() override;

    /// Records the thread's identity. Thread only.
    void BeforeRun() override;
    /// Calls OnPreQuit. Any thread.
    void PreQuit() override;
    /// Posts WM_QUIT. Any thread.
    void Quit() override;
    /// Looks for the first message whose identifier lies in
    /// [filterMin, filterMax] (both 0: any message); with PM_REMOVE it takes
    /// it. Nonzero when one was found. Thread only (any thread when the
    /// thread is not running).
    int PeekMessageA(MSG* msg, unsigned int filterMin, unsigned int filterMax,
                     unsigned int removeFlags) override;
    /// Queues a message; nonzero on success. Any thread.
    int PostMessageA(unsigned int message, unsigned int wParam, long lParam) override;
    /// Waits for a matching message and takes it; returns 0 when it took
    /// WM_QUIT, nonzero otherwise. Thread only.
    int GetMessageA(MSG* msg, unsigned int filterMin, unsigned int filterMax) override;

    /// Messages waiting. Any thread.
    std::size_t GetQueuedMessageCount() const;

protected:
    /// Called on the posting thread after the first post that found the
    /// thread waiting (in GetMessageA, or in a wait of its own loop announced
    /// with BeginWaitForPost), once per announced wait; lets a subclass wake
    /// a loop that waits on more than the queue. Set before the thread starts.
    using PostHook = void (*)(void* context);
    /// Installs hook, called with context after the first post that finds
    /// the thread waiting. Set before the thread starts.
    void SetPostHook(PostHook hook, void* context);
    /// Takes up to max messages off the front of the queue, stopping after a
    /// WM_QUIT; returns how many it stored in out. For loops that dispatch
    /// in batches. Thread only.
    std::size_t TakeMessages(MSG* out, std::size_t max);
    /// For a loop that waits elsewhere than in GetMessageA: announces the
    /// wait, so that posts from now on call the post hook. False, and no
    /// wait announced, when a message is queued already. Thread only.
    bool BeginWaitForPost();
    /// Ends the wait announced by BeginWaitForPost. Thread only.
    void EndWaitForPost();

private:
    bool takeMatching(MSG* msg, unsigned int filterMin, unsigned int filterMax, bool remove);
    // Moves every posted message behind the ones held for filtered looks.
    void holdAllPosted();
    // Takes the oldest message, held or posted.
    bool takeFirst(MSG& out);
    void wakeWaiter();

    std::uint32_t m_threadId = 0;
    std::unique_ptr<kavra::PostQueue> m_posted;
    // Messages taken off m_posted for a filtered look and not taken yet; all
    // older than any still posted. The thread's own.
    std::deque<MSG> m_held;
    // m_held.size(), for GetQueuedMessageCount on other threads.
    std::atomic<std::size_t> m_heldCount{0};
    // GetMessageA sleeps on m_wakeUp under m_waitMutex; a post that finds
    // it waiting passes through the mutex before it notifies.
    std::mutex m_waitMutex;
    std::condition_variable m_wakeUp;
    PostHook m_postHook = nullptr;
    void* m_postHookContext = nullptr;
};
