#include "kavra_msvc/CServerStatus.h"

#include "../runtime/Crt.h"

CServerStatus::CServerStatus(const char* host, unsigned short port)
    : m_host(), m_port(port), m_valid(0) {
    if (host != nullptr && strlen(host) < sizeof m_host) {
        memcpy(m_host, host, strlen(host) + 1);
        m_valid = 1;
    }
}

const char* CServerStatus::GetHost() const {
    return m_valid != 0 ? m_host : nullptr;
}

unsigned short CServerStatus::GetPort() const {
    return m_port;
}
