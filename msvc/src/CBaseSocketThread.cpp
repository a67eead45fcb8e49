#include "kavra_msvc/CBaseSocketThread.h"

#include "Engine.h"

#include "../runtime/Crt.h"

namespace {
const int kSyncMarkLength = 10;
}

CBaseSocketThread::CBaseSocketThread()
    : m_frameHeader(), m_frameBody(nullptr), m_frameSize(0), m_frameRead(0) {}

// The engine's calls reach this part and the message queue of CQWinThread:
// the worker stops before either goes.
CBaseSocketThread::~CBaseSocketThread() {
    kavra_client_stop(m_engine);
}

unsigned long CBaseSocketThread::Run() {
    return 0;
}

long CBaseSocketThread::DispatchMessageA(const MSG*) {
    return 0;
}

void CBaseSocketThread::OnSocketReceive(int) {}

void CBaseSocketThread::OnSocketSend(int) {}

void CBaseSocketThread::OnSocketAccept(int) {}

void CBaseSocketThread::OnSocketConnect(int) {}

void CBaseSocketThread::OnSocketClose(int) {}

void CBaseSocketThread::OnSocketReconnect(int) {}

void CBaseSocketThread::OnQuerySocket() {}

int CBaseSocketThread::RecvDataTimeout(char* dst, int n, int) {
    int copied = 0;
    while (copied < n && m_frameRead < sizeof m_frameHeader + m_frameSize) {
        dst[copied++] = static_cast<char>(m_frameRead < sizeof m_frameHeader
                                              ? m_frameHeader[m_frameRead]
                                              : m_frameBody[m_frameRead - sizeof m_frameHeader]);
        ++m_frameRead;
    }
    return copied;
}

// The engine has found, bounded and read the frame; the handlers see it as
// the bytes it came in. Nothing may unwind into the engine's frames.
void __cdecl CBaseSocketThread::Deliver(void* context, const void* body, unsigned int size) {
    auto* self = static_cast<CBaseSocketThread*>(context);
    try {
        self->EnterWorker();
        memset(self->m_frameHeader, 0xFF, kSyncMarkLength);
        for (int i = 0; i < 4; ++i) {
            self->m_frameHeader[kSyncMarkLength + i] =
                static_cast<unsigned char>(size >> (24 - 8 * i));
        }
        self->m_frameBody = static_cast<const unsigned char*>(body);
        self->m_frameSize = size;
        self->m_frameRead = 0;
        self->OnSocketReceive(static_cast<int>(sizeof self->m_frameHeader + size));
        self->m_frameBody = nullptr;
        self->m_frameSize = 0;
        self->DispatchPosted();
    } catch (...) {
        self->m_frameBody = nullptr;
        self->m_frameSize = 0;
    }
}
