// A client connection thread: SetSocket names the server, Create connects
// and starts, Destroy stops. The engine reconnects with backoff after a drop.
#pragma once

#include "kavra_msvc/CBaseSocketThread.h"
#include "kavra_msvc/Export.h"

class CSocket;
class CServerStatus;

class KAVRA_MSVC_API CSocketClientThread : public CBaseSocketThread {
public:
    CSocketClientThread();
    ~CSocketClientThread() override;

    char* GetClassNameA() override;

protected:
    void OnSocketClose(int error) override;
    void OnSocketReconnect(int attempt) override;

public:
    /// Makes the engine for server (socket and takeOwnership are not used:
    /// the engine owns its socket). 1 on success; 0 for a null or invalid
    /// server, a second call, or when the engine cannot be made.
    /// Application thread, before Create.
    virtual int SetSocket(CSocket* socket, int takeOwnership, CServerStatus* server);
};
