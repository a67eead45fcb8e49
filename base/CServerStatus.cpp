#include "kavra/base/CServerStatus.h"

#include <utility>

CServerStatus::CServerStatus() = default;

CServerStatus::CServerStatus(std::string host, unsigned short port)
    : m_host(std::move(host)), m_port(port) {}

void CServerStatus::SetServer(std::string host, unsigned short port) {
    m_host = std::move(host);
    m_port = port;
}

void CServerStatus::SetBackoff(unsigned int initialDelayMs, unsigned int maximumDelayMs) {
    m_initialDelayMs = initialDelayMs;
    m_maximumDelayMs = maximumDelayMs < initialDelayMs ? initialDelayMs : maximumDelayMs;
}

unsigned int CServerStatus::DelayForAttempt(int attempt) const {
    unsigned int delay = m_initialDelayMs;
    // Doubling stops at the cap, so a long run of failed attempts neither
    // overflows nor loops more often than the cap allows.
    for (int i = 1; i < attempt && delay != 0 && delay < m_maximumDelayMs; ++i) {
        delay = delay > m_maximumDelayMs / 2 ? m_maximumDelayMs : delay * 2;
    }
    return delay > m_maximumDelayMs ? m_maximumDelayMs : delay;
}
