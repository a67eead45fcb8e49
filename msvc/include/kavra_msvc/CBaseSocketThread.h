// A thread with a connection. The engine in kavra.dll reads the socket,
// resynchronises and bounds frames; for each whole frame it calls back on
// the worker, which then calls OnSocketReceive with the frame's 14 + body
// bytes readable through RecvDataTimeout, and afterwards dispatches what the
// handler posted.
#pragma once

#include "kavra_msvc/CQWinThread.h"
#include "kavra_msvc/Export.h"

class KAVRA_MSVC_API CBaseSocketThread : public CQWinThread {
public:
    CBaseSocketThread();
    ~CBaseSocketThread() override;

    unsigned long Run() override;

protected:
    long DispatchMessageA(const MSG* msg) override;
    virtual void OnSocketReceive(int readable);
    virtual void OnSocketSend(int written);
    virtual void OnSocketAccept(int error);
    virtual void OnSocketConnect(int error);
    virtual void OnSocketClose(int error);
    virtual void OnSocketReconnect(int attempt);
    virtual void OnQuerySocket();

public:
    /// Worker thread, inside OnSocketReceive: copies up to n bytes of the
    /// current frame to dst and returns how many (fewer once it is used up).
    int RecvDataTimeout(char* dst, int n, int timeoutMs);

protected:
    /// The engine's call for one received body (worker thread).
    static void __cdecl Deliver(void* context, const void* body, unsigned int size);

private:
    unsigned char m_frameHeader[14];
    const unsigned char* m_frameBody;
    unsigned int m_frameSize;
    unsigned int m_frameRead;
};
