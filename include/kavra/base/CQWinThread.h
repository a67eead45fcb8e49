#pragma once

#include "kavra/Export.h"
#include "kavra/base/CBaseThread.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

/// A thread with a message queue of its own.
///
/// Any thread posts; the object's thread takes messages with PeekMessageA or
/// GetMessageA. Messages keep the order in which they were posted. Quit posts
/// WM_QUIT behind the messages already queued, so the loop handles everything
/// posted before the stop request and then ends.
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
    /// Called on the posting thread after every successful post, outside the
    /// queue's lock; lets a subclass wake a loop that waits on more than the
    /// queue. Set before the thread starts.
    using PostHook = void (*)(void* context);
    /// Installs hook, called with context after every post. Set before the
    /// thread starts.
    void SetPostHook(PostHook hook, void* context);
    /// Takes up to max messages off the front of the queue under one lock,
    /// stopping after a WM_QUIT; returns how many it stored in out. For loops
    /// that dispatch in batches. Thread only.
    std::size_t TakeMessages(MSG* out, std::size_t max);

private:
    bool takeMatching(MSG* msg, unsigned int filterMin, unsigned int filterMax, bool remove);

    std::uint32_t m_threadId = 0;
    mutable std::mutex m_queueMutex;
    std::condition_variable m_queueChanged;
    // Threads asleep in GetMessageA; under m_queueMutex.
    int m_waiters = 0;
    std::deque<MSG> m_messages;
    // m_messages.size(), written under m_queueMutex and read without it: the
    // socket loop asks once per frame it writes.
    std::atomic<std::size_t> m_messageCount{0};
    PostHook m_postHook = nullptr;
    void* m_postHookContext = nullptr;
};
