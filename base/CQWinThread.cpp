#include "kavra/base/CQWinThread.h"

#include "base/ThreadCheck.h"
#include <algorithm>
#include <atomic>

namespace {

std::atomic<std::uint32_t> g_nextThreadId{1};

std::uint32_t nextThreadId() {
    std::uint32_t id = g_nextThreadId.fetch_add(1);
    // 0 means "no thread yet"; skip it when the counter wraps.
    while (id == 0) {
        id = g_nextThreadId.fetch_add(1);
    }
    return id;
}

} // namespace

CQWinThread::CQWinThread() = default;

// This class's own Quit must be the one that stops the loop: the base
// destructor no longer reaches it, and without WM_QUIT the loop never ends.
CQWinThread::~CQWinThread() {
    if (IsRunning()) {
        Destroy();
    }
}

void CQWinThread::BeforeRun() {
    kavra::AssertInThread(*this, __func__);
    CBaseThread::BeforeRun();
    m_threadId = nextThreadId();

    // A WM_QUIT left from an earlier run (Quit called twice, or while no
    // thread ran) would end this run at once. One posted for this
    // run comes after its Quit flag is set, and the flag is read under the
    // queue lock that the post needs, so it is never mistaken for a stale one.
    std::lock_guard<std::mutex> lock(m_queueMutex);
    if (!IsQuitRequested()) {
        std::erase_if(m_messages, [](const MSG& m) { return m.message == WM_QUIT; });
        m_messageCount.store(m_messages.size(), std::memory_order_relaxed);
    }
}

void CQWinThread::PreQuit() {
    OnPreQuit();
}

void CQWinThread::Quit() {
    CBaseThread::Quit();
    PostMessageA(WM_QUIT, 0, 0);
}

int CQWinThread::PeekMessageA(MSG* msg, unsigned int filterMin, unsigned int filterMax,
                              unsigned int removeFlags) {
    kavra::AssertInThread(*this, __func__);
    std::lock_guard<std::mutex> lock(m_queueMutex);
    return takeMatching(msg, filterMin, filterMax, (removeFlags & PM_REMOVE) != 0) ? 1 : 0;
}

int CQWinThread::PostMessageA(unsigned int message, unsigned int wParam, long lParam) {
    MSG msg{};
    msg.message = message;
    msg.wParam = static_cast<decltype(msg.wParam)>(wParam);
    msg.lParam = static_cast<decltype(msg.lParam)>(lParam);

    PostHook hook = nullptr;
    void* context = nullptr;
    bool waiting = false;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_messages.push_back(msg);
        m_messageCount.store(m_messages.size(), std::memory_order_relaxed);
        hook = m_postHook;
        context = m_postHookContext;
        waiting = m_waiters > 0;
    }
    // A loop that waits elsewhere (the socket thread's poll) never sleeps on
    // the condition; notifying it for every post would cost a call for
    // nothing.
    if (waiting) {
        m_queueChanged.notify_all();
    }
    if (hook != nullptr) {
        hook(context);
    }
    return 1;
}

int CQWinThread::GetMessageA(MSG* msg, unsigned int filterMin, unsigned int filterMax) {
    kavra::AssertInThread(*this, __func__);
    MSG taken{};
    {
        std::unique_lock<std::mutex> lock(m_queueMutex);
        while (!takeMatching(&taken, filterMin, filterMax, true)) {
            ++m_waiters;
            m_queueChanged.wait(lock);
            --m_waiters;
        }
    }
    if (msg != nullptr) {
        *msg = taken;
    }
    return taken.message == WM_QUIT ? 0 : 1;
}

std::size_t CQWinThread::GetQueuedMessageCount() const {
    return m_messageCount.load(std::memory_order_relaxed);
}

std::size_t CQWinThread::TakeMessages(MSG* out, std::size_t max) {
    kavra::AssertInThread(*this, __func__);
    std::lock_guard<std::mutex> lock(m_queueMutex);
    std::size_t taken = 0;
    while (taken < max && !m_messages.empty()) {
        out[taken] = m_messages.front();
        m_messages.pop_front();
        if (out[taken++].message == WM_QUIT) {
            break;
        }
    }
    m_messageCount.store(m_messages.size(), std::memory_order_relaxed);
    return taken;
}

void CQWinThread::SetPostHook(PostHook hook, void* context) {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_postHook = hook;
    m_postHookContext = context;
}

// Caller holds m_queueMutex. WM_QUIT passes every filter so that a loop
// waiting for a narrow range of messages still stops.
bool CQWinThread::takeMatching(MSG* msg, unsigned int filterMin, unsigned int filterMax,
                               bool remove) {
    const bool any = filterMin == 0 && filterMax == 0;
    const auto found = std::find_if(m_messages.begin(), m_messages.end(), [&](const MSG& m) {
        return any || m.message == WM_QUIT || (m.message >= filterMin && m.message <= filterMax);
    });
    if (found == m_messages.end()) {
        return false;
    }
    if (msg != nullptr) {
        *msg = *found;
    }
    if (remove) {
        m_messages.erase(found);
        m_messageCount.store(m_messages.size(), std::memory_order_relaxed);
    }
    return true;
}
