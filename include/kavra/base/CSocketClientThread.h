// A socket thread that keeps one client connection to a server.
//
// SetSocket attaches a socket (or makes and connects one) and names the
// server. When the connection drops while the thread runs, the thread
// reconnects to that server with capped exponential backoff (CServerStatus)
// and keeps the same CSocket object attached, so m_socket stays non-null.
#pragma once

#include "kavra/Export.h"
#include "kavra/base/CBaseSocketThread.h"
#include "kavra/base/CServerStatus.h"

#include <atomic>
#include <cstdint>
#include <memory>

class KAVRA_API CSocketClientThread : public CBaseSocketThread {
public:
    CSocketClientThread();
    ~CSocketClientThread() override;

    char* GetClassNameA() override;

protected:
    // Closes the socket and, when the server allows it, schedules the first
    // reconnection attempt.
    void OnSocketClose(int error) override;
    // Tries to connect again; on failure schedules the next attempt.
    void OnSocketReconnect(int attempt) override;

    // With the connection down and a reconnection attempt due within
    // withinMs, waits for it and makes it now rather than in the loop: the
    // same one attempt per backoff step, only without letting the caller's
    // work go by meanwhile. A stop request ends the wait. True when
    // connected afterwards. On the thread.
    bool ReconnectWithin(unsigned int withinMs);

public:
    // Attaches a socket. Application thread, while the thread is not running.
    //  - socket not null: attaches it; with takeOwnership nonzero the thread
    //    deletes it when it is replaced or the object is destroyed. server,
    //    when not null, names where to reconnect and how; otherwise the
    //    socket's own endpoint is used with the default policy.
    //  - socket null, server not null: makes an owned socket and connects it
    //    to the server; when that fails the socket stays attached and the
    //    thread keeps trying with backoff once it runs (if the server allows).
    //  - both null: detaches (m_socket becomes null).
    // Returns 1 when the attached socket is connected, 0 otherwise.
    virtual int SetSocket(CSocket* socket, int takeOwnership, CServerStatus* server);

    // Successful reconnections since construction. Any thread.
    std::uint64_t GetReconnectCount() const;
    const CServerStatus& GetServerStatus() const { return m_server; }

private:
    void releaseSocket();

    CServerStatus m_server;
    std::unique_ptr<CSocket> m_ownedSocket;
    std::atomic<std::uint64_t> m_reconnections{0};
};
