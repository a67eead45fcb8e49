// A TCP client socket (IPv4 or IPv6) in non-blocking mode with TCP_NODELAY.
//
// Every transfer takes a timeout; a transfer that meets the peer's close or a
// socket error marks the socket failed (HasFailed) and keeps the descriptor
// until Close(), so that the owning thread notices and handles the close in
// one place. Reconnect() connects again to the last endpoint given to
// Connect().
//
// One thread at a time (in the library: the socket thread that it is
// attached to). Non-copyable: the object owns its descriptor.
//
// Receive reads ahead: one system call takes up to 64 KiB into an internal
// buffer, and later calls are served from it. Available counts those bytes,
// and a loop that waits for readability must first ask HasBufferedInput,
// since bytes already taken off the descriptor no longer wake a poll.
#pragma once

#include "kavra/Export.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class KAVRA_API CSocket {
public:
    using Handle = std::intptr_t;
    static constexpr Handle INVALID_HANDLE = -1;

    CSocket();
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;
    virtual ~CSocket();

    // Resolves host (a name or a numeric IPv4/IPv6 address), tries each
    // address until one connects within timeoutMs, and remembers the
    // endpoint. Closes a previous connection first. 1 on success, 0 on
    // failure (GetLastError tells why).
    int Connect(const std::string& host, unsigned short port, unsigned int timeoutMs);
    // Connects again to the remembered endpoint; 0 when there is none.
    int Reconnect(unsigned int timeoutMs);
    // Takes an already connected descriptor (ownership passes to this object).
    void Attach(Handle handle);
    void Close();

    // Writes up to n bytes, waiting at most timeoutMs for room. Returns the
    // count written, which is less than n on timeout or failure.
    int Send(const void* src, int n, int timeoutMs);
    // Like Send, and tells the stack that more bytes follow at once: it may
    // hold a partly filled segment back, so that a burst of small writes
    // leaves in few segments. The held bytes go out with the next Send, or
    // with Flush, which the writer owes before it stops writing for a while.
    int SendMore(const void* src, int n, int timeoutMs);
    // Pushes out what SendMore held back; nothing to do (and no system call)
    // when nothing is held.
    void Flush();
    // Reads exactly n bytes unless the timeout passes, the peer closes or an
    // error occurs; returns the count read.
    int Receive(void* dst, int n, int timeoutMs);
    // Bytes readable now without blocking, read-ahead included; 0 when
    // none, -1 on error with nothing read ahead.
    int Available() const;
    // True when bytes read ahead wait to be received.
    bool HasBufferedInput() const { return m_readEnd > m_readBegin; }
    // True when the peer has closed its side and nothing remains to read.
    // Marks the socket failed when so. Does not block.
    bool PeerClosed();

    bool IsOpen() const { return m_handle != INVALID_HANDLE; }
    bool IsConnected() const { return IsOpen() && !m_failed; }
    bool HasFailed() const { return m_failed; }
    // The operating system's error code of the last failure; 0 after a clean
    // close by the peer.
    int GetLastError() const { return m_lastError; }
    Handle GetHandle() const { return m_handle; }
    const std::string& GetHost() const { return m_host; }
    unsigned short GetPort() const { return m_port; }
    // The local port, or 0 when not connected.
    unsigned short GetLocalPort() const;

private:
    void fail(int error);
    // One non-blocking read; > 0 bytes, 0 on close, -1 with error set.
    long readSome(char* dst, int n, int& error);
    void dropReadAhead();
    int send(const void* src, int n, int timeoutMs, bool more);

    std::unique_ptr<char[]> m_readAhead;
    std::size_t m_readBegin = 0;
    std::size_t m_readEnd = 0;

    Handle m_handle = INVALID_HANDLE;
    bool m_failed = false;
    // Bytes written by SendMore may still wait in the stack for Flush.
    bool m_heldBack = false;
    int m_lastError = 0;
    std::string m_host;
    unsigned short m_port = 0;
};
