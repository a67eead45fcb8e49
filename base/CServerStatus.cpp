#include "kavra/base/CServerStatus.h"

#include "base/os/proxy/ProxyEndpoint.h"
#include "base/os/tls/TlsLayer.h"
#include "kavra/TlsErrors.h"

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

unsigned int CServerStatus::DelayForAttempt(int attempt, std::uint32_t random) const {
    const unsigned int nominal = DelayForAttempt(attempt);
    if (!m_jitter || nominal < 2) {
        return nominal;
    }
    const unsigned int floor = nominal / 2;
    return floor + random % (nominal - floor + 1);
}

void CServerStatus::AddServer(std::string host, unsigned short port) {
    m_more.emplace_back(std::move(host), port);
}

const std::string& CServerStatus::GetHostAt(std::size_t index) const {
    return index == 0 || index > m_more.size() ? m_host : m_more[index - 1].first;
}

unsigned short CServerStatus::GetPortAt(std::size_t index) const {
    return index == 0 || index > m_more.size() ? m_port : m_more[index - 1].second;
}

int CServerStatus::SetTls(const kavra::TlsOptions& tls, std::string* why) {
    m_tls = tls;
    if (!tls.Enabled()) {
        return 0;
    }
    std::string detail;
    const int error = kavra::os::TlsLayer::For(tls)->Ready(detail);
    if (why != nullptr) {
        *why = detail;
    }
    return error;
}

int CServerStatus::SetProxy(const std::string& url, std::string* why) {
    std::string detail;
    if (!url.empty() && !kavra::os::ProxyEndpoint::Parse(url, detail)) {
        if (why != nullptr) {
            *why = detail;
        }
        return KAVRA_PROXY_SETUP;
    }
    m_proxy = url;
    return 0;
}

void CServerStatus::SetGiveUp(unsigned int attempts, unsigned int afterMs) {
    m_giveUpAttempts = attempts;
    m_giveUpAfterMs = afterMs;
}

void CServerStatus::SetKeepAlive(unsigned int idleS, unsigned int intervalS, unsigned int count) {
    m_keepAliveIdleS = idleS;
    m_keepAliveIntervalS = intervalS;
    m_keepAliveCount = count;
}

bool CServerStatus::KeepAliveOn() const {
    return m_keepAliveIdleS != 0 && m_keepAliveIntervalS != 0 && m_keepAliveCount != 0;
}

unsigned int CServerStatus::GetUnacknowledgedLimitMs() const {
    if (m_unacknowledgedLimitMs != 0 || !KeepAliveOn()) {
        return m_unacknowledgedLimitMs;
    }
    const unsigned long long seconds =
        m_keepAliveIdleS + static_cast<unsigned long long>(m_keepAliveIntervalS) * m_keepAliveCount;
    return seconds >= 4'000'000ULL ? 4'000'000'000U : static_cast<unsigned int>(seconds * 1000);
}
