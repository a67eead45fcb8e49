#include "kavra/base/CQWinThread.h"

#include "base/PostQueue.h"
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

MSG toMsg(const kavra::PostQueue::Message& posted) {
    MSG msg{};
    msg.message = posted.message;
    msg.wParam = static_cast<decltype(msg.wParam)>(posted.wParam);
    msg.lParam = static_cast<decltype(msg.lParam)>(posted.lParam);
    return msg;
}

bool passes(const MSG& msg, unsigned int filterMin, unsigned int filterMax) {
    // WM_QUIT passes every filter so that a loop waiting for a narrow range
    // of messages still stops.
    return (filterMin == 0 && filterMax == 0) || msg.message == WM_QUIT ||
           (msg.message >= filterMin && msg.message <= filterMax);
}

} // namespace

CQWinThread::CQWinThread() : m_posted(std::make_unique<kavra::PostQueue>()) {}

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
    // thread ran) would end this run at once. Quit sets its flag before it
    // posts, so when the flag is still down after everything posted so far
    // was looked at, none of it belongs to this run's stop request.
    holdAllPosted();
    if (!IsQuitRequested()) {
        std::erase_if(m_held, [](const MSG& m) { return m.message == WM_QUIT; });
        m_heldCount.store(m_held.size(), std::memory_order_relaxed);
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
    return takeMatching(msg, filterMin, filterMax, (removeFlags & PM_REMOVE) != 0) ? 1 : 0;
}

int CQWinThread::PostMessageA(unsigned int message, unsigned int wParam, long lParam) {
    switch (m_posted->Push(kavra::PostQueue::Message{message, wParam, lParam})) {
    case kavra::PostQueue::Waiter::Sleeper:
        wakeWaiter();
        break;
    case kavra::PostQueue::Waiter::Loop:
        // A loop of a subclass's own is woken by its hook alone: nobody
        // sleeps on the condition variable.
        if (m_postHook != nullptr) {
            m_postHook(m_postHookContext);
        }
        break;
    case kavra::PostQueue::Waiter::None:
        break;
    }
    return 1;
}

void CQWinThread::wakeWaiter() {
    // Passing through the mutex means a GetMessageA that announced its wait
    // is asleep by now, or will see the message before it sleeps.
    { const std::lock_guard<std::mutex> lock(m_waitMutex); }
    m_wakeUp.notify_all();
    if (m_postHook != nullptr) {
        m_postHook(m_postHookContext);
    }
}

int CQWinThread::GetMessageA(MSG* msg, unsigned int filterMin, unsigned int filterMax) {
    kavra::AssertInThread(*this, __func__);
    MSG taken{};
    while (!takeMatching(&taken, filterMin, filterMax, true)) {
        std::unique_lock<std::mutex> lock(m_waitMutex);
        // Everything posted so far is held now and none of it matched, so
        // the wait is announced on an empty queue unless a post just came.
        if (m_posted->BeginWait(kavra::PostQueue::Waiter::Sleeper)) {
            m_wakeUp.wait(lock);
            m_posted->EndWait();
        }
    }
    if (msg != nullptr) {
        *msg = taken;
    }
    return taken.message == WM_QUIT ? 0 : 1;
}

std::size_t CQWinThread::GetQueuedMessageCount() const {
    return m_posted->Size() + m_heldCount.load(std::memory_order_relaxed);
}

std::size_t CQWinThread::TakeMessages(MSG* out, std::size_t max) {
    kavra::AssertInThread(*this, __func__);
    std::size_t taken = 0;
    while (taken < max && !m_held.empty()) {
        takeFirst(out[taken]);
        if (out[taken++].message == WM_QUIT) {
            return taken;
        }
    }
    kavra::PostQueue::Message posted;
    while (taken < max && m_posted->Pop(posted)) {
        out[taken++] = toMsg(posted);
        if (posted.message == WM_QUIT) {
            break;
        }
    }
    return taken;
}

bool CQWinThread::BeginWaitForPost() {
    kavra::AssertInThread(*this, __func__);
    return m_held.empty() && m_posted->BeginWait(kavra::PostQueue::Waiter::Loop);
}

void CQWinThread::EndWaitForPost() {
    kavra::AssertInThread(*this, __func__);
    m_posted->EndWait();
}

void CQWinThread::SetPostHook(PostHook hook, void* context) {
    m_postHook = hook;
    m_postHookContext = context;
}

bool CQWinThread::takeFirst(MSG& out) {
    if (!m_held.empty()) {
        out = m_held.front();
        m_held.pop_front();
        m_heldCount.store(m_held.size(), std::memory_order_relaxed);
        return true;
    }
    kavra::PostQueue::Message posted;
    if (!m_posted->Pop(posted)) {
        return false;
    }
    out = toMsg(posted);
    return true;
}

void CQWinThread::holdAllPosted() {
    kavra::PostQueue::Message posted;
    while (m_posted->Pop(posted)) {
        m_held.push_back(toMsg(posted));
    }
    m_heldCount.store(m_held.size(), std::memory_order_relaxed);
}

bool CQWinThread::takeMatching(MSG* msg, unsigned int filterMin, unsigned int filterMax,
                               bool remove) {
    if (filterMin == 0 && filterMax == 0 && remove) {
        MSG first{};
        if (!takeFirst(first)) {
            return false;
        }
        if (msg != nullptr) {
            *msg = first;
        }
        return true;
    }
    // A look that may leave messages behind needs them all in one place.
    holdAllPosted();
    const auto found = std::find_if(m_held.begin(), m_held.end(), [&](const MSG& m) {
        return passes(m, filterMin, filterMax);
    });
    if (found == m_held.end()) {
        return false;
    }
    if (msg != nullptr) {
        *msg = *found;
    }
    if (remove) {
        m_held.erase(found);
        m_heldCount.store(m_held.size(), std::memory_order_relaxed);
    }
    return true;
}
