// One framed, queued client connection for Visual C++ programs.
//
// Set-up: construct, SetSocket(nullptr, 0, &server), Create(); SendPdu and
// GetMessageA from any application threads; Destroy(), then destroy the
// object. Sending goes straight to the engine's send queue in kavra.dll.
// Each received frame comes through OnSocketReceive on the worker thread,
// becomes a KavraPDU in the receive queue (at most 100; frames beyond are
// dropped) and is announced to OnReceiveQueuePush, whose default discards
// the oldest PDU: a program that takes PDUs with GetMessageA replaces it
// with a handler that leaves the queue alone.
#pragma once

#include "kavra_msvc/CSema.h"
#include "kavra_msvc/CSocketClientThread.h"
#include "kavra_msvc/Export.h"

class KavraPDU;

class KAVRA_MSVC_API KavraClientThread : public CSocketClientThread {
public:
    static const unsigned int MAX_PDU_LENGTH = 8812;
    static const unsigned int MAX_RECEIVE_QUEUE = 100;
    static const int SOCKET_IO_TIMEOUT_MS = 3000;
    static const unsigned int MSG_SEND_QUEUE_PUSH = 4025;
    static const unsigned int MSG_RECEIVE_QUEUE_PUSH = 4026;

    KavraClientThread();
    KavraClientThread(const KavraClientThread&) = delete;
    KavraClientThread& operator=(const KavraClientThread&) = delete;
    /// Stops the worker, then destroys every PDU still queued.
    ~KavraClientThread() override;

    /// Copies size bytes into the engine's send queue; the worker writes
    /// them as one frame. 0: queued; 1: not started (nothing examined) or
    /// not accepted. Throws std::invalid_argument for a null pdu and
    /// std::out_of_range for a size above 8812, nothing queued. Any thread.
    int SendPdu(const void* pdu, unsigned int size);
    /// Waits at most timeout ms (0xFFFFFFFF: no limit) for a PDU and copies
    /// its whole body to destination (8812 bytes always suffice); 0 when
    /// copied, 1 when nothing was. Any thread.
    int GetMessageA(void* destination, unsigned int timeout);
    using CQWinThread::GetMessageA;

protected:
    long DispatchMessageA(const MSG* msg) override;
    /// Not called: the engine writes the queued PDUs itself.
    virtual void OnSendQueuePush();
    void OnSocketReceive(int readable) override;
    /// Worker thread: queues pdu and posts MSG_RECEIVE_QUEUE_PUSH; 1 when
    /// queued (the queue owns it), 0 when not (the caller still does).
    int ReceivePush(KavraPDU* pdu);
    /// Worker thread, once per queued PDU: destroys the oldest one.
    virtual void OnReceiveQueuePush();

private:
    struct Entry;
    KavraPDU* takeOldest();

    Entry* m_receiveHead;
    Entry* m_receiveTail;
    unsigned int m_receiveLength;
    CSema m_receiveCount;
    CSema m_receiveLock;
};
