#pragma once

#include "kavra/Export.h"
#include "kavra/base/CQWinThread.h"
#include "kavra/base/CSema.h"
#include "kavra/base/WriteTally.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

class CSocket;

namespace kavra {
class WakeUp;
}

/// A thread whose loop waits on its message queue and its socket together.
///
/// Each turn of Run dispatches the messages already posted (a bounded batch,
/// so a busy poster cannot starve the socket), then waits until a message is
/// posted, the socket becomes readable, a scheduled reconnection is due
/// (once a stop was asked for, the attempt stays scheduled and is not made),
/// a connect under way (CSocket::BeginConnect) can go on, or the deadline a
/// subclass set (WaitNoLaterThan) comes. The connect itself is the
/// subclass's to move on (CSocketClientThread does it in OnQuerySocket):
/// the loop only waits for it, so nothing in it holds the thread.
/// Readable data is reported as OnSocketReceive(n) with the readable byte
/// count n > 0; a peer close or socket error as OnSocketClose(error) with the
/// system error code (0 for an orderly close). Handlers run on the thread one
/// at a time, never two at once. An exception that leaves a handler is caught
/// and counted, and the loop goes on.
class KAVRA_API CBaseSocketThread : public CQWinThread {
public:
    CBaseSocketThread();
    ~CBaseSocketThread() override;

    unsigned long Run() override;

protected:
    /// Messages this class does not know: returns 0.
    long DispatchMessageA(const MSG* msg) override;

    /// @name Socket events
    /// All on the thread. Defaults: OnSocketClose closes the socket; the
    /// others do nothing. An override of OnSocketClose calls the base (or
    /// closes the socket itself): a failed socket left open is reported again
    /// after every later event.
    ///@{
    /// readable bytes can be read (readable > 0). Default: nothing.
    virtual void OnSocketReceive(int readable);
    /// Default: nothing.
    virtual void OnSocketSend(int written);
    /// Default: nothing.
    virtual void OnSocketAccept(int error);
    /// A connect attempt ended: 0 when connected. Default: nothing.
    virtual void OnSocketConnect(int error);
    /// The peer closed (error 0) or the socket failed (the system error
    /// code). Default: closes the socket.
    virtual void OnSocketClose(int error);
    ///@}
    /// A scheduled reconnection is due (ScheduleReconnect); attempt counts
    /// from 1.
    virtual void OnSocketReconnect(int attempt);
    /// Called once per turn of the loop, before it waits.
    virtual void OnQuerySocket();

public:
    /// What became of one write.
    enum class WriteOutcome {
        Written,      ///< the kernel accepted the last byte
        Held,         ///< held back to leave with the next writes (GetWriteTally)
        NotConnected, ///< no working connection: nothing went out
        /// nothing went out in time, or part went and the socket failed
        /// itself (the stream was out of step)
        TimedOut,
        Failed,       ///< the connection failed during the write
    };

    /// Reads exactly n bytes into dst unless timeoutMs passes or the
    /// connection closes or fails; returns the count read. Worker thread only.
    int RecvDataTimeout(char* dst, int n, int timeoutMs);
    /// Writes n bytes from src, waiting at most timeoutMs; returns the count
    /// written. Without a working connection it writes nothing and returns 0 at
    /// once. The loop corks the socket while it dispatches a batch of
    /// messages, so a handler's bytes are held there and leave with the
    /// batch's other writes when the batch ends; n is returned for them, and
    /// their fate is counted in GetWriteTally. A write never leaves part of
    /// its bytes on a live connection: see CSocket. Worker thread only.
    int SendDataTimeout(char* src, int n, int timeoutMs);
    /// The same write, telling what became of it.
    WriteOutcome WriteDataTimeout(const char* src, int n, int timeoutMs);
    /// Held writes and out-of-step failures of the sockets this thread wrote
    /// through. Any thread.
    const kavra::WriteTally& GetWriteTally() const { return *m_writeTally; }

    /// The attached socket, or null. Any thread (the pointer changes only while
    /// the thread is not running).
    CSocket* GetSocket() const { return m_socket; }
    /// Exceptions caught around handlers since construction. Any thread.
    std::uint64_t GetHandlerExceptionCount() const;

protected:
    /// Asks the loop to call OnSocketReconnect(attempt) after delayMs. Before
    /// the thread starts, or on the thread (checked, as every method here
    /// kept to the thread, in builds with thread checks).
    void ScheduleReconnect(unsigned int delayMs, int attempt);
    /// Drops the scheduled attempt, if any. On the thread.
    void CancelReconnect();
    /// True while an attempt is scheduled. On the thread.
    bool IsReconnectScheduled() const { return m_reconnectAttempt > 0; }
    ///@{
    /// When the scheduled attempt is due, and its number. On the thread.
    std::chrono::steady_clock::time_point ReconnectDue() const { return m_reconnectDue; }
    int ReconnectAttempt() const { return m_reconnectAttempt; }
    ///@}

    /// While reading is paused the loop does not watch the socket for input
    /// (nor for a peer's close, which the next write or the resumed read
    /// meets), so the peer's sending is held back by TCP flow control.
    /// PauseReading on the thread; ResumeReading from any thread wakes the
    /// loop to read again.
    void PauseReading() { m_readPaused.store(true); }
    /// Ends a pause and, from another thread, wakes the loop. Any thread.
    void ResumeReading();
    /// True while reading is paused. Any thread.
    bool IsReadingPaused() const { return m_readPaused.load(); }

    /// The loop's next wait ends by then at the latest (a deadline of the
    /// subclass's own, set from OnQuerySocket each turn it matters). On the
    /// thread.
    void WaitNoLaterThan(std::chrono::steady_clock::time_point by);

    /// A connection that delivered nothing for ms (time with reading paused
    /// aside) is failed with ETIMEDOUT and reported as OnSocketClose, as any
    /// other drop. 0: no limit (the default). Before the thread starts, or
    /// on the thread.
    void SetIdleLimitMs(unsigned int ms);

    /// The attached socket, or null (see GetSocket).
    CSocket* m_socket = nullptr;
    /// Held around every transfer on the socket. It does not make a transfer
    /// from another thread safe: the socket is one thread's at a time and the
    /// loop looks at its state between transfers without this lock, so
    /// transfers are the thread's own (checked in builds with thread
    /// checks). Another thread's bytes reach the connection as a message to
    /// the thread, the way SendPdu's do.
    CSema m_ioLock;

private:
    static void WakeFromPost(void* context);
    void checkSocketFailure();
    void handleReadable();
    template <typename Handler> void guarded(Handler&& handler);
    // Dispatches the messages posted so far, up to max, with the socket
    // corked; false when it met WM_QUIT.
    bool dispatchBatch(MSG* batch, std::size_t max);
    std::chrono::steady_clock::time_point idleDeadline() const;
    int write(const char* src, int n, int timeoutMs, WriteOutcome& outcome);

    std::unique_ptr<kavra::WakeUp> m_wake;
    std::atomic<std::uint64_t> m_handlerExceptions{0};
    std::chrono::steady_clock::time_point m_reconnectDue{};
    int m_reconnectAttempt = 0;
    std::atomic<bool> m_readPaused{false};
    std::atomic<std::int64_t> m_readResumedAt{0};
    unsigned int m_idleLimitMs = 0;
    std::shared_ptr<kavra::WriteTally> m_writeTally = std::make_shared<kavra::WriteTally>();
    // The end of the next wait (WaitNoLaterThan); max: none.
    std::chrono::steady_clock::time_point m_waitBy = std::chrono::steady_clock::time_point::max();
};
