#include "kavra/KavraClientThread.h"

#include "kavra/KavraHeader.h"
#include "kavra/KavraPDU.h"
#include "kavra/base/CIPByteBuffer.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

// The two argument errors of SendPdu. The texts are GBK bytes, kept as
// escapes so that no editor or compiler setting can re-encode them.
const char kNullPduMessage[] = "KavraClientThread::SendPdu"
                               "\xB7\xA2\xCF\xD6\xB2\xCE\xCA\xFD"
                               "pdu"
                               "\xCE\xAA\xBF\xD5\xA1\xA3";
const char kSizeMessage[] = "KavraClientThread::SendPdu"
                            "\xB7\xA2\xCF\xD6\xB2\xCE\xCA\xFD"
                            "size"
                            "\xD4\xBD\xBD\xE7\xA1\xA3";

// Owns a send block taken off the queue until the handler is done with it,
// also when framing or writing throws.
struct BlockDeleter {
    void operator()(void* block) const { delete[] static_cast<unsigned char*>(block); }
};
using SendBlock = std::unique_ptr<void, BlockDeleter>;

} // namespace

KavraClientThread::KavraClientThread()
    : m_receiveCount(0, static_cast<long>(MAX_RECEIVE_QUEUE), nullptr, nullptr),
      m_receiveLock(1, 1, nullptr, nullptr), m_sendLock(1, 1, nullptr, nullptr) {}

KavraClientThread::~KavraClientThread() {
    // The worker calls into this object's handlers; it must be gone before the
    // queues are torn down.
    Destroy();
    while (!m_sendQueue.empty()) {
        delete[] static_cast<unsigned char*>(m_sendQueue.front().data);
        m_sendQueue.pop_front();
    }
    while (!m_receiveQueue.empty()) {
        delete m_receiveQueue.front();
        m_receiveQueue.pop_front();
    }
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
        return CSocketClientThread::DispatchMessageA(msg);
    }
}

// ---- send path -------------------------------------------------------------

int KavraClientThread::SendPdu(const void* pdu, unsigned int size) {
    if (m_socket == nullptr) {
        return 1;
    }
    if (pdu == nullptr) {
        throw std::invalid_argument(std::string(kNullPduMessage, sizeof kNullPduMessage - 1));
    }
    if (size > MAX_PDU_LENGTH) {
        throw std::out_of_range(std::string(kSizeMessage, sizeof kSizeMessage - 1));
    }

    // A refusal must not cost the copy, so the limit is looked at first; it
    // is checked again under the lock, where it counts.
    const std::size_t limit = m_sendQueueLimit.load(std::memory_order_relaxed);
    if (limit != 0 && GetSendQueueLength() >= limit) {
        m_sendQueueFull.fetch_add(1, std::memory_order_relaxed);
        return SEND_QUEUE_FULL;
    }

    // Copy before locking so the lock covers only the append.
    SendBlock block(new unsigned char[size]);
    std::memcpy(block.get(), pdu, size);

    m_sendLock.Lock(CSema::INFINITE_TIMEOUT);
    if (limit != 0 && m_sendQueue.size() >= limit) {
        m_sendLock.Unlock(1, nullptr);
        m_sendQueueFull.fetch_add(1, std::memory_order_relaxed);
        return SEND_QUEUE_FULL;
    }
    try {
        m_sendQueue.push_back(DATABUFFER{block.get(), size});
    } catch (...) {
        m_sendLock.Unlock(1, nullptr);
        throw;
    }
    block.release();
    m_sendLock.Unlock(1, nullptr);

    PostMessageA(MSG_SEND_QUEUE_PUSH, 0, 0);
    return 0;
}

void KavraClientThread::OnSendQueuePush() {
    DATABUFFER entry;
    m_sendLock.Lock(CSema::INFINITE_TIMEOUT);
    if (!m_sendQueue.empty()) {
        entry = m_sendQueue.front();
        m_sendQueue.pop_front();
    }
    m_sendLock.Unlock(1, nullptr);

    SendBlock owned(entry.data);
    const auto signedSize = static_cast<std::int32_t>(entry.size);
    if (signedSize < 1 || entry.size > MAX_PDU_LENGTH || entry.data == nullptr) {
        return;
    }

    KavraPDU pdu;
    // The frame buffer lives as long as the thread, so that after the first
    // frames it has the room for every later one and framing allocates
    // nothing for it.
    CIPByteBuffer& frame = m_sendFrame;
    frame.empty();
    pdu.setBuffer(entry);
    pdu.getData(frame);
    const int length = static_cast<int>(frame.getLength());
    const int written =
        SendDataTimeout(reinterpret_cast<char*>(frame.getBuffer()), length, SOCKET_IO_TIMEOUT_MS);
    if (written == length) {
        m_framesSent.fetch_add(1, std::memory_order_relaxed);
        m_bytesSent.fetch_add(entry.size, std::memory_order_relaxed);
    } else {
        m_sendFailures.fetch_add(1, std::memory_order_relaxed);
    }
}

// ---- receive path ----------------------------------------------------------

void KavraClientThread::OnSocketReceive(int readable) {
    KavraHeader header;
    CIPByteBuffer headerBuffer;
    CIPByteBuffer bodyBuffer;

    int budget = readable;
    if (budget <= 0) {
        return;
    }
    do {
        headerBuffer.empty();
        bodyBuffer.empty();
        header.getData(headerBuffer);
        const int headerLength = static_cast<int>(headerBuffer.getLength());

        // Read the header, then keep refilling the tail that the scan freed
        // until the buffer starts with a sync mark.
        int missing = headerLength;
        while (missing > 0) {
            char* tail =
                reinterpret_cast<char*>(headerBuffer.getBuffer()) + (headerLength - missing);
            if (RecvDataTimeout(tail, missing, SOCKET_IO_TIMEOUT_MS) != missing) {
                return;
            }
            budget -= missing;
            missing = static_cast<int>(header.ValidateBuffer(headerBuffer));
            m_resyncBytesDiscarded.fetch_add(static_cast<std::uint64_t>(missing),
                                             std::memory_order_relaxed);
        }

        header.setData(headerBuffer);
        const int bodyLength = header.getCommandLength();
        // A length the sender could never have written is garbage that happened
        // to follow a sync mark: reading or allocating for it would let a
        // hostile peer exhaust memory or overrun the consumer's buffer.
        if (bodyLength <= 0 || static_cast<unsigned int>(bodyLength) > MAX_PDU_LENGTH) {
            m_badHeaders.fetch_add(1, std::memory_order_relaxed);
            continue;
        }

        bodyBuffer.appendString(nullptr, bodyLength);
        if (RecvDataTimeout(reinterpret_cast<char*>(bodyBuffer.getBuffer()), bodyLength,
                            SOCKET_IO_TIMEOUT_MS) != bodyLength) {
            return;
        }
        budget -= bodyLength;

        if (GetReceiveQueueLength() >= MAX_RECEIVE_QUEUE) {
            m_receiveDropsQueueFull.fetch_add(1, std::memory_order_relaxed);
            // The queue is full because its consumer is not running; where
            // busy threads outnumber cores, it may be waiting for this one.
            // Offering the core costs nothing when nobody else wants it, and
            // the stream is still drained frame by frame.
            std::this_thread::yield();
            continue;
        }
        auto pdu = std::make_unique<KavraPDU>();
        pdu->setBody(bodyBuffer);
        if (ReceivePush(pdu.get()) == 1) {
            pdu.release();
            m_framesReceived.fetch_add(1, std::memory_order_relaxed);
            m_bytesReceived.fetch_add(static_cast<std::uint64_t>(bodyLength),
                                      std::memory_order_relaxed);
        }
    } while (budget > 0);
}

int KavraClientThread::ReceivePush(KavraPDU* pdu) {
    if (m_receiveLock.Enter(CSema::INFINITE_TIMEOUT) == 0) {
        return 0;
    }
    try {
        m_receiveQueue.push_back(pdu);
        m_receiveQueueLength.store(m_receiveQueue.size(), std::memory_order_relaxed);
    } catch (...) {
        m_receiveLock.Leave(1, nullptr);
        throw;
    }
    m_receiveLock.Leave(1, nullptr);
    // Counted only after the PDU is in the queue, so a consumer whose wait
    // succeeds finds it there.
    m_receiveCount.Unlock(1, nullptr);
    PostMessageA(MSG_RECEIVE_QUEUE_PUSH, 0, 0);
    return 1;
}

void KavraClientThread::OnReceiveQueuePush() {
    if (m_receiveLock.Enter(CSema::INFINITE_TIMEOUT) == 0) {
        return;
    }
    if (m_receiveQueue.empty()) {
        m_receiveLock.Leave(1, nullptr);
        return;
    }
    KavraPDU* pdu = m_receiveQueue.front();
    m_receiveQueue.pop_front();
    m_receiveQueueLength.store(m_receiveQueue.size(), std::memory_order_relaxed);
    m_receiveLock.Leave(1, nullptr);
    delete pdu;
}

int KavraClientThread::GetMessageA(void* destination, unsigned int timeout) {
    if (destination == nullptr) {
        return 1;
    }
    if (m_receiveCount.Lock(timeout) == 0) {
        return 1;
    }
    if (m_receiveLock.Enter(CSema::INFINITE_TIMEOUT) == 0) {
        return 1;
    }
    if (m_receiveQueue.empty()) {
        m_receiveLock.Leave(1, nullptr);
        return 1;
    }
    std::unique_ptr<KavraPDU> pdu(m_receiveQueue.front());
    m_receiveQueue.pop_front();
    m_receiveQueueLength.store(m_receiveQueue.size(), std::memory_order_relaxed);
    m_receiveLock.Leave(1, nullptr);

    if (!pdu) {
        return 1;
    }
    if (pdu->getBufAddr() != nullptr) {
        // Bodies queued by the receive path never exceed MAX_PDU_LENGTH; the
        // bound also holds for PDUs that a subclass pushes itself.
        const unsigned int size = std::min(pdu->getBufSize(), MAX_PDU_LENGTH);
        std::memcpy(destination, pdu->getBufAddr(), size);
    }
    return 0;
}

int KavraClientThread::ReceivePdu(void* destination, unsigned int capacity, unsigned int* size,
                                  unsigned int timeout) {
    if (destination == nullptr && capacity > 0) {
        return RECEIVE_NOTHING;
    }
    if (m_receiveCount.Lock(timeout) == 0) {
        return RECEIVE_NOTHING;
    }
    if (m_receiveLock.Enter(CSema::INFINITE_TIMEOUT) == 0) {
        return RECEIVE_NOTHING;
    }
    if (m_receiveQueue.empty()) {
        m_receiveLock.Leave(1, nullptr);
        return RECEIVE_NOTHING;
    }
    KavraPDU* front = m_receiveQueue.front();
    const unsigned int needed = front != nullptr ? front->getBufSize() : 0;
    if (size != nullptr) {
        *size = needed;
    }
    if (needed > capacity) {
        // Leave the PDU first in line and give its unit back, so the retry
        // with a larger buffer finds both.
        m_receiveLock.Leave(1, nullptr);
        m_receiveCount.Unlock(1, nullptr);
        return RECEIVE_TOO_SMALL;
    }
    m_receiveQueue.pop_front();
    m_receiveQueueLength.store(m_receiveQueue.size(), std::memory_order_relaxed);
    m_receiveLock.Leave(1, nullptr);

    std::unique_ptr<KavraPDU> pdu(front);
    if (pdu && pdu->getBufAddr() != nullptr && needed > 0) {
        std::memcpy(destination, pdu->getBufAddr(), needed);
    }
    return RECEIVE_OK;
}

// ---- observation -----------------------------------------------------------

kavra::ConnectionStats KavraClientThread::GetStats() const {
    kavra::ConnectionStats stats;
    stats.framesSent = m_framesSent.load(std::memory_order_relaxed);
    stats.bytesSent = m_bytesSent.load(std::memory_order_relaxed);
    stats.sendFailures = m_sendFailures.load(std::memory_order_relaxed);
    stats.framesReceived = m_framesReceived.load(std::memory_order_relaxed);
    stats.bytesReceived = m_bytesReceived.load(std::memory_order_relaxed);
    stats.receiveDropsQueueFull = m_receiveDropsQueueFull.load(std::memory_order_relaxed);
    stats.badHeaders = m_badHeaders.load(std::memory_order_relaxed);
    stats.resyncBytesDiscarded = m_resyncBytesDiscarded.load(std::memory_order_relaxed);
    stats.sendQueueFull = m_sendQueueFull.load(std::memory_order_relaxed);
    stats.reconnections = GetReconnectCount();
    return stats;
}

void KavraClientThread::SetSendQueueLimit(std::size_t maxEntries) {
    m_sendQueueLimit.store(maxEntries, std::memory_order_relaxed);
}

std::size_t KavraClientThread::GetSendQueueLimit() const {
    return m_sendQueueLimit.load(std::memory_order_relaxed);
}

std::size_t KavraClientThread::GetSendQueueLength() {
    m_sendLock.Lock(CSema::INFINITE_TIMEOUT);
    const std::size_t length = m_sendQueue.size();
    m_sendLock.Unlock(1, nullptr);
    return length;
}

std::size_t KavraClientThread::GetReceiveQueueLength() {
    // Kept beside the queue under its lock and read without it: the receive
    // path asks once per frame, and taking the consumer's lock for that
    // would make the two threads fight over it. Only the worker appends, so
    // the value it reads can only be too high, never too low.
    return m_receiveQueueLength.load(std::memory_order_relaxed);
}
