// Where a client connects and how it reconnects after the connection drops.
//
// Reconnection backoff: the first attempt waits the initial delay, each
// further attempt twice the previous delay, never more than the maximum.
#pragma once

#include "kavra/Export.h"

#include <string>

class KAVRA_API CServerStatus {
public:
    CServerStatus();
    CServerStatus(std::string host, unsigned short port);

    const std::string& GetHost() const { return m_host; }
    unsigned short GetPort() const { return m_port; }
    unsigned int GetConnectTimeoutMs() const { return m_connectTimeoutMs; }
    bool GetReconnect() const { return m_reconnect; }
    unsigned int GetInitialDelayMs() const { return m_initialDelayMs; }
    unsigned int GetMaximumDelayMs() const { return m_maximumDelayMs; }

    void SetServer(std::string host, unsigned short port);
    void SetConnectTimeoutMs(unsigned int ms) { m_connectTimeoutMs = ms; }
    void SetReconnect(bool enabled) { m_reconnect = enabled; }
    // A maximum below the initial delay is raised to it.
    void SetBackoff(unsigned int initialDelayMs, unsigned int maximumDelayMs);

    // Delay before reconnection attempt number attempt (1, 2, ...).
    unsigned int DelayForAttempt(int attempt) const;

private:
    std::string m_host;
    unsigned short m_port = 0;
    unsigned int m_connectTimeoutMs = 3000;
    bool m_reconnect = true;
    unsigned int m_initialDelayMs = 100;
    unsigned int m_maximumDelayMs = 5000;
};
