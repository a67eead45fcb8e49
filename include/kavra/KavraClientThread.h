#pragma once

#include "kavra/ConnectionStats.h"
#include "kavra/DATABUFFER.h"
#include "kavra/Export.h"
#include "kavra/KavraHeader.h"
#include "kavra/ReceiveOverflow.h"
#include "kavra/SendEntry.h"
#include "kavra/base/CIPByteBuffer.h"
#include "kavra/base/CSema.h"
#include "kavra/base/CSocketClientThread.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

class KavraPDU;

namespace kavra {
struct ClientParts;
}

/**
 * One framed, queued client connection with a worker thread of its own.
 *
 * Application threads hand it PDU bodies with SendPdu and take received
 * bodies with GetMessageA (or ReceivePdu); the worker thread does all socket
 * input and output:
 *
 * @verbatim
 *   SendPdu --copy--> send queue --4025--> OnSendQueuePush --frame--> socket
 *   socket --frames--> OnSocketReceive --> receive queue --4026--> OnReceiveQueuePush
 *                                               |
 *                                               +--> GetMessageA / ReceivePdu
 * @endverbatim
 *
 * The default OnReceiveQueuePush discards the oldest received PDU, so an
 * application that consumes with GetMessageA uses kavra::PollableClient,
 * which keeps them and has a receive handle for event loops (or derives a
 * class of its own that replaces the handler).
 *
 * Life: construct, attach a socket (SetSocket), Create(), send and receive
 * from any threads, Destroy(), destroy. Destroy() keeps writing the entries
 * still queued for at most the linger (SetLinger), then releases the rest
 * unwritten and counts them, and closes the connection, so the peer sees
 * the end at once; it returns within the linger plus one write timeout and
 * a small margin, whatever the peer does. From the stop on SendPdu refuses
 * PDUs (it returns 1 and counts them in sendRefusedStopped) until the
 * thread is started again. A restart (Create() after the stop) connects
 * again at once, with the usual connection events and backoff; received
 * PDUs still queued stay for GetMessageA across the stop. The destructor
 * stops a thread that is still running the same way. A derived class that
 * replaces a handler calls Destroy() in its own destructor: by the time this
 * class's destructor runs, the derived part is gone, and the worker must not
 * call into it.
 *
 * A frame is never torn on a live connection: a write that times out after
 * part of a frame went out closes the connection, which is then
 * re-established as after any drop. GetStats accounts for every PDU (see
 * ConnectionStats).
 *
 * Delivery. When the worker comes to an entry while the connection is down
 * and a reconnection attempt is due within the write timeout or under way,
 * the entry waits for that attempt first in the send queue (the worker goes
 * on meanwhile, and the loop makes the attempt), so a brief drop costs only
 * the frames in flight. The rule: from the moment the worker comes to an
 * entry while the connection is down, it is written, or dropped and
 * counted, within the write timeout plus scheduling, whatever the connect
 * attempt does. The wait, the attempt and the write share the one write
 * timeout; an attempt due after it does not hold the entry, and one still
 * under way when it ends does not hold it longer (the connect is a step of
 * the worker's loop, never a wait of its own). Once one entry ran out of time
 * with the connection still down, the following ones are dropped without
 * waiting until the connection is back. Beyond that, by default an entry
 * written while the connection is down is dropped and a frame arriving
 * while MAX_RECEIVE_QUEUE PDUs wait is read and dropped (both counted);
 * SetHoldWhileDisconnected and
 * SetReceiveOverflow(kavra::ReceiveOverflow::Block) make delivery loss-free
 * instead, at the price of memory and of slowing the peer.
 *
 * Received bodies are never longer than MAX_PDU_LENGTH. A header announcing
 * up to 1 MiB more is read and discarded whole, so nothing inside it is
 * mistaken for a frame; a longer one is garbage, and the reader
 * resynchronises on the next sync mark. So GetMessageA never writes more
 * than MAX_PDU_LENGTH bytes to its destination; ReceivePdu never writes more
 * than the capacity it is given.
 */
class KAVRA_API KavraClientThread : public CSocketClientThread {
public:
    /// Largest body SendPdu accepts and the receive path delivers.
    static constexpr unsigned int MAX_PDU_LENGTH = KavraHeader::MAX_BODY_LENGTH;
    /// Most received PDUs queued at once; further frames are read and dropped
    /// (or wait in the socket: SetReceiveOverflow).
    static constexpr unsigned int MAX_RECEIVE_QUEUE = 100;
    /// Timeout of every socket read and write.
    static constexpr int SOCKET_IO_TIMEOUT_MS = 3000;
    /// @name Thread messages the object posts to its own worker.
    ///@{
    /// SendPdu posts it once per queued entry; the worker runs OnSendQueuePush.
    static constexpr unsigned int MSG_SEND_QUEUE_PUSH = 4025;
    /// ReceivePush posts it once per queued PDU; the worker runs
    /// OnReceiveQueuePush.
    static constexpr unsigned int MSG_RECEIVE_QUEUE_PUSH = 4026;
    ///@}

    /// Result of SendPdu when the send queue has reached its limit (see
    /// SetSendQueueLimit).
    static constexpr int SEND_QUEUE_FULL = 2;

    /// @name Results of ReceivePdu.
    ///@{
    static constexpr int RECEIVE_OK = 0;        ///< The body was copied.
    static constexpr int RECEIVE_NOTHING = 1;   ///< Nothing arrived in time.
    static constexpr int RECEIVE_TOO_SMALL = 2; ///< The body is longer than the capacity.
    ///@}

    /// Empty queues, no thread, no socket. Application thread.
    KavraClientThread();
    ///@{
    /// A copy would share the queued blocks, PDUs and semaphores with its
    /// source, and both objects would release them: copying is refused.
    KavraClientThread(const KavraClientThread&) = delete;
    KavraClientThread& operator=(const KavraClientThread&) = delete;
    ///@}
    /// Stops the thread if it still runs (as Destroy does, linger included),
    /// then releases every queued block and PDU exactly once. Application
    /// thread; no other thread may be inside SendPdu or GetMessageA.
    ~KavraClientThread() override;

    /// Asks the worker to stop after the messages already posted, and starts
    /// the linger: from now on, queued entries are written only until it runs
    /// out; later ones are released unwritten and counted
    /// (sendDroppedAtStop). Does not wait. Any thread.
    void Quit() override;
    /// Once the loop has ended: releases the entries still queued, counted
    /// as sendDroppedAtStop, then closes the connection. Worker thread.
    void AfterRun() override;
    /// How long a stop may keep writing entries still queued, in ms, for the
    /// whole stop (not per entry). Default SOCKET_IO_TIMEOUT_MS; 0 drops them
    /// at once. A healthy peer that reads gets everything sent before the stop
    /// within that time. Any thread; a change applies to the next stop.
    void SetLinger(unsigned int ms);
    /// The linger in ms (see SetLinger). Any thread.
    unsigned int GetLinger() const;

    /// Copies size bytes from pdu into the send queue and wakes the worker,
    /// which writes them as one frame. Returns 0 when queued; 1 when no socket
    /// is attached (nothing queued, arguments not examined) or when a stop
    /// was asked for and the thread has not been started again (nothing
    /// queued, counted in sendRefusedStopped; before the first start PDUs
    /// are queued); SEND_QUEUE_FULL when a send-queue limit is set and
    /// reached (see SetSendQueueLimit). Throws kavra::NullPduError (a
    /// std::invalid_argument) when pdu is null, kavra::PduSizeError (a
    /// std::out_of_range) when size exceeds MAX_PDU_LENGTH, each with a fixed
    /// GBK text as what(); nothing is then queued. A size of 0 is queued but
    /// never written. The caller may reuse its bytes as soon as the call
    /// returns. Any thread.
    int SendPdu(const void* pdu, unsigned int size);

    /// High-water mark of the send queue. By default (0) the queue is
    /// unbounded: a peer that stops reading while the application keeps
    /// sending makes it, and the process's memory, grow without limit. With a
    /// limit of n, SendPdu refuses a PDU while n entries wait: it returns
    /// SEND_QUEUE_FULL, copies, queues and posts nothing, and counts the
    /// refusal in ConnectionStats::sendQueueFull. The caller keeps its PDU and
    /// decides: retry later, drop it, or give up on the connection. The
    /// missing-socket result and the argument errors come first, as without a
    /// limit. A lower limit set while more entries wait refuses new PDUs until
    /// the worker has drained the queue below it. Any thread.
    void SetSendQueueLimit(std::size_t maxEntries);
    /// The send-queue limit; 0 when the queue is unbounded. Any thread.
    std::size_t GetSendQueueLimit() const;
    /// A limit on the bytes the send queue holds, beside the one on entries.
    /// By default (0) there is none. With n, SendPdu refuses a PDU (returns
    /// SEND_QUEUE_FULL, counted as at the entry limit) while the bodies
    /// queued and its own would exceed n bytes, unless the queue is empty: a
    /// single PDU larger than n is still taken, so the queue holds at most n
    /// bytes or one PDU. Any thread.
    void SetSendQueueByteLimit(std::size_t maxBytes);
    /// The byte limit; 0 for none. Any thread.
    std::size_t GetSendQueueByteLimit() const;
    /// Body bytes waiting in the send queue. A snapshot. Any thread.
    std::size_t GetSendQueueBytes() const;

    /// Like SendPdu, but where SendPdu would return SEND_QUEUE_FULL (the
    /// entry or the byte limit is reached) it waits up to timeoutMs
    /// (0xFFFFFFFF: no limit) for the worker to make room, and queues the
    /// PDU as soon as it fits. Returns 0 when queued; SEND_QUEUE_FULL when
    /// the timeout passed with no room (nothing queued, one refusal
    /// counted); 1 as SendPdu does, also when a stop is asked for during the
    /// wait. Throws as SendPdu does. Senders waiting together are not served
    /// in any particular order. Any thread but the worker.
    int SendPduWait(const void* pdu, unsigned int size, unsigned int timeoutMs);

    /// While the connection is down, keep queued entries, in order, and write
    /// them once it is back, instead of dropping them. A frame whose write
    /// failed or timed out is kept too and written again whole (on a new
    /// connection when the old one failed). The send-queue limit bounds what
    /// waits; without one a long outage grows memory by every PDU sent. Off
    /// by default. Any thread; applies to the entries the worker comes to
    /// next.
    void SetHoldWhileDisconnected(bool hold);
    /// Whether entries are kept while the connection is down. Any thread.
    bool GetHoldWhileDisconnected() const;
    /// Entries older than ms when they could be written are dropped and
    /// counted (sendDroppedStale), for PDUs that are worse late than never.
    /// 0 (default): no limit. Any thread.
    void SetMaxAge(unsigned int ms);
    /// The maximum age in ms; 0 for no limit. Any thread.
    unsigned int GetMaxAge() const;

    /// Drop (default) reads and drops a frame that arrives while
    /// MAX_RECEIVE_QUEUE PDUs wait; Block stops reading the socket until
    /// consumers have taken half of them, so TCP flow control slows the peer
    /// and nothing is dropped. The worker keeps writing meanwhile. Block is for consumers
    /// that take PDUs with GetMessageA or ReceivePdu: the default
    /// OnReceiveQueuePush discards every PDU at once, so the queue never
    /// fills. Any thread.
    void SetReceiveOverflow(kavra::ReceiveOverflow policy);
    /// The policy for a full receive queue. Any thread.
    kavra::ReceiveOverflow GetReceiveOverflow() const;

    /// Waits at most timeout ms (0: no wait, 0xFFFFFFFF: no limit) for a
    /// received PDU, copies its whole body to destination and returns 0;
    /// returns 1, with destination untouched, when nothing is delivered
    /// (null destination, timeout, empty queue). destination must hold
    /// MAX_PDU_LENGTH bytes; the body length is not reported (use ReceivePdu
    /// for that). A body longer than that (only a derived class's own
    /// ReceivePush can queue one) is never copied in part: the PDU is
    /// destroyed, counted in consumerDropsTooLong, and 1 is returned. Any
    /// thread.
    int GetMessageA(void* destination, unsigned int timeout);
    /// The thread's own message-loop call stays reachable beside it.
    using CSocketClientThread::GetMessageA;

    /// Like GetMessageA, and safe with any buffer: *size receives the body
    /// length. RECEIVE_OK: the body was copied. RECEIVE_NOTHING: nothing
    /// arrived in time. RECEIVE_TOO_SMALL: the body is longer than capacity;
    /// nothing was written, *size tells the capacity needed, and the PDU stays
    /// first in the queue for a retry with a larger buffer. size may be null.
    /// Any thread.
    int ReceivePdu(void* destination, unsigned int capacity, unsigned int* size,
                   unsigned int timeout);

    /// Counters, read without locks; each is exact, the set is not one atomic
    /// snapshot. Any thread.
    kavra::ConnectionStats GetStats() const;
    ///@{
    /// Entries waiting in the send queue and PDUs in the receive queue.
    /// Snapshots. Any thread.
    std::size_t GetSendQueueLength() const;
    std::size_t GetReceiveQueueLength();
    ///@}

protected:
    /// Routes MSG_SEND_QUEUE_PUSH to OnSendQueuePush and
    /// MSG_RECEIVE_QUEUE_PUSH to OnReceiveQueuePush (returning 1); any other
    /// message goes to the base. Worker thread only.
    long DispatchMessageA(const MSG* msg) override;
    /// Reads frames while the read budget lasts and queues one PDU per frame.
    /// Worker thread only.
    void OnSocketReceive(int readable) override;

    /// Takes the oldest send entry, writes it as one frame and releases it. A
    /// replacement takes entries with TakeSendEntry and may write them with
    /// WriteSendEntry, which keeps the send counters right; entries it handles
    /// otherwise are its own to account for. Worker thread only.
    virtual void OnSendQueuePush();

    /// Takes the oldest entry off the send queue; an empty entry when the
    /// queue is empty. The caller owns it. Worker thread only.
    kavra::SendEntry TakeSendEntry();
    /// Writes entry as one frame, or drops it (empty, connection down, too
    /// old, stop's linger over), and counts what became of it; returns true
    /// then. Returns false, counting nothing, when the entry is to wait for
    /// the connection (SetHoldWhileDisconnected, or a reconnection attempt
    /// due within its write budget): pass it to KeepSendEntry, and the
    /// worker meets it again after the attempt. The caller keeps the entry,
    /// which TakeSendEntry gave it (the frame is assembled in the entry's
    /// own block). Worker thread only.
    bool WriteSendEntry(const kavra::SendEntry& entry);
    /// Puts entry back first in the send queue, to be written again when the
    /// connection is back (or at once when it still is). Worker thread only.
    void KeepSendEntry(kavra::SendEntry entry);

    /// After a connect attempt, hands entries kept while the connection was
    /// down back to the worker: all of them after a success, those waiting
    /// only for an attempt within their write budget after a failure. An
    /// override calls this one.
    void OnSocketConnect(int error) override;
    /// Drops the entry that waits for the connection once its write budget
    /// ran out, whatever the attempt under way does. An override calls this
    /// one.
    void OnQuerySocket() override;
    /// Default: discards the oldest received PDU. Replace it to keep PDUs for
    /// GetMessageA. Worker thread only.
    virtual void OnReceiveQueuePush();

    /// Appends pdu to the receive queue, counts it for GetMessageA and posts
    /// MSG_RECEIVE_QUEUE_PUSH. Returns 1 when queued (the queue owns pdu), 0
    /// when not (the caller still owns it). Worker thread only.
    int ReceivePush(KavraPDU* pdu);

    /// Creates the receive handle (once) and returns it: on Linux a
    /// descriptor, on Windows an event HANDLE, as an integer. From then on
    /// it is readable (signalled) exactly while at least one received PDU
    /// waits in the receive queue; the object closes it when destroyed.
    /// Application thread, before Create(). Throws std::system_error when
    /// the system refuses the handle.
    std::intptr_t OpenReceiveHandle();

    /// The counter of PDUs not yet claimed by GetMessageA. Any thread.
    long GetReceiveCount() const { return m_receiveCount.GetCount(); }

private:
    // Timeout for the next socket read or write: SOCKET_IO_TIMEOUT_MS, or
    // during a stop what is left of the linger.
    int ioTimeoutMs() const;
    // SendPdu's refusals of a PDU of size bytes: 1 once a stop was asked
    // for (counted), SEND_QUEUE_FULL at a limit (counted when countFull),
    // else 0. underLock: the caller holds m_sendLock.
    int refuseSend(unsigned int size, bool underLock, bool countFull);
    // refuseSend once a stop was asked for or a limit is set.
    int refuseLimited(unsigned int size, bool underLock, bool countFull);
    // Takes the oldest send entry, and moves the ones behind it, up to a
    // batch in all, to the worker's own list, under one hold of the send
    // queue's lock; an empty entry when none waited. Worker thread only.
    kavra::SendEntry takeAhead();
    // Whether a PDU of size bytes finds a limit reached, without counting.
    bool limitReached(unsigned int size, bool underLock) const;
    // SendPdu once the arguments passed: queues a copy, or refuses.
    int queueCopy(const void* pdu, unsigned int size, bool countFull);
    // Releases every queued entry, counted as dropped at the stop.
    void releaseSendQueue();
    // WriteSendEntry's verdict on a non-empty entry.
    bool settleSendEntry(const kavra::SendEntry& entry);
    // With the connection down: true when entry is to wait for a
    // reconnection attempt due before its write budget ends.
    bool waitsForAttempt(const kavra::SendEntry& entry, int timeoutMs);
    // The write's timeout: what is left of the budget of an entry that
    // waited for the connection, else timeoutMs.
    int writeBudgetMs(const kavra::SendEntry& entry, int timeoutMs) const;
    // Frames and writes entry; counts what became of it.
    bool writeFrame(const kavra::SendEntry& entry, int timeoutMs, bool hold);
    // Counts a write that failed for good.
    void countFailedWrite(WriteOutcome outcome);

    // OnSocketReceive past the whole frames at the front of the read-ahead:
    // reads frames, resynchronising, until budget bytes were read and
    // nothing read ahead of a header is left.
    void readFrames(unsigned int budget);
    // When whole frames in step lie at the front of the socket's read-ahead:
    // takes them there, as the reads below would, with one copy of each
    // body, into its PDU, and queues them in order; false (nothing taken)
    // otherwise.
    bool takeWholeFrame(unsigned int& budget);
    // Whole frames taken under one hold of the I/O lock, to be queued after
    // it (client/KavraClientThread.cpp).
    struct WholeFrames;
    // Fills frames from the read-ahead, under the I/O lock, while budget
    // bytes are not spent, and spends the bytes it takes.
    void takeWholeFrames(WholeFrames& frames, unsigned int& budget);
    // ReceivePush for count PDUs at once (ReceivePush is the case of one),
    // in order: one hold of the receive lock, one give-back of count units,
    // then a post for each. Returns count, or 0 (the caller still owns them
    // all).
    std::size_t receivePushAll(KavraPDU* const* pdus, std::size_t count);
    // Reads a header into headerBuffer, starting with the bytes in ahead and
    // resynchronising until it starts with a sync mark; false when a read
    // came back short.
    bool readHeader(KavraHeader& header, CIPByteBuffer& headerBuffer, CIPByteBuffer& ahead,
                    unsigned int& budget);
    // For a header at the front of a longer run of 0xFF: replaces it with
    // the header aligned on the run's last ten 0xFF when that one is valid,
    // else counts the run's further bad headers and puts the bytes read to
    // decide into ahead. False when a read came back short.
    bool readRun(CIPByteBuffer& headerBuffer, CIPByteBuffer& ahead, unsigned int& budget);
    // What the header's length asks for: a bad header counted, an oversize
    // body discarded, or the body read and delivered; false when a read came
    // back short.
    bool takeBody(int bodyLength, CIPByteBuffer& bodyBuffer, unsigned int& budget);
    // Reads a body of length bytes into bodyBuffer; false when a read came
    // back short.
    bool readBody(CIPByteBuffer& bodyBuffer, int length);
    // Reads and drops a body too long to deliver, in pieces of bounded size;
    // false when a read came back short.
    bool discardBody(int length);
    // Queues the body just read as a PDU, or drops it when the receive queue
    // is full.
    void deliverBody(CIPByteBuffer& bodyBuffer, int length);
    void countReceived(int bodyLength, bool queued);
    // With ReceiveOverflow::Block and a full receive queue, pauses reading
    // and returns true. Worker thread only.
    bool pauseReadingWhenFull();
    // After a consumer took a PDU: lets a paused worker read again.
    void removedFromReceiveQueue();
    // What takeReceived found: whether the receive queue had a first entry,
    // the size of its body, and the PDU when it fitted and was taken off.
    struct Taken {
        bool found = false;
        unsigned int size = 0;
        std::unique_ptr<KavraPDU> pdu;
    };
    // Takes the oldest received PDU, under the receive lock, when its body
    // fits capacity; a consumer that took one lets a paused reader go on.
    Taken takeReceived(unsigned int capacity);

    // One entry of the send queue: the copied block and when SendPdu queued
    // it.
    struct QueuedSend {
        DATABUFFER block;
        std::chrono::steady_clock::time_point queuedAt;
    };
    std::deque<QueuedSend> m_sendQueue;
    std::deque<KavraPDU*> m_receiveQueue;
    CSema m_receiveCount;
    CSema m_receiveLock;
    // Mutable so that the const observers can take it.
    mutable CSema m_sendLock;

    // The tallies and policies beside the members above (client/ClientParts.h).
    std::unique_ptr<kavra::ClientParts> m_parts;
};
