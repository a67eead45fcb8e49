// One framed, queued client connection with a worker thread of its own.
//
// Application threads hand it PDU bodies with SendPdu and take received
// bodies with GetMessageA (or ReceivePdu); the worker thread does all socket
// input and output:
//
//   SendPdu --copy--> send queue --4025--> OnSendQueuePush --frame--> socket
//   socket --frames--> OnSocketReceive --> receive queue --4026--> OnReceiveQueuePush
//                                               |
//                                               +--> GetMessageA / ReceivePdu
//
// The default OnReceiveQueuePush discards the oldest received PDU, so an
// application that consumes with GetMessageA derives a class that replaces it
// (for example with an empty handler).
//
// Life: construct, attach a socket (SetSocket), Create(), send and receive
// from any threads, Destroy(), destroy. The destructor stops a thread that is
// still running before it releases whatever is still queued.
//
// Received bodies are never longer than MAX_PDU_LENGTH: a header announcing
// more is treated as garbage and the reader resynchronises on the next sync
// mark. So GetMessageA never writes more than MAX_PDU_LENGTH bytes to its
// destination; ReceivePdu never writes more than the capacity it is given.
#pragma once

#include "kavra/ConnectionStats.h"
#include "kavra/DATABUFFER.h"
#include "kavra/Export.h"
#include "kavra/base/CIPByteBuffer.h"
#include "kavra/base/CSema.h"
#include "kavra/base/CSocketClientThread.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>

class KavraPDU;

class KAVRA_API KavraClientThread : public CSocketClientThread {
public:
    // Largest body SendPdu accepts and the receive path delivers.
    static constexpr unsigned int MAX_PDU_LENGTH = 8812;
    // Most received PDUs queued at once; further frames are read and dropped.
    static constexpr unsigned int MAX_RECEIVE_QUEUE = 100;
    // Timeout of every socket read and write.
    static constexpr int SOCKET_IO_TIMEOUT_MS = 3000;
    // Thread messages the object posts to its own worker.
    static constexpr unsigned int MSG_SEND_QUEUE_PUSH = 4025;
    static constexpr unsigned int MSG_RECEIVE_QUEUE_PUSH = 4026;

    // Result of SendPdu when the send queue has reached its limit (see
    // SetSendQueueLimit).
    static constexpr int SEND_QUEUE_FULL = 2;

    // Results of ReceivePdu.
    static constexpr int RECEIVE_OK = 0;
    static constexpr int RECEIVE_NOTHING = 1;
    static constexpr int RECEIVE_TOO_SMALL = 2;

    // Empty queues, no thread, no socket. Application thread.
    KavraClientThread();
    // A copy would share the queued blocks, PDUs and semaphores with its
    // source, and both objects would release them: copying is refused.
    KavraClientThread(const KavraClientThread&) = delete;
    KavraClientThread& operator=(const KavraClientThread&) = delete;
    // Stops the thread if it still runs, then releases every queued block and
    // PDU exactly once. Application thread; no other thread may be inside
    // SendPdu or GetMessageA.
    ~KavraClientThread() override;

    // Copies size bytes from pdu into the send queue and wakes the worker,
    // which writes them as one frame. Returns 0 when queued, 1 when no socket
    // is attached (nothing queued, arguments not examined), SEND_QUEUE_FULL
    // when a send-queue limit is set and reached (see SetSendQueueLimit).
    // Throws an exception derived from std::exception, whose what() is a
    // fixed GBK text, when pdu is null or size exceeds MAX_PDU_LENGTH;
    // nothing is then queued. A size of 0 is queued but never written. The caller may reuse
    // its bytes as soon as the call returns. Any thread.
    int SendPdu(const void* pdu, unsigned int size);

    // High-water mark of the send queue. By default (0) the queue is
    // unbounded: a peer that stops reading while the application keeps
    // sending makes it, and the process's memory, grow without limit. With a
    // limit of n, SendPdu refuses a PDU while n entries wait: it returns
    // SEND_QUEUE_FULL, copies, queues and posts nothing, and counts the
    // refusal in ConnectionStats::sendQueueFull. The caller keeps its PDU and
    // decides: retry later, drop it, or give up on the connection. The
    // missing-socket result and the argument errors come first, as without a
    // limit. A lower limit set while more entries wait refuses new PDUs until
    // the worker has drained the queue below it. Any thread.
    void SetSendQueueLimit(std::size_t maxEntries);
    std::size_t GetSendQueueLimit() const;

    // Waits at most timeout ms (0: no wait, 0xFFFFFFFF: no limit) for a
    // received PDU, copies its whole body to destination and returns 0;
    // returns 1, with destination untouched, when nothing is delivered
    // (null destination, timeout, empty queue). destination must hold
    // MAX_PDU_LENGTH bytes; the body length is not reported (use ReceivePdu
    // for that). Any thread.
    int GetMessageA(void* destination, unsigned int timeout);
    // The thread's own message-loop call stays reachable beside it.
    using CSocketClientThread::GetMessageA;

    // Like GetMessageA, and safe with any buffer: *size receives the body
    // length. RECEIVE_OK: the body was copied. RECEIVE_NOTHING: nothing
    // arrived in time. RECEIVE_TOO_SMALL: the body is longer than capacity;
    // nothing was written, *size tells the capacity needed, and the PDU stays
    // first in the queue for a retry with a larger buffer. size may be null.
    // Any thread.
    int ReceivePdu(void* destination, unsigned int capacity, unsigned int* size,
                   unsigned int timeout);

    // Counters, read without locks; each is exact, the set is not one atomic
    // snapshot. Any thread.
    kavra::ConnectionStats GetStats() const;
    // Entries waiting in the send queue and PDUs in the receive queue.
    // Snapshots. Any thread.
    std::size_t GetSendQueueLength();
    std::size_t GetReceiveQueueLength();

protected:
    // Routes MSG_SEND_QUEUE_PUSH to OnSendQueuePush and
    // MSG_RECEIVE_QUEUE_PUSH to OnReceiveQueuePush (returning 1); any other
    // message goes to the base. Worker thread only.
    long DispatchMessageA(const MSG* msg) override;
    // Reads frames while the read budget lasts and queues one PDU per frame.
    // Worker thread only.
    void OnSocketReceive(int readable) override;

    // Takes the oldest send entry, writes it as one frame and releases it. A
    // replacement takes over the entries and the duty to release their blocks
    // (delete[] on the unsigned char block). Worker thread only.
    virtual void OnSendQueuePush();
    // Default: discards the oldest received PDU. Replace it to keep PDUs for
    // GetMessageA. Worker thread only.
    virtual void OnReceiveQueuePush();

    // Appends pdu to the receive queue, counts it for GetMessageA and posts
    // MSG_RECEIVE_QUEUE_PUSH. Returns 1 when queued (the queue owns pdu), 0
    // when not (the caller still owns it). Worker thread only.
    int ReceivePush(KavraPDU* pdu);

    // The counter of PDUs not yet claimed by GetMessageA. Any thread.
    long GetReceiveCount() const { return m_receiveCount.GetCount(); }

private:
    std::deque<DATABUFFER> m_sendQueue;
    // The worker's frame buffer for OnSendQueuePush.
    CIPByteBuffer m_sendFrame;
    std::deque<KavraPDU*> m_receiveQueue;
    // m_receiveQueue.size(), written under m_receiveLock, read without it.
    std::atomic<std::size_t> m_receiveQueueLength{0};
    CSema m_receiveCount;
    CSema m_receiveLock;
    CSema m_sendLock;

    std::atomic<std::uint64_t> m_framesSent{0};
    std::atomic<std::uint64_t> m_bytesSent{0};
    std::atomic<std::uint64_t> m_sendFailures{0};
    std::atomic<std::uint64_t> m_framesReceived{0};
    std::atomic<std::uint64_t> m_bytesReceived{0};
    std::atomic<std::uint64_t> m_receiveDropsQueueFull{0};
    std::atomic<std::uint64_t> m_badHeaders{0};
    std::atomic<std::uint64_t> m_resyncBytesDiscarded{0};
    std::atomic<std::uint64_t> m_sendQueueFull{0};
    std::atomic<std::size_t> m_sendQueueLimit{0};
};
