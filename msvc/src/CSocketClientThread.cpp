#include "kavra_msvc/CSocketClientThread.h"

#include "kavra_msvc/CServerStatus.h"

#include "Engine.h"

namespace {
char kClassName[] = "CSocketClientThread";
}

CSocketClientThread::CSocketClientThread() = default;

CSocketClientThread::~CSocketClientThread() = default;

char* CSocketClientThread::GetClassNameA() {
    return kClassName;
}

void CSocketClientThread::OnSocketClose(int) {}

void CSocketClientThread::OnSocketReconnect(int) {}

int CSocketClientThread::SetSocket(CSocket*, int, CServerStatus* server) {
    if (server == nullptr || server->GetHost() == nullptr || m_engine != nullptr) {
        return 0;
    }
    kavra_client* engine = nullptr;
    if (kavra_client_create(server->GetHost(), server->GetPort(), nullptr, &engine) != KAVRA_OK) {
        return 0;
    }
    kavra_client_set_receive_callback(engine, &CBaseSocketThread::Deliver,
                                      static_cast<CBaseSocketThread*>(this));
    m_engine = engine;
    return 1;
}
