#pragma once

#include "kavra/Export.h"
#include "kavra/base/TlsOptions.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

/// Where a client connects, how it keeps the connection healthy, and how it
/// reconnects after the connection drops. A plain value: the thread keeps its
/// own copy (SetSocket).
///
/// Endpoints: SetServer names the first; AddServer appends more. A connect
/// attempt that fails moves the next attempt to the next endpoint, round the
/// list.
///
/// Reconnection backoff: the first attempt waits the initial delay, each
/// further attempt twice the previous delay, never more than the maximum.
/// With jitter (the default) each delay is drawn from [delay / 2, delay], so
/// clients that lost the same server do not return in lock step. A give-up
/// limit (off by default) ends the attempts after so many failures in a row
/// or so long without a connection.
///
/// Dead peers: every connection the client makes has TCP keepalive (by
/// default probes after 30 s of silence, every 10 s, 5 unanswered probes:
/// a vanished peer is noticed within about 80 s) and, where the system has
/// it, the same bound on how long written data may stay unacknowledged, so
/// that a peer that vanishes while data is outstanding is noticed as soon
/// as an idle one (on Linux the bound also governs keepalive itself). An
/// optional idle limit treats a connection that received nothing at all for
/// that long as dead; the protocol has no heartbeat, so it is off by default.
///
/// TLS (off by default): the same settings for every endpoint
/// (kavra::TlsOptions); the certificate is checked against each endpoint's
/// host unless the options name the server.
///
/// Proxy (none by default): every endpoint is reached through the same
/// proxy, HTTP CONNECT or SOCKS5 (SetProxy); the endpoint's host name goes
/// to the proxy, which resolves it, and TLS checks the endpoint's name.
class KAVRA_API CServerStatus {
public:
    /// No endpoint (an empty host, port 0) and the default policy.
    CServerStatus();
    /// host:port as the first endpoint, with the default policy.
    CServerStatus(std::string host, unsigned short port);

    ///@{
    /// The first endpoint.
    const std::string& GetHost() const { return m_host; }
    unsigned short GetPort() const { return m_port; }
    ///@}
    /// All endpoints, the first one included: index 0 .. GetServerCount()-1.
    std::size_t GetServerCount() const { return 1 + m_more.size(); }
    ///@{
    /// The endpoint at index; the first one for an index out of range.
    const std::string& GetHostAt(std::size_t index) const;
    unsigned short GetPortAt(std::size_t index) const;
    ///@}

    /// Time allowed for each connect attempt, in ms (default 3000).
    unsigned int GetConnectTimeoutMs() const { return m_connectTimeoutMs; }
    /// Whether the client reconnects after a drop (default true).
    bool GetReconnect() const { return m_reconnect; }
    /// Backoff delay before the first attempt, in ms (default 100).
    unsigned int GetInitialDelayMs() const { return m_initialDelayMs; }
    /// Largest backoff delay, in ms (default 5000).
    unsigned int GetMaximumDelayMs() const { return m_maximumDelayMs; }
    /// Whether delays are jittered (default true).
    bool GetJitter() const { return m_jitter; }
    /// Give-up limit: failed attempts in a row; 0 for none (the default).
    unsigned int GetGiveUpAttempts() const { return m_giveUpAttempts; }
    /// Give-up limit: ms without a connection; 0 for none (the default).
    unsigned int GetGiveUpAfterMs() const { return m_giveUpAfterMs; }
    /// Keepalive: seconds of silence before the first probe (default 30).
    unsigned int GetKeepAliveIdleS() const { return m_keepAliveIdleS; }
    /// Keepalive: seconds between probes (default 10).
    unsigned int GetKeepAliveIntervalS() const { return m_keepAliveIntervalS; }
    /// Keepalive: unanswered probes before the peer counts as dead (default 5).
    unsigned int GetKeepAliveCount() const { return m_keepAliveCount; }
    /// The bound in force: the one set, or else keepalive's own time (0 when
    /// keepalive is off too: the system's own bound).
    unsigned int GetUnacknowledgedLimitMs() const;
    /// The idle limit in ms; 0 when off (the default).
    unsigned int GetIdleLimitMs() const { return m_idleLimitMs; }

    /// Sets the first endpoint.
    void SetServer(std::string host, unsigned short port);
    /// Appends an endpoint after the others.
    void AddServer(std::string host, unsigned short port);
    /// Also bounds the name lookup of each attempt; each address a name
    /// resolves to gets its own share of it.
    void SetConnectTimeoutMs(unsigned int ms) { m_connectTimeoutMs = ms; }
    /// Whether to reconnect after a drop.
    void SetReconnect(bool enabled) { m_reconnect = enabled; }
    /// A maximum below the initial delay is raised to it.
    void SetBackoff(unsigned int initialDelayMs, unsigned int maximumDelayMs);
    /// Whether to draw each delay from [delay / 2, delay].
    void SetJitter(bool enabled) { m_jitter = enabled; }
    /// Stop reconnecting after attempts failed attempts in a row, or after
    /// afterMs without a connection; 0 for no such limit (the default).
    void SetGiveUp(unsigned int attempts, unsigned int afterMs);
    /// 0 in any of them turns keepalive off.
    void SetKeepAlive(unsigned int idleS, unsigned int intervalS, unsigned int count);
    /// 0 (the default) follows keepalive (see above).
    void SetUnacknowledgedLimitMs(unsigned int ms) { m_unacknowledgedLimitMs = ms; }
    /// 0 (the default) turns the idle limit off.
    void SetIdleLimitMs(unsigned int ms) { m_idleLimitMs = ms; }
    /// Whether and how connections are encrypted. Reads and checks the CA,
    /// certificate and key files now: 0, or KAVRA_TLS_SETUP
    /// (KAVRA_TLS_NOT_BUILT; kavra/TlsErrors.h) with the reason in why when
    /// given. The settings are kept either way, and each connect attempt
    /// reads the files again until they can be used, failing with the same
    /// code meanwhile.
    int SetTls(const kavra::TlsOptions& tls, std::string* why = nullptr);
    /// The settings given to SetTls.
    const kavra::TlsOptions& GetTls() const { return m_tls; }
    /// The proxy every connection goes through: http://[user:password@]host:port
    /// (HTTP CONNECT, Basic authentication) or socks5://[user:password@]host:port
    /// (SOCKS5, no authentication or user/password); "" for none. User and
    /// password may percent-encode any byte (%40 for '@'). 0, or
    /// KAVRA_PROXY_SETUP (kavra/TlsErrors.h) with the reason in why when
    /// given, the URL with its password hidden, and the setting unchanged.
    int SetProxy(const std::string& url, std::string* why = nullptr);
    /// The URL given to SetProxy, credentials and all: not for logs.
    const std::string& GetProxy() const { return m_proxy; }
    /// True when none of the three keepalive settings is 0.
    bool KeepAliveOn() const;

    /// Nominal delay before reconnection attempt number attempt (1, 2, ...).
    unsigned int DelayForAttempt(int attempt) const;
    /// The delay to wait: with jitter, random (any 32-bit value) picks it in
    /// [nominal / 2, nominal]; without, the nominal delay.
    unsigned int DelayForAttempt(int attempt, std::uint32_t random) const;

private:
    std::string m_host;
    unsigned short m_port = 0;
    std::vector<std::pair<std::string, unsigned short>> m_more;
    unsigned int m_connectTimeoutMs = 3000;
    bool m_reconnect = true;
    unsigned int m_initialDelayMs = 100;
    unsigned int m_maximumDelayMs = 5000;
    bool m_jitter = true;
    unsigned int m_giveUpAttempts = 0;
    unsigned int m_giveUpAfterMs = 0;
    unsigned int m_keepAliveIdleS = 30;
    unsigned int m_keepAliveIntervalS = 10;
    unsigned int m_keepAliveCount = 5;
    unsigned int m_unacknowledgedLimitMs = 0;
    unsigned int m_idleLimitMs = 0;
    kavra::TlsOptions m_tls;
    std::string m_proxy;
};
