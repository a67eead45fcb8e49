#include "kavra_msvc/CQWinThread.h"

#include "MsgRecord.h"

#include "../runtime/Crt.h"

// Touched by the worker thread only: no lock.
struct CQWinThread::Posted {
    static const unsigned int CAPACITY = 64;
    tagMSG messages[CAPACITY];
    unsigned int count;
};

CQWinThread::CQWinThread() : m_workerThreadId(0), m_posted(new Posted) {
    m_posted->count = 0;
}

CQWinThread::~CQWinThread() {
    delete m_posted;
}

void CQWinThread::BeforeRun() {}

void CQWinThread::PreQuit() {}

void CQWinThread::Quit() {
    CBaseThread::Quit();
}

int CQWinThread::PeekMessageA(MSG*, unsigned int, unsigned int, unsigned int) {
    return 0;
}

int CQWinThread::PostMessageA(unsigned int message, unsigned int wParam, long lParam) {
    if (GetCurrentThreadId() != m_workerThreadId || m_posted->count == Posted::CAPACITY) {
        return 0;
    }
    tagMSG& msg = m_posted->messages[m_posted->count++];
    memset(&msg, 0, sizeof msg);
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    return 1;
}

int CQWinThread::GetMessageA(MSG*, unsigned int, unsigned int) {
    return 0;
}

void CQWinThread::EnterWorker() {
    m_workerThreadId = GetCurrentThreadId();
}

// A handler may post again: those messages are dispatched in the same pass.
void CQWinThread::DispatchPosted() {
    for (unsigned int i = 0; i < m_posted->count; ++i) {
        const tagMSG msg = m_posted->messages[i];
        DispatchMessageA(&msg);
    }
    m_posted->count = 0;
}
