#pragma once

#include "kavra/Export.h"
#include "kavra/base/CBaseSocketThread.h"
#include "kavra/base/CServerStatus.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <random>

/**
 * A socket thread that keeps one client connection to a server.
 *
 * SetSocket attaches a socket (or makes and connects one) and names the
 * server (CServerStatus: endpoints, backoff, keepalive, idle limit). When
 * the connection drops while the thread runs, the thread reconnects with
 * backoff and keeps the same CSocket object attached, so m_socket stays
 * non-null.
 *
 * Connection events, all on the thread, one at a time:
 *  - OnSocketConnect(error) after every connect attempt the thread makes:
 * @verbatim
 *    0 when connected, otherwise the reason: errno-style, or for a TLS
 *    connection a KAVRA_TLS_* code (kavra/TlsErrors.h). A connection that
 *    SetSocket made before the thread ran is reported once as
 *    OnSocketConnect(0) when the thread starts, before anything else.
 * @endverbatim
 *  - OnSocketClose(error) once per connection that drops: 0 for an orderly
 * @verbatim
 *    close by the peer (over TLS: its close_notify), otherwise the reason
 *    (ECONNRESET, EPIPE, ETIMEDOUT for a dead peer found by keepalive or
 *    the idle limit, or for a write cut short inside a frame; over TLS also
 *    KAVRA_TLS_TRUNCATED for an end without close_notify, KAVRA_TLS_BAD_RECORD
 *    for damaged records and KAVRA_TLS_ALERT for the peer's fatal alert). The default closes the socket and, when
 *    the server allows it, schedules the first reconnection attempt.
 * @endverbatim
 *  - OnSocketReconnect(attempt) when a scheduled attempt is due (attempt
 * @verbatim
 *    counts from 1 per outage). The default begins the attempt; the loop
 *    moves it on (the lookup, the TCP connect on each address of the
 *    endpoint in turn, the TLS handshake) between its messages, with no
 *    wait of its own, and OnSocketConnect follows when it ends. After a
 *    failure the next one is scheduled, unless the give-up limit is reached.
 * @endverbatim
 * So a drop and a recovery read: OnSocketClose(e), OnSocketReconnect(1),
 * OnSocketConnect(ECONNREFUSED), OnSocketReconnect(2), OnSocketConnect(0).
 * An override calls the base. OnSocketConnect inside the default
 * OnSocketReconnect (a connect that fails at once) is the only handler that
 * runs inside another one.
 *
 * While an attempt is under way the thread goes on serving its messages:
 * sends are queued and settled, a stop is prompt, statistics stay current.
 *
 * Stop and restart: once the loop has ended (AfterRun) the connection is
 * closed, without an OnSocketClose, so the peer sees the end at once. A
 * restart (Create() after the stop) connects again at once when the stop
 * closed a connection or a reconnection attempt was pending: the new run
 * begins with OnSocketReconnect(1) and goes on with backoff as after a
 * drop.
 *
 * What keeps that true whatever the stop meets: while the connection is
 * down and neither the give-up limit nor a server without reconnection
 * ended the attempts, exactly one of these holds the next attempt: the
 * loop's schedule, the connect under way, or, between runs, the record
 * AfterRun made of the schedule. A stop never settles an attempt: the loop
 * makes no attempt once the stop was asked for, an attempt under way is
 * given up (OnSocketConnect(ECANCELED)) and goes back on the schedule
 * instead of counting towards the give-up limit, and a drop during the
 * stop's linger schedules one as any drop does.
 */
class KAVRA_API CSocketClientThread : public CBaseSocketThread {
public:
    CSocketClientThread();
    ~CSocketClientThread() override;

    char* GetClassNameA() override;
    /// Reports a connection SetSocket made before the thread ran, or, on a
    /// restart, schedules the first attempt to connect again. Thread only.
    void BeforeRun() override;
    /// Closes the connection (see above). Thread only.
    void AfterRun() override;

protected:
    /// Closes the socket and, when the server allows it, schedules the first
    /// reconnection attempt (also during a stop, for the next start).
    void OnSocketClose(int error) override;
    /// Begins the attempt to connect again (see above).
    void OnSocketReconnect(int attempt) override;
    /// Moves an attempt under way on; when it ends, reports it and, after a
    /// failure, schedules the next one, or, once a stop was asked for, this
    /// one again for the next start. An override calls the base.
    void OnQuerySocket() override;

public:
    /// Attaches a socket. Application thread, while the thread is not running.
    ///  - socket not null: attaches it; with takeOwnership nonzero the thread
    ///    deletes it when it is replaced or the object is destroyed. server,
    ///    when not null, names where to reconnect and how; otherwise the
    ///    socket's own endpoint and TLS settings are used with the default
    ///    policy.
    ///  - socket null, server not null: makes an owned socket and connects it
    ///    to the server; when that fails the socket stays attached and the
    ///    thread keeps trying with backoff once it runs (if the server allows).
    ///  - both null: detaches (m_socket becomes null).
    /// Returns 1 when the attached socket is connected, 0 otherwise.
    virtual int SetSocket(CSocket* socket, int takeOwnership, CServerStatus* server);

    /// Whether the connection is up, as the thread last saw it. Any thread,
    /// without locks.
    bool IsConnected() const { return m_connected.load(); }
    /// True once the give-up limit ended the reconnection attempts; the
    /// connection then stays down. Any thread.
    bool HasGivenUp() const { return m_gaveUp.load(); }
    /// Successful reconnections since construction. Any thread.
    std::uint64_t GetReconnectCount() const;
    /// Connections made (the first included), connections that dropped, and
    /// connect attempts that failed, since construction. Any thread.
    ///@{
    std::uint64_t GetConnectionsMade() const { return m_connectionsMade.load(); }
    std::uint64_t GetConnectionsLost() const { return m_connectionsLost.load(); }
    std::uint64_t GetConnectFailures() const { return m_connectFailures.load(); }
    ///@}
    /// The TLS version of the connection that is up, as on the wire (0x0304
    /// for TLS 1.3); 0 while it is down or plain. Any thread.
    int GetTlsVersion() const { return m_tlsVersion.load(); }
    /// Connections made whose TLS handshake resumed an earlier session
    /// (CSocket::IsTlsResumed), since construction. Any thread.
    std::uint64_t GetResumedHandshakes() const { return m_resumedHandshakes.load(); }
    /// Why the last failed connect attempt failed (errno-style, or a
    /// KAVRA_TLS_* code of kavra/TlsErrors.h); 0 while none has. Any thread.
    int GetLastConnectError() const { return m_lastConnectError.load(); }
    /// When the connection last came up or went down. Any thread.
    std::chrono::steady_clock::time_point GetStateChangeTime() const;
    /// The thread's own copy of the server settings (SetSocket).
    const CServerStatus& GetServerStatus() const { return m_server; }

private:
    void releaseSocket();
    // One attempt at the current endpoint that waits for its end (before the
    // thread runs); moves to the next endpoint on failure.
    bool connectNow();
    const std::string& currentHost() const;
    unsigned short currentPort() const;
    // The attempt under way ended.
    void endAttempt(bool connected);
    // The records of an attempt that failed (moves to the next endpoint) or
    // connected.
    void attemptFailed();
    void attemptConnected();
    void markConnected(bool connected);
    unsigned int delayFor(int attempt);
    bool shouldGiveUp() const;

    CServerStatus m_server;
    std::unique_ptr<CSocket> m_ownedSocket;
    std::atomic<std::uint64_t> m_reconnections{0};
    std::atomic<std::uint64_t> m_connectionsMade{0};
    std::atomic<std::uint64_t> m_connectionsLost{0};
    std::atomic<std::uint64_t> m_connectFailures{0};
    std::atomic<int> m_tlsVersion{0};
    std::atomic<int> m_lastConnectError{0};
    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_gaveUp{false};
    // 32 bits fit beside the flags, where the class had padding.
    std::atomic<std::uint32_t> m_resumedHandshakes{0};
    std::atomic<std::int64_t> m_stateChangedAt{0};
    // The rest belongs to whichever thread may touch the socket: the
    // application thread before the start, the thread afterwards.
    bool m_reportConnectAtStart = false;
    // The last run ended with a connection to resume: the stop closed it, or
    // an attempt was pending.
    bool m_resumeAtStart = false;
    std::size_t m_endpoint = 0;
    // The number of the attempt under way; 0 while none is.
    int m_attemptUnderWay = 0;
    unsigned int m_failuresInARow = 0;
    std::chrono::steady_clock::time_point m_outageStart{};
    std::minstd_rand m_random;
};
