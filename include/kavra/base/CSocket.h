#pragma once

#include "kavra/Export.h"
#include "kavra/base/TlsOptions.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kavra {
struct WriteTally;
class ByteStream;
class SocketSetup;
class StreamLayer;
} // namespace kavra

/// A TCP client socket (IPv4 or IPv6) in non-blocking mode with TCP_NODELAY.
///
/// Every transfer takes a timeout; a transfer that meets the peer's close or a
/// socket error marks the socket failed (HasFailed) and keeps the descriptor
/// until Close(), so that the owning thread notices and handles the close in
/// one place. Reconnect() connects again to the last endpoint given to
/// Connect().
///
/// One thread at a time (in the library: the socket thread that it is
/// attached to). Non-copyable: the object owns its descriptor.
///
/// Receive reads ahead: one system call takes up to 64 KiB into an internal
/// buffer, and later calls are served from it. Available counts those bytes,
/// and a loop that waits for readability must first ask HasBufferedInput,
/// since bytes already taken off the descriptor no longer wake a poll.
///
/// Between Cork and Uncork the socket writes behind: each Send copies into an
/// internal buffer of up to 64 KiB and returns, so that a burst of small
/// writes leaves in one system call; a writer that knows a burst is coming
/// corks for it and uncorks at its end. The held bytes leave, in order, with
/// Uncork, before the next Receive (a request must not wait behind its own
/// answer), or when the buffer is full. Each held write counts once; a write that fails or
/// times out while they leave loses the held writes whose last byte did not
/// go, and a WriteTally (SetWriteTally) counts each held write once as
/// accepted or dropped.
///
/// With SetKeepUnsent, held writes that did not go out whole are kept instead
/// of dropped, in order, and go out first once the socket is connected again
/// (a torn one is written again whole: the old stream is gone).
///
/// Writes are never torn on a live connection: when a write times out after
/// part of one caller's bytes (one Send, held or not) went out, the
/// rest can never follow, and any later bytes would be read as the rest of
/// it. The socket then fails itself with ETIMEDOUT, so its owner closes and
/// reconnects. A write of which nothing went out leaves the socket usable.
///
/// TLS (SetTls): Connect makes the TCP connection and then the TLS
/// handshake within the same timeout, and every transfer above goes through
/// TLS with the same rules: read-ahead holds decrypted bytes, a write counts
/// as written once its encrypted bytes went out, and a write that times out
/// with encrypted bytes still waiting has torn the stream (the peer would
/// see part of a record) and fails the socket with ETIMEDOUT. The peer's
/// close_notify is an orderly close (GetLastError 0); an end without it
/// fails with KAVRA_TLS_TRUNCATED, a damaged record with
/// KAVRA_TLS_BAD_RECORD, a fatal alert with KAVRA_TLS_ALERT
/// (kavra/TlsErrors.h). Close sends close_notify. Attach stays plain.
///
/// Proxy (SetProxy): Connect makes the TCP connection to the proxy, asks it
/// for the endpoint (HTTP CONNECT or SOCKS5, with the endpoint's host name,
/// which the proxy resolves) and then, with TLS, makes the TLS handshake
/// with the endpoint through the tunnel, all within the same timeout. A
/// proxy that cannot be reached, refuses, wants other credentials, closes,
/// stalls or answers what its protocol does not allow fails the connect
/// with a KAVRA_PROXY_* code (kavra/TlsErrors.h); details never hold the
/// password.
///
/// Inside, every transfer goes through one stream: plain TCP, with each
/// layer the settings ask for (a proxy's tunnel, TLS) wrapped around it at
/// connect.
class KAVRA_API CSocket {
public:
    using Handle = std::intptr_t;             ///< A system socket descriptor.
    static constexpr Handle INVALID_HANDLE = -1; ///< No descriptor.

    CSocket();
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;
    virtual ~CSocket();

    /// Resolves host (a name or a numeric IPv4/IPv6 address), tries each
    /// address until one connects within timeoutMs, and remembers the
    /// endpoint. Closes a previous connection first. 1 on success, 0 on
    /// failure (GetLastError tells why). When cancel is given and becomes
    /// true, the attempt gives up within about 50 ms (ECANCELED).
    int Connect(const std::string& host, unsigned short port, unsigned int timeoutMs,
                const std::atomic<bool>* cancel = nullptr);
    /// The same connect for a caller's own loop, which never waits in it:
    /// begins it (closing a previous connection first) and returns 1 while
    /// it is under way, 0 when it failed at once (GetLastError). The loop
    /// waits as GetConnectWait says, calls ContinueConnect, and so on until
    /// that says 1 (connected) or 0 (failed: GetLastError, ETIMEDOUT once
    /// timeoutMs passed). The lookup, the TCP connect and each layer's
    /// handshake are steps of it.
    int BeginConnect(const std::string& host, unsigned short port, unsigned int timeoutMs);
    /// Moves a connect under way on without waiting: 1 connected, 0 failed,
    /// -1 still under way.
    int ContinueConnect();
    /// What a connect under way waits for: handle to become writable (write)
    /// or readable, or, when handle is INVALID_HANDLE, only the time; by when
    /// ContinueConnect is to be called in any case.
    struct ConnectWait {
        /// The descriptor to watch, or INVALID_HANDLE for the time alone.
        Handle handle = INVALID_HANDLE;
        /// Watch for writability (a TCP connect) rather than readability.
        bool write = false;
        /// When ContinueConnect is due whatever the descriptor does.
        std::chrono::steady_clock::time_point by{};
    };
    /// See ConnectWait; only while IsConnecting.
    ConnectWait GetConnectWait() const;
    /// True from BeginConnect until the connect succeeded, failed or was
    /// given up.
    bool IsConnecting() const { return m_setup != nullptr; }
    /// Gives up a connect under way (GetLastError ECANCELED).
    void AbortConnect();
    /// The TLS settings of the next Connect and Reconnect (not of the
    /// connection that is up). Off by default. Reads and checks the CA,
    /// certificate and key files now: 0, or KAVRA_TLS_SETUP
    /// (KAVRA_TLS_NOT_BUILT) with GetLastError and GetLastErrorDetail set,
    /// and every connect fails the same way until the files are fixed.
    /// Sockets with the same settings share what was read, and the TLS
    /// sessions they may resume (IsTlsResumed); a file that changed since
    /// (size or modification time) is read again at the next connect, so a
    /// renewed certificate or CA counts from then on, and no session from
    /// before the change is resumed.
    int SetTls(const kavra::TlsOptions& tls);
    /// The settings given to SetTls.
    const kavra::TlsOptions& GetTls() const { return m_tls; }
    /// The proxy of the next Connect and Reconnect: "" for none (the
    /// default), http://[user:password@]host:port or
    /// socks5://[user:password@]host:port. 0, or KAVRA_PROXY_SETUP with
    /// GetLastError and GetLastErrorDetail set when the URL cannot be
    /// used; every connect then fails the same way (never without the proxy).
    int SetProxy(const std::string& url);
    /// The URL given to SetProxy, credentials and all.
    const std::string& GetProxy() const { return m_proxy; }
    /// Connects again to the remembered endpoint; 0 when there is none.
    int Reconnect(unsigned int timeoutMs);
    /// Takes an already connected descriptor (ownership passes to this object).
    void Attach(Handle handle);
    /// Gives held bytes one write that does not wait, then closes the
    /// descriptor. Nothing to do when none is open.
    void Close();
    /// Keepalive and the unacknowledged-data bound of the current connection
    /// (see CServerStatus). 0, or the system's error code.
    ///@{
    /// Keepalive and the unacknowledged-data bound of the current connection
    /// (see CServerStatus). 0, or the system's error code.
    int SetKeepAlive(unsigned int idleS, unsigned int intervalS, unsigned int count);
    int SetUnacknowledgedLimit(unsigned int ms);
    ///@}
    /// Treats the connection as failed with error, as a transfer that met the
    /// error would: the owner closes it. For failures the socket cannot see
    /// itself, such as a peer that has been silent too long.
    void MarkFailed(int error) { fail(error); }
    /// When the connection was made or last delivered bytes.
    std::chrono::steady_clock::time_point GetLastInputTime() const { return m_lastInput; }

    /// Writes up to n bytes, waiting at most timeoutMs for room. Returns the
    /// count written, which is less than n on timeout or failure (and then 0,
    /// or the socket has failed: see above).
    int Send(const void* src, int n, int timeoutMs);
    /// True when held bytes (see Cork) have not been written yet.
    bool HasHeldOutput() const { return m_writeLen > 0; }
    /// Until Uncork, Send holds its bytes back (see above) and returns n
    /// without a system call when they fit; its timeoutMs also bounds the
    /// write at the Uncork.
    void Cork() { m_corked = true; }
    /// Ends Cork and writes out what is held, waiting at most the timeout of
    /// the last held Send; nothing to do (and no system call) when nothing is
    /// held. False when some of it could not be written and was dropped.
    bool Uncork();
    /// What a loop must do before it waits on the descriptor: true when
    /// bytes read ahead wait to be received (only when reading is true: a
    /// caller that holds input back has no use for them) or held bytes wait
    /// to go out on a live connection. Neither wakes a wait on the
    /// descriptor.
    bool HasWorkBeforeWait(bool reading) const {
        return (reading && HasBufferedInput()) || (IsConnected() && HasHeldOutput());
    }
    /// Where held writes and out-of-step failures are counted; null for
    /// nowhere. Shared, so that neither the socket nor the thread that reads
    /// the tally can outlive it.
    void SetWriteTally(std::shared_ptr<kavra::WriteTally> tally);
    /// The tally given to SetWriteTally, or null.
    const std::shared_ptr<kavra::WriteTally>& GetWriteTally() const { return m_tally; }
    /// Keep held writes that did not go, rather than drop them (see above).
    void SetKeepUnsent(bool keep) { m_keepUnsent = keep; }
    /// Whether held writes that did not go are kept (SetKeepUnsent).
    bool GetKeepUnsent() const { return m_keepUnsent; }
    /// Writes out held bytes first, then reads exactly n bytes unless the
    /// timeout passes, the peer closes or an error occurs; returns the count
    /// read.
    int Receive(void* dst, int n, int timeoutMs);
    /// Bytes readable now without blocking, read-ahead included; 0 when
    /// none, -1 on error with nothing read ahead.
    int Available() const;
    /// What a loop does when the descriptor is readable: with nothing read
    /// ahead, one non-blocking read takes what has arrived. Returns the bytes
    /// now read ahead (> 0); 0 when nothing came; -1 once the peer closed or
    /// the connection failed, and the socket is marked failed. Unlike
    /// Available, it costs no system call while bytes wait read ahead.
    int ReadArrived();
    /// The bytes read ahead that wait to be received, for a reader that takes
    /// them in place: their address, and their count in count (0: none).
    /// Valid until the next call that reads, takes or closes.
    const unsigned char* PeekReadAhead(std::size_t& count) const {
        count = readAheadCount();
        return reinterpret_cast<const unsigned char*>(m_readAhead.get()) + m_readBegin;
    }
    /// Takes the first n of the bytes PeekReadAhead shows (n no more than
    /// its count), as a Receive of n bytes would.
    void TakeReadAhead(std::size_t n) { m_readBegin += n; }
    /// True when bytes read ahead (over TLS: decrypted) wait to be received.
    bool HasBufferedInput() const;
    /// True when the peer has closed its side and nothing remains to read.
    /// Marks the socket failed when so. Does not block.
    bool PeerClosed();

    /// True while the socket holds a descriptor.
    bool IsOpen() const { return m_handle != INVALID_HANDLE; }
    /// True while it holds a descriptor and has not failed.
    bool IsConnected() const { return IsOpen() && !m_failed; }
    /// True once a transfer met the peer's close or an error (until Close).
    bool HasFailed() const { return m_failed; }
    /// The operating system's error code of the last failure, or a
    /// KAVRA_TLS_* code; 0 after a clean close by the peer.
    int GetLastError() const { return m_lastError; }
    /// For a TLS failure, what exactly went wrong, for people ("certificate
    /// has expired (notAfter ...)"); otherwise empty.
    const std::string& GetLastErrorDetail() const { return m_lastErrorDetail; }
    /// Whether the connection that is open is encrypted.
    bool IsEncrypted() const;
    ///@{
    /// Its TLS version as on the wire (0x0303: TLS 1.2, 0x0304: TLS 1.3) and
    /// the version's name ("TLSv1.3"); 0 and "" when plain or closed.
    int GetTlsVersion() const;
    std::string GetTlsVersionName() const;
    ///@}
    /// Whether the connection that is open resumed the TLS session of an
    /// earlier connection to the same endpoint (host and port) with the same
    /// settings, where the server allowed it: no certificate was exchanged,
    /// since it was checked when that session began. false when plain or
    /// closed.
    bool IsTlsResumed() const;
    /// The descriptor, or INVALID_HANDLE.
    Handle GetHandle() const { return m_handle; }
    ///@{
    /// The endpoint remembered from the last Connect.
    const std::string& GetHost() const { return m_host; }
    unsigned short GetPort() const { return m_port; }
    ///@}
    /// The local port, or 0 when not connected.
    unsigned short GetLocalPort() const;

private:
    void fail(int error);
    // m_layers from the proxy's and the TLS layer.
    void stackLayers();
    // Send while corked: holds the bytes back when they fit.
    int holdBack(const void* src, int n, int timeoutMs);
    // Writes out the held bytes within the last held Send's timeout.
    bool flush();
    enum class Direction { Read, Write };
    // Waits until the descriptor is ready for direction or the deadline
    // passes: 1 ready, 0 timed out, -1 failed (and the socket with it).
    int waitFor(Direction direction, std::chrono::steady_clock::time_point deadline);
    // One non-blocking read; > 0 bytes, 0 on close, -1 with error set.
    long readSome(char* dst, int n, int& error);
    long readSomeAhead(char* dst, int n, int& error);
    // One read into the empty read-ahead; as readSome.
    long refillReadAhead(int& error);
    std::size_t readAheadCount() const { return m_readEnd - m_readBegin; }
    // The transfers of the connection, through its stream.
    long recvSome(char* dst, std::size_t n, int& error);
    long sendSome(const char* src, std::size_t n, int& error);
    // The layers' set-up over the TCP connection just made (handle), by the
    // deadline; on failure the descriptor is closed and the failure recorded.
    // Writes until the stream holds no part of a unit, by the deadline;
    // false when some still waits then (the stream is torn) or the socket
    // failed.
    bool drainStream(std::chrono::steady_clock::time_point deadline);
    // Whether a write that went out up to written of total bytes stopped
    // inside a unit: one caller's write, or one of the stream's own.
    bool isTorn(std::size_t written, std::size_t total) const;
    void dropReadAhead();
    // Writes all n bytes unless the deadline passes or the socket fails;
    // returns the count written.
    int writeAll(const char* src, int n, std::chrono::steady_clock::time_point deadline);
    // Writes out the held bytes by the deadline; false when some were dropped.
    // A flush on the way to closing does not fail the socket for a torn write.
    bool flushBy(std::chrono::steady_clock::time_point deadline, bool closing = false);
    // After written of total bytes went out, starting with the held ones:
    // counts every held write as accepted or dropped (or keeps the ones that
    // did not go), and fails the socket when the write stopped inside one
    // caller's bytes.
    void settleWrite(std::size_t written, std::size_t total, bool closing);
    // Moves the held writes from index first on to the front of the buffer.
    void keepHeldFrom(std::size_t first);

    std::unique_ptr<char[]> m_readAhead;
    std::size_t m_readBegin = 0;
    std::size_t m_readEnd = 0;

    Handle m_handle = INVALID_HANDLE;
    bool m_failed = false;
    // Bytes that a corked Send took and that have not been written yet.
    std::unique_ptr<char[]> m_writeBehind;
    std::size_t m_writeLen = 0;
    // Where each held write ends in m_writeBehind, in order.
    std::vector<std::size_t> m_heldEnds;
    std::shared_ptr<kavra::WriteTally> m_tally;
    bool m_keepUnsent = false;
    bool m_corked = false;
    int m_flushTimeoutMs = 0;
    int m_lastError = 0;
    std::string m_lastErrorDetail;
    kavra::TlsOptions m_tls;
    std::string m_proxy;
    // The layers SetProxy and SetTls made, null when off.
    std::shared_ptr<const kavra::StreamLayer> m_proxyLayer;
    std::shared_ptr<const kavra::StreamLayer> m_tlsLayer;
    // What a connect wraps around TCP, lowest first.
    std::vector<std::shared_ptr<const kavra::StreamLayer>> m_layers;
    // The open connection's stream; null while closed.
    std::unique_ptr<kavra::ByteStream> m_stream;
    std::chrono::steady_clock::time_point m_lastInput{};
    std::string m_host;
    unsigned short m_port = 0;
    // The connect under way (BeginConnect); null otherwise.
    std::unique_ptr<kavra::SocketSetup> m_setup;
};
