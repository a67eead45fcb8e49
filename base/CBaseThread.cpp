#include "kavra/base/CBaseThread.h"

#include "base/ThreadCheck.h"
#include "kavra/base/ThreadCensus.h"
#include <cstdint>
#include <system_error>
#include <type_traits>
#include <utility>

namespace {

std::atomic<int> g_registeredThreads{0};

// A value that identifies the thread to the caller; never null for a thread
// that was started.
template <typename Native> void* handleOf(Native native) {
    if constexpr (std::is_pointer_v<Native>) {
        return native;
    } else {
        return reinterpret_cast<void*>(static_cast<std::uintptr_t>(native));
    }
}

} // namespace

CBaseThread::CBaseThread() = default;

// Last resort for an object destroyed while its thread still runs: by now a
// derived part may be gone, so only this class's Quit is reached here. Classes
// with handlers of their own stop the thread in their own destructor.
CBaseThread::~CBaseThread() {
    if (m_thread.joinable() && Destroy() == 0 && m_thread.joinable()) {
        // Destroyed from its own thread: nothing can wait for it any more.
        m_thread.detach();
    }
}

char* CBaseThread::GetClassNameA() {
    static char name[] = "CBaseThread";
    return name;
}

void CBaseThread::BeforeRun() {}

unsigned long CBaseThread::Run() {
    kavra::AssertInThread(*this, __func__);
    MSG msg{};
    while (GetMessageA(&msg, 0, 0) != 0) {
        DispatchMessageA(&msg);
    }
    return 0;
}

void CBaseThread::AfterRun() {}

int CBaseThread::RegisterToManager() {
    if (m_registered.exchange(true)) {
        return 0;
    }
    g_registeredThreads.fetch_add(1);
    return 1;
}

int CBaseThread::UnRegisterToManager() {
    if (!m_registered.exchange(false)) {
        return 0;
    }
    g_registeredThreads.fetch_sub(1);
    return 1;
}

void CBaseThread::PreQuit() {
    OnPreQuit();
}

void CBaseThread::Quit() {
    PreQuit();
    m_quitRequested.store(true);
}

int CBaseThread::PeekMessageA(MSG* /*msg*/, unsigned int /*filterMin*/, unsigned int /*filterMax*/,
                              unsigned int /*removeFlags*/) {
    return 0;
}

int CBaseThread::PostMessageA(unsigned int /*message*/, unsigned int /*wParam*/, long /*lParam*/) {
    return 0;
}

int CBaseThread::GetMessageA(MSG* /*msg*/, unsigned int /*filterMin*/, unsigned int /*filterMax*/) {
    return 0;
}

long CBaseThread::DispatchMessageA(const MSG* /*msg*/) {
    return 0;
}

void CBaseThread::OnTimer(unsigned int /*timerId*/) {}

void* CBaseThread::CreateThread(int waitReady) {
    // Checked before taking the lock: Destroy joins under it, and a thread
    // that waited for it here would wait for itself.
    if (IsCurrentThread()) {
        return nullptr;
    }

    void* handle = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_controlMutex);
        if (m_running.load()) {
            return nullptr;
        }
        // A previous run that ended on its own is still to be reaped.
        if (m_thread.joinable()) {
            m_thread.join();
        }
        m_quitRequested.store(false);
        m_ready.store(false);
        m_running.store(true);
        try {
            m_thread = std::thread(&CBaseThread::ThreadMain, this);
        } catch (const std::system_error&) {
            m_running.store(false);
            return nullptr;
        }
        handle = handleOf(m_thread.native_handle());
    }

    // Waiting outside the lock lets BeforeRun use Destroy or Quit freely. A
    // condition variable rather than the flag's own wait: the latter can
    // miss its wake-up with some C++ runtimes (the mingw-w64 one among them).
    if (waitReady != 0) {
        std::unique_lock<std::mutex> lock(m_readyMutex);
        m_readyChanged.wait(lock, [this] { return m_ready.load(); });
    }
    return handle;
}

int CBaseThread::Create() {
    OnCreate();
    return CreateThread(1) != nullptr ? 1 : 0;
}

int CBaseThread::Destroy() {
    Quit();
    if (IsCurrentThread()) {
        return 0;
    }
    // Holding the lock through the join makes a second Destroy wait until the
    // thread is gone; the thread itself never takes this lock.
    std::lock_guard<std::mutex> lock(m_controlMutex);
    if (!m_thread.joinable()) {
        return 0;
    }
    m_thread.join();
    return 1;
}

void CBaseThread::OnPreQuit() {}

void CBaseThread::OnQuit() {}

void CBaseThread::OnCreate() {}

bool CBaseThread::IsRunning() const {
    return m_running.load();
}

bool CBaseThread::IsCurrentThread() const {
    return m_threadIdentity.load() == std::this_thread::get_id();
}

bool CBaseThread::IsQuitRequested() const {
    return m_quitRequested.load();
}

int CBaseThread::RunningThreadCount() {
    return g_registeredThreads.load();
}

std::uint64_t CBaseThread::SwallowedExceptions() const {
    return m_swallowed.load();
}

template <typename Step> bool CBaseThread::guardedStep(Step&& step) {
    try {
        std::forward<Step>(step)();
        return true;
    } catch (...) {
        m_swallowed.fetch_add(1);
        return false;
    }
}

// Every step is guarded on its own: an exception from one step must neither
// end the process nor skip the clean-up steps after it.
void CBaseThread::ThreadMain() {
    kavra::ThreadCensus::Arrived();
    m_threadIdentity.store(std::this_thread::get_id());

    guardedStep([this] { RegisterToManager(); });
    const bool prepared = guardedStep([this] { BeforeRun(); });
    {
        const std::lock_guard<std::mutex> lock(m_readyMutex);
        m_ready.store(true);
    }
    m_readyChanged.notify_all();

    if (prepared) {
        guardedStep([this] { Run(); });
    }
    guardedStep([this] { AfterRun(); });
    guardedStep([this] { OnQuit(); });
    guardedStep([this] { UnRegisterToManager(); });

    m_threadIdentity.store(std::thread::id{});
    m_running.store(false);
    kavra::ThreadCensus::Left();
}
