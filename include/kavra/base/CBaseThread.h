#pragma once

#include "kavra/Export.h"
#include "kavra/base/WinTypes.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

/**
 * A worker thread object with overridable steps.
 *
 * Life of the thread that Create() starts:
 * @verbatim
 *   RegisterToManager, BeforeRun, Run, AfterRun, OnQuit, UnRegisterToManager.
 * @endverbatim
 * Run's default is a message loop over the virtual GetMessageA and
 * DispatchMessageA; this class has no queue of its own (CQWinThread adds it),
 * so a plain CBaseThread either overrides Run or returns at once.
 *
 * The thread object must outlive its thread: a class with handlers of its
 * own calls Destroy() in its destructor, because once a derived part is
 * destroyed the thread must no longer call into it. This destructor stops and
 * joins a thread that is still running as a last resort.
 *
 * Methods marked "thread only" (or "worker thread only") belong to the
 * thread while it runs; before it starts and after it ended its owner may
 * call them. Builds with thread checks (any build without NDEBUG, and those
 * configured with KAVRA_THREAD_CHECKS, as the test builds are) stop the
 * process when another thread calls one while the thread runs.
 *
 * Non-copyable: the object is the identity of one operating-system thread.
 */
class KAVRA_API CBaseThread {
public:
    CBaseThread();
    CBaseThread(const CBaseThread&) = delete;
    CBaseThread& operator=(const CBaseThread&) = delete;
    virtual ~CBaseThread();

    /// A class name for diagnostics: "CBaseThread" here; the client socket
    /// thread reports its own. Any thread.
    virtual char* GetClassNameA();
    /// Thread only, before Run.
    virtual void BeforeRun();
    /// The thread body; its result is the thread's exit code. Thread only.
    virtual unsigned long Run();
    /// Thread only, after Run.
    virtual void AfterRun();
    /// Counts the thread among the process's running base-layer threads;
    /// 1 when it was not counted yet, 0 otherwise.
    virtual int RegisterToManager();
    /// Stops counting it; 1 when it was counted, 0 otherwise.
    virtual int UnRegisterToManager();
    /// Called by Quit before it asks the thread to stop; calls OnPreQuit.
    virtual void PreQuit();
    /// Asks the thread to stop; does not wait. Any thread.
    virtual void Quit();
    ///@{
    /// Message queue operations; this class has no queue: they report nothing
    /// available and refuse posts.
    virtual int PeekMessageA(MSG* msg, unsigned int filterMin, unsigned int filterMax,
                             unsigned int removeFlags);
    virtual int PostMessageA(unsigned int message, unsigned int wParam, long lParam);
    virtual int GetMessageA(MSG* msg, unsigned int filterMin, unsigned int filterMax);
    ///@}

protected:
    /// Handles one message taken by the loop; 0 for a message it does not know.
    virtual long DispatchMessageA(const MSG* msg);

public:
    /// Timer hook; the base layer starts no timers of its own.
    virtual void OnTimer(unsigned int timerId);
    /// Starts the thread. With waitReady nonzero, returns only after
    /// BeforeRun has finished on the new thread. Returns a non-null handle
    /// identifying the thread, or null when it is already running or the
    /// system refused a thread. Any thread but this object's own.
    virtual void* CreateThread(int waitReady);
    /// OnCreate, then CreateThread(1); 1 when the thread runs.
    virtual int Create();
    /// Quit, then wait for the thread to end. Returns 1 when a thread was
    /// stopped and joined, 0 when none ran or when called on the thread
    /// itself (which then only asks it to stop). Any thread.
    virtual int Destroy();
    /// Hook with an empty default: before the stop request.
    virtual void OnPreQuit();
    /// Hook with an empty default: on the thread after Run.
    virtual void OnQuit();
    /// Hook with an empty default: on the creating thread before the thread
    /// starts.
    virtual void OnCreate();

    /// True from CreateThread until the thread body has returned. Any thread.
    bool IsRunning() const;
    /// True when called on this object's thread. Any thread.
    bool IsCurrentThread() const;
    /// True once Quit was called for the current run. Any thread.
    bool IsQuitRequested() const;
    /// Base-layer threads registered and not yet unregistered, process-wide.
    static int RunningThreadCount();
    /// Exceptions that left a step of the thread's life (RegisterToManager,
    /// BeforeRun, Run, AfterRun, OnQuit, UnRegisterToManager) and were
    /// dropped there so that the steps after it still run; the socket loop
    /// counts its handlers' own (CBaseSocketThread::GetHandlerExceptionCount).
    /// Any thread.
    std::uint64_t SwallowedExceptions() const;

protected:
    /// The flag behind IsQuitRequested, for waits that must end soon after a
    /// stop request (a connect attempt). Any thread.
    const std::atomic<bool>& QuitRequestedFlag() const { return m_quitRequested; }

private:
    void ThreadMain();
    // Runs one step of the thread's life; false when it threw.
    template <typename Step> bool guardedStep(Step&& step);

    std::mutex m_controlMutex;
    std::thread m_thread;
    // Id of the running thread, set by the thread itself so that
    // IsCurrentThread never reads m_thread while another thread assigns it.
    std::atomic<std::thread::id> m_threadIdentity{};
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_quitRequested{false};
    std::atomic<bool> m_ready{false};
    // Signals m_ready to a CreateThread that waits for BeforeRun.
    std::mutex m_readyMutex;
    std::condition_variable m_readyChanged;
    std::atomic<bool> m_registered{false};
    std::atomic<std::uint64_t> m_swallowed{0};
};
