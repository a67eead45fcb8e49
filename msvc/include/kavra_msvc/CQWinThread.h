// A thread with messages of its own. Messages posted on the worker thread
// (from a handler) are dispatched there, in order, when the handler returns;
// other threads cannot post (PostMessageA returns 0), and no message is
// visible to PeekMessageA or the message-loop GetMessageA.
#pragma once

#include "kavra_msvc/CBaseThread.h"
#include "kavra_msvc/Export.h"

class KAVRA_MSVC_API CQWinThread : public CBaseThread {
public:
    CQWinThread();
    ~CQWinThread() override;

    void BeforeRun() override;
    void PreQuit() override;
    void Quit() override;
    int PeekMessageA(MSG* msg, unsigned int filterMin, unsigned int filterMax,
                     unsigned int removeFlags) override;
    /// 1 when queued (worker thread only, up to 64 at a time), 0 otherwise.
    int PostMessageA(unsigned int message, unsigned int wParam, long lParam) override;
    int GetMessageA(MSG* msg, unsigned int filterMin, unsigned int filterMax) override;

protected:
    /// Worker thread: marks the calling thread as the worker.
    void EnterWorker();
    /// Worker thread: hands every queued message to DispatchMessageA.
    void DispatchPosted();

private:
    struct Posted;
    unsigned long m_workerThreadId;
    Posted* m_posted;
};
