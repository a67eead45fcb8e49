#include "kavra_msvc/KavraClientThread.h"

#include "kavra_msvc/CIPByteBuffer.h"
#include "kavra_msvc/KavraHeader.h"
#include "kavra_msvc/KavraPDU.h"

#include "Engine.h"
#include "MsgRecord.h"

#include "../runtime/Crt.h"
#include "../runtime/MsvcStd.h"

namespace {
const unsigned long kInfinite = 0xFFFFFFFFUL;

// What SendPdu's two argument errors say, in GBK: "found parameter pdu
// empty" and "found parameter size out of bounds".
const char kNullPduText[] = "KavraClientThread::SendPdu"
                            "\xB7\xA2\xCF\xD6\xB2\xCE\xCA\xFD" "pdu" "\xCE\xAA\xBF\xD5\xA1\xA3";
const char kSizeText[] = "KavraClientThread::SendPdu"
                         "\xB7\xA2\xCF\xD6\xB2\xCE\xCA\xFD" "size" "\xD4\xBD\xBD\xE7\xA1\xA3";
} // namespace

struct KavraClientThread::Entry {
    KavraPDU* pdu;
    Entry* next;
};

KavraClientThread::KavraClientThread()
    : m_receiveHead(nullptr), m_receiveTail(nullptr), m_receiveLength(0),
      m_receiveCount(0, MAX_RECEIVE_QUEUE, nullptr, nullptr),
      m_receiveLock(1, 1, nullptr, nullptr) {}

// The worker calls this object's handlers: it stops before anything here is
// released, and before the bases' destructors rewrite the vtable.
KavraClientThread::~KavraClientThread() {
    Destroy();
    while (m_receiveHead != nullptr) {
        delete takeOldest();
    }
}

int KavraClientThread::SendPdu(const void* pdu, unsigned int size) {
    if (m_engine == nullptr || m_started == 0) {
        return 1;
    }
    if (pdu == nullptr) {
        throw std::invalid_argument(kNullPduText);
    }
    if (size > MAX_PDU_LENGTH) {
        throw std::out_of_range(kSizeText);
    }
    const int result = kavra_client_send(m_engine, pdu, size);
    if (result == KAVRA_ERR_NO_MEMORY) {
        throw std::bad_alloc();
    }
    return result == KAVRA_OK ? 0 : 1;
}

int KavraClientThread::GetMessageA(void* destination, unsigned int timeout) {
    if (destination == nullptr || m_receiveCount.Lock(timeout) == 0) {
        return 1;
    }
    if (m_receiveLock.Enter(kInfinite) == 0) {
        return 1;
    }
    KavraPDU* pdu = takeOldest();
    m_receiveLock.Leave(1, nullptr);
    if (pdu == nullptr) {
        return 1;
    }
    if (pdu->getBufAddr() != nullptr) {
        memcpy(destination, pdu->getBufAddr(), pdu->getBufSize());
    }
    delete pdu;
    return 0;
}

long KavraClientThread::DispatchMessageA(const MSG* msg) {
    switch (msg->message) {
    case MSG_SEND_QUEUE_PUSH:
        OnSendQueuePush();
        return 1;
    case MSG_RECEIVE_QUEUE_PUSH:
        OnReceiveQueuePush();
        return 1;
    default:
        return CBaseSocketThread::DispatchMessageA(msg);
    }
}

void KavraClientThread::OnSendQueuePush() {}

// Reads the frames in the budget: the header with resynchronisation on the
// sync mark, then the body; a short read ends the call.
void KavraClientThread::OnSocketReceive(int readable) {
    KavraHeader header;
    CIPByteBuffer headerBuffer;
    CIPByteBuffer bodyBuffer;
    int budget = readable;
    while (budget > 0) {
        headerBuffer.empty();
        bodyBuffer.empty();
        header.getData(headerBuffer);
        const int length = static_cast<int>(headerBuffer.getLength());
        int missing = length;
        while (missing > 0) {
            char* at = reinterpret_cast<char*>(headerBuffer.getBuffer()) + (length - missing);
            if (RecvDataTimeout(at, missing, SOCKET_IO_TIMEOUT_MS) != missing) {
                return;
            }
            budget -= missing;
            missing = static_cast<int>(header.ValidateBuffer(headerBuffer));
        }
        header.setData(headerBuffer);
        const int bodyLength = header.getCommandLength();
        if (bodyLength > 0) {
            bodyBuffer.appendString(nullptr, bodyLength);
            if (RecvDataTimeout(reinterpret_cast<char*>(bodyBuffer.getBuffer()), bodyLength,
                                SOCKET_IO_TIMEOUT_MS) != bodyLength) {
                return;
            }
            budget -= bodyLength;
            if (m_receiveLength < MAX_RECEIVE_QUEUE) {
                KavraPDU* pdu = new KavraPDU;
                pdu->setBody(bodyBuffer);
                if (ReceivePush(pdu) == 0) {
                    delete pdu;
                }
            }
        }
    }
}

int KavraClientThread::ReceivePush(KavraPDU* pdu) {
    Entry* entry = new Entry{pdu, nullptr};
    if (m_receiveLock.Enter(kInfinite) == 0) {
        delete entry;
        return 0;
    }
    if (m_receiveTail != nullptr) {
        m_receiveTail->next = entry;
    } else {
        m_receiveHead = entry;
    }
    m_receiveTail = entry;
    ++m_receiveLength;
    m_receiveLock.Leave(1, nullptr);
    m_receiveCount.Unlock(1, nullptr);
    PostMessageA(MSG_RECEIVE_QUEUE_PUSH, 0, 0);
    return 1;
}

void KavraClientThread::OnReceiveQueuePush() {
    if (m_receiveLock.Enter(kInfinite) == 0) {
        return;
    }
    KavraPDU* pdu = takeOldest();
    m_receiveLock.Leave(1, nullptr);
    delete pdu;
}

// Under m_receiveLock, or once no other thread uses the object.
KavraPDU* KavraClientThread::takeOldest() {
    Entry* entry = m_receiveHead;
    if (entry == nullptr) {
        return nullptr;
    }
    m_receiveHead = entry->next;
    if (m_receiveHead == nullptr) {
        m_receiveTail = nullptr;
    }
    --m_receiveLength;
    KavraPDU* pdu = entry->pdu;
    delete entry;
    return pdu;
}
