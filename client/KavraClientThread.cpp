#include "kavra/KavraClientThread.h"

#include "base/PooledBytes.h"
#include "base/ThreadCheck.h"
#include "client/ConnectionWait.h"

#include "kavra/KavraHeader.h"
#include "kavra/KavraPDU.h"
#include "kavra/NullPduError.h"
#include "kavra/PduSizeError.h"
#include "kavra/base/CIPByteBuffer.h"
#include "kavra/base/CSocket.h"
#include "kavra/base/SemaLock.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <thread>

namespace {

// Owns a copied block until the send queue takes it.
using SendBlock = std::unique_ptr<unsigned char[], kavra::SendEntry::Release>;
using Clock = std::chrono::steady_clock;


} // namespace

KavraClientThread::KavraClientThread()
    : m_connectionWait(std::make_unique<kavra::ConnectionWait>()),
      m_receiveCount(0, static_cast<long>(MAX_RECEIVE_QUEUE), nullptr, nullptr),
      m_receiveLock(1, 1, nullptr, nullptr), m_sendLock(1, 1, nullptr, nullptr) {}

KavraClientThread::~KavraClientThread() {
    // The worker calls into this object's handlers; it must be gone before the
    // queues are torn down.
    Destroy();
    releaseSendQueue();
    while (!m_receiveQueue.empty()) {
        delete m_receiveQueue.front();
        m_receiveQueue.pop_front();
    }
}

long KavraClientThread::DispatchMessageA(const MSG* msg) {
    kavra::AssertInThread(*this, __func__);
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
        throw kavra::NullPduError();
    }
    if (size > MAX_PDU_LENGTH) {
        throw kavra::PduSizeError();
    }

    // A refusal must not cost the copy, so the stop and the limit are looked
    // at first; both are checked again under the lock, where they count.
    if (IsQuitRequested()) {
        m_sendRefusedStopped.fetch_add(1, std::memory_order_relaxed);
        return 1;
    }
    const std::size_t limit = m_sendQueueLimit.load(std::memory_order_relaxed);
    if (limit != 0 && GetSendQueueLength() >= limit) {
        m_sendQueueFull.fetch_add(1, std::memory_order_relaxed);
        return SEND_QUEUE_FULL;
    }

    // Copy before locking so the lock covers only the append.
    SendBlock block(kavra::PooledBytes::NewSized(kavra::BlockKind::SendCopy, size));
    std::memcpy(block.get(), pdu, size);

    const Clock::time_point now = Clock::now();
    {
        const kavra::SemaLock lock(m_sendLock);
        // The worker releases what is queued once it has stopped, under this
        // lock; an entry appended after that would never be written.
        if (IsQuitRequested()) {
            m_sendRefusedStopped.fetch_add(1, std::memory_order_relaxed);
            return 1;
        }
        if (limit != 0 && m_sendQueue.size() >= limit) {
            m_sendQueueFull.fetch_add(1, std::memory_order_relaxed);
            return SEND_QUEUE_FULL;
        }
        m_sendQueuedAt.push_back(now);
        try {
            m_sendQueue.push_back(DATABUFFER{block.get(), size});
        } catch (...) {
            m_sendQueuedAt.pop_back();
            throw;
        }
        block.release();
        m_pdusAccepted.fetch_add(1, std::memory_order_relaxed);
    }

    PostMessageA(MSG_SEND_QUEUE_PUSH, 0, 0);
    return 0;
}

void KavraClientThread::OnSendQueuePush() {
    kavra::AssertInThread(*this, __func__);
    kavra::SendEntry entry = TakeSendEntry();
    if (entry && !WriteSendEntry(entry)) {
        KeepSendEntry(std::move(entry));
    }
}

kavra::SendEntry KavraClientThread::TakeSendEntry() {
    kavra::AssertInThread(*this, __func__);
    kavra::SendEntry entry;
    const kavra::SemaLock lock(m_sendLock);
    if (!m_sendQueue.empty()) {
        const DATABUFFER front = m_sendQueue.front();
        m_sendQueue.pop_front();
        entry.bytes.reset(static_cast<unsigned char*>(front.data));
        entry.size = front.size;
        entry.queuedAt = m_sendQueuedAt.front();
        m_sendQueuedAt.pop_front();
    }
    return entry;
}

void KavraClientThread::KeepSendEntry(kavra::SendEntry entry) {
    kavra::AssertInThread(*this, __func__);
    if (!entry) {
        return;
    }
    {
        const kavra::SemaLock lock(m_sendLock);
        m_sendQueuedAt.push_front(entry.queuedAt);
        try {
            m_sendQueue.push_front(DATABUFFER{entry.bytes.get(), entry.size});
        } catch (...) {
            m_sendQueuedAt.pop_front();
            throw;
        }
        static_cast<void>(entry.bytes.release());
    }
    // On a live connection (a write that timed out whole) it is tried again
    // after whatever else the loop has to do; otherwise when the connection
    // is back.
    if (m_socket != nullptr && m_socket->IsConnected()) {
        PostMessageA(MSG_SEND_QUEUE_PUSH, 0, 0);
    } else {
        m_connectionWait->CountNotification();
    }
}

void KavraClientThread::OnSocketConnect(int error) {
    CSocketClientThread::OnSocketConnect(error);
    // After a success every waiting entry can go. After a failure the ones
    // that wait only for an attempt within their budget look again whether
    // the next one comes in time; held entries wait on.
    if (error != 0 && GetHoldWhileDisconnected()) {
        return;
    }
    for (std::size_t n = m_connectionWait->TakeNotifications(error == 0); n > 0; --n) {
        PostMessageA(MSG_SEND_QUEUE_PUSH, 0, 0);
    }
}

void KavraClientThread::AfterRun() {
    // Nothing queued now can be written any more; SendPdu refuses from the
    // stop on, so the queue stays empty until the thread is started again.
    releaseSendQueue();
    m_connectionWait->Clear();
    CSocketClientThread::AfterRun();
}

void KavraClientThread::releaseSendQueue() {
    const kavra::SemaLock lock(m_sendLock);
    while (!m_sendQueue.empty()) {
        kavra::SendEntry::Release()(static_cast<unsigned char*>(m_sendQueue.front().data));
        m_sendQueue.pop_front();
        m_sendDroppedAtStop.fetch_add(1, std::memory_order_relaxed);
    }
    m_sendQueuedAt.clear();
}

bool KavraClientThread::WriteSendEntry(const kavra::SendEntry& entry) {
    kavra::AssertInThread(*this, __func__);
    if (!entry) {
        return true;
    }
    const bool settled = settleSendEntry(entry);
    if (settled) {
        m_connectionWait->Done(false);
    }
    return settled;
}

bool KavraClientThread::settleSendEntry(const kavra::SendEntry& entry) {
    const auto signedSize = static_cast<std::int32_t>(entry.size);
    if (signedSize < 1 || entry.size > MAX_PDU_LENGTH) {
        m_sendDroppedEmpty.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    const int timeoutMs = ioTimeoutMs();
    const bool connected = m_socket != nullptr && m_socket->IsConnected();
    // A stopping thread does not reconnect: once the linger is over or the
    // connection is gone, what is left is released by the stop.
    if (IsQuitRequested() && (timeoutMs == 0 || !connected)) {
        m_sendDroppedAtStop.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    const unsigned int maxAgeMs = GetMaxAge();
    if (maxAgeMs != 0 && Clock::now() - entry.queuedAt > std::chrono::milliseconds(maxAgeMs)) {
        m_sendDroppedStale.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    const bool hold = GetHoldWhileDisconnected();
    if (!connected) {
        if (hold || waitsForAttempt(entry, timeoutMs)) {
            return false;
        }
        m_sendDroppedDisconnected.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    const int writeMs = hold ? timeoutMs : writeBudgetMs(entry, timeoutMs);
    if (writeMs == 0) {
        // Its wait and the attempt used up the write's time.
        m_sendDroppedTimedOut.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    return writeFrame(entry, writeMs, hold);
}

bool KavraClientThread::waitsForAttempt(const kavra::SendEntry& entry, int timeoutMs) {
    const Clock::time_point end = m_connectionWait->BudgetEnd(entry, timeoutMs);
    if (!m_connectionWait->OutageOutlasted() && IsReconnectScheduled() && ReconnectDue() < end) {
        m_connectionWait->Wait(entry, end);
        return true;
    }
    m_connectionWait->Done(m_connectionWait->Waited(entry));
    return false;
}

int KavraClientThread::writeBudgetMs(const kavra::SendEntry& entry, int timeoutMs) const {
    if (!m_connectionWait->Waited(entry)) {
        return timeoutMs;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                          m_connectionWait->BudgetEnd(entry, timeoutMs) - Clock::now())
                          .count();
    return static_cast<int>(std::clamp<std::int64_t>(left, 0, timeoutMs));
}

bool KavraClientThread::writeFrame(const kavra::SendEntry& entry, int timeoutMs, bool hold) {
    // What the socket holds back must survive a failure as the queue does.
    if (m_socket->GetKeepUnsent() != hold) {
        m_socket->SetKeepUnsent(hold);
    }

    KavraPDU pdu;
    // The frame buffer lives as long as the thread, so that after the first
    // frames it has the room for every later one and framing allocates
    // nothing for it.
    CIPByteBuffer& frame = m_sendFrame;
    frame.empty();
    DATABUFFER borrowed{entry.bytes.get(), entry.size};
    pdu.setBuffer(borrowed);
    pdu.getData(frame);
    const WriteOutcome outcome = WriteDataTimeout(
        reinterpret_cast<const char*>(frame.getBuffer()), static_cast<int>(frame.getLength()), timeoutMs);
    switch (outcome) {
    case WriteOutcome::Written:
        m_framesWritten.fetch_add(1, std::memory_order_relaxed);
        m_bodyBytesWritten.fetch_add(entry.size, std::memory_order_relaxed);
        return true;
    case WriteOutcome::Held:
        // Counted by the write tally once the kernel takes its last byte.
        return true;
    case WriteOutcome::NotConnected:
    case WriteOutcome::TimedOut:
    case WriteOutcome::Failed:
        break;
    }
    if (hold && !IsQuitRequested()) {
        return false;
    }
    auto& dropped = outcome == WriteOutcome::NotConnected ? m_sendDroppedDisconnected
                    : outcome == WriteOutcome::TimedOut   ? m_sendDroppedTimedOut
                                                          : m_sendDroppedConnectionFailed;
    dropped.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void KavraClientThread::Quit() {
    if (!IsQuitRequested()) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(GetLinger());
        m_stopDeadline.store(deadline.time_since_epoch().count());
    }
    CSocketClientThread::Quit();
}

void KavraClientThread::SetLinger(unsigned int ms) {
    m_lingerMs.store(ms, std::memory_order_relaxed);
}

unsigned int KavraClientThread::GetLinger() const {
    return m_lingerMs.load(std::memory_order_relaxed);
}

int KavraClientThread::ioTimeoutMs() const {
    if (!IsQuitRequested()) {
        return SOCKET_IO_TIMEOUT_MS;
    }
    const Clock::time_point deadline{Clock::duration{m_stopDeadline.load()}};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<std::int64_t>(left, 0, SOCKET_IO_TIMEOUT_MS));
}

// ---- receive path ----------------------------------------------------------

void KavraClientThread::OnSocketReceive(int readable) {
    kavra::AssertInThread(*this, __func__);
    KavraHeader header;
    CIPByteBuffer headerBuffer;
    CIPByteBuffer bodyBuffer;

    if (readable <= 0) {
        return;
    }
    // Bytes still to read before the call may end. Resynchronisation goes on
    // however far past it the reader gets, so it stops at zero rather than
    // running below any bound.
    auto budget = static_cast<unsigned int>(readable);
    const auto spend = [&budget](int bytes) {
        const auto n = static_cast<unsigned int>(bytes);
        budget = budget > n ? budget - n : 0;
    };
    do {
        if (pauseReadingWhenFull()) {
            return;
        }
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
            if (RecvDataTimeout(tail, missing, ioTimeoutMs()) != missing) {
                return;
            }
            spend(missing);
            missing = static_cast<int>(header.ValidateBuffer(headerBuffer));
            m_resyncBytesDiscarded.fetch_add(static_cast<std::uint64_t>(missing),
                                             std::memory_order_relaxed);
        }

        header.setData(headerBuffer);
        const int bodyLength = header.getCommandLength();
        switch (KavraHeader::ActionForLength(bodyLength)) {
        case KavraHeader::BodyAction::Empty:
        case KavraHeader::BodyAction::Garbage:
            m_badHeaders.fetch_add(1, std::memory_order_relaxed);
            continue;
        case KavraHeader::BodyAction::Discard:
            if (!discardBody(bodyLength)) {
                return;
            }
            spend(bodyLength);
            m_framesRead.fetch_add(1, std::memory_order_relaxed);
            m_oversizeDiscarded.fetch_add(1, std::memory_order_relaxed);
            continue;
        case KavraHeader::BodyAction::Deliver:
            break;
        }

        bodyBuffer.appendString(nullptr, bodyLength);
        if (RecvDataTimeout(reinterpret_cast<char*>(bodyBuffer.getBuffer()), bodyLength,
                            ioTimeoutMs()) != bodyLength) {
            return;
        }
        spend(bodyLength);

        if (GetReceiveQueueLength() >= MAX_RECEIVE_QUEUE) {
            countReceived(bodyLength, false);
            // The queue is full because its consumer is not running; where
            // busy threads outnumber cores, it may be waiting for this one.
            // Offering the core costs nothing when nobody else wants it, and
            // the stream is still drained frame by frame.
            std::this_thread::yield();
            continue;
        }
        auto pdu = std::make_unique<KavraPDU>();
        pdu->setBody(bodyBuffer);
        const bool queued = ReceivePush(pdu.get()) == 1;
        if (queued) {
            pdu.release();
        }
        countReceived(bodyLength, queued);
    } while (budget > 0);
}

bool KavraClientThread::discardBody(int length) {
    // A fixed area: the announced length never decides an allocation.
    std::array<char, 4096> scratch;
    while (length > 0) {
        const int piece = std::min(length, static_cast<int>(scratch.size()));
        if (RecvDataTimeout(scratch.data(), piece, ioTimeoutMs()) != piece) {
            return false;
        }
        length -= piece;
    }
    return true;
}

void KavraClientThread::countReceived(int bodyLength, bool queued) {
    m_framesRead.fetch_add(1, std::memory_order_relaxed);
    if (!queued) {
        m_receiveDropsQueueFull.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    m_framesReceived.fetch_add(1, std::memory_order_relaxed);
    m_bytesReceived.fetch_add(static_cast<std::uint64_t>(bodyLength), std::memory_order_relaxed);
}

bool KavraClientThread::pauseReadingWhenFull() {
    kavra::AssertInThread(*this, __func__);
    if (GetReceiveOverflow() != kavra::ReceiveOverflow::Block ||
        GetReceiveQueueLength() < MAX_RECEIVE_QUEUE) {
        return false;
    }
    PauseReading();
    // A consumer that took a PDU before the pause was visible did not resume
    // reading: look once more after pausing. Both sides write their own flag
    // and then read the other's in sequentially consistent order, so at
    // least one of them sees the other.
    if (m_receiveQueueLength.load() < MAX_RECEIVE_QUEUE) {
        ResumeReading();
        return false;
    }
    m_receivePauses.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void KavraClientThread::removedFromReceiveQueue() {
    // Resuming at once for every PDU taken would wake the worker to read a
    // single frame each time; half the queue's worth of room lets it read a
    // run of them per wake-up.
    if (IsReadingPaused() && m_receiveQueueLength.load() <= MAX_RECEIVE_QUEUE / 2) {
        ResumeReading();
    }
}

int KavraClientThread::ReceivePush(KavraPDU* pdu) {
    kavra::AssertInThread(*this, __func__);
    {
        const kavra::SemaLock lock(m_receiveLock);
        if (!lock) {
            return 0;
        }
        m_receiveQueue.push_back(pdu);
        m_receiveQueueLength.store(m_receiveQueue.size());
    }
    // Counted only after the PDU is in the queue, so a consumer whose wait
    // succeeds finds it there.
    m_receiveCount.Unlock(1, nullptr);
    PostMessageA(MSG_RECEIVE_QUEUE_PUSH, 0, 0);
    return 1;
}

KavraClientThread::Taken KavraClientThread::takeReceived(unsigned int capacity) {
    Taken taken;
    {
        const kavra::SemaLock lock(m_receiveLock);
        if (!lock || m_receiveQueue.empty()) {
            return taken;
        }
        KavraPDU* front = m_receiveQueue.front();
        taken.found = true;
        taken.size = front != nullptr ? front->getBufSize() : 0;
        if (taken.size > capacity) {
            return taken;
        }
        m_receiveQueue.pop_front();
        m_receiveQueueLength.store(m_receiveQueue.size());
        taken.pdu.reset(front);
    }
    removedFromReceiveQueue();
    return taken;
}

void KavraClientThread::OnReceiveQueuePush() {
    kavra::AssertInThread(*this, __func__);
    static_cast<void>(takeReceived(UINT_MAX));
}

int KavraClientThread::GetMessageA(void* destination, unsigned int timeout) {
    if (destination == nullptr) {
        return 1;
    }
    if (m_receiveCount.Lock(timeout) == 0) {
        return 1;
    }
    const Taken taken = takeReceived(UINT_MAX);
    if (!taken.pdu) {
        return 1;
    }
    if (taken.pdu->getBufAddr() != nullptr) {
        // Bodies queued by the receive path never exceed MAX_PDU_LENGTH; one
        // that a subclass pushed itself may, and a cut copy would be
        // reported as the whole body.
        if (taken.size > MAX_PDU_LENGTH) {
            m_consumerDropsTooLong.fetch_add(1, std::memory_order_relaxed);
            return 1;
        }
        std::memcpy(destination, taken.pdu->getBufAddr(), taken.size);
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
    const Taken taken = takeReceived(capacity);
    if (!taken.found) {
        return RECEIVE_NOTHING;
    }
    if (size != nullptr) {
        *size = taken.size;
    }
    if (!taken.pdu && taken.size > capacity) {
        // The PDU stays first in line; its unit goes back, so the retry with
        // a larger buffer finds both.
        m_receiveCount.Unlock(1, nullptr);
        return RECEIVE_TOO_SMALL;
    }
    if (taken.pdu && taken.pdu->getBufAddr() != nullptr && taken.size > 0) {
        std::memcpy(destination, taken.pdu->getBufAddr(), taken.size);
    }
    return RECEIVE_OK;
}

// ---- observation -----------------------------------------------------------

kavra::ConnectionStats KavraClientThread::GetStats() const {
    const auto get = [](const std::atomic<std::uint64_t>& counter) {
        return counter.load(std::memory_order_relaxed);
    };
    const kavra::WriteTally& held = GetWriteTally();
    kavra::ConnectionStats stats;
    stats.sendBuffered = held.StillHeld();
    stats.framesSent = get(m_framesWritten) + get(held.accepted);
    // Each held write of this class is one frame: its header and its body.
    stats.bytesSent = get(m_bodyBytesWritten) + get(held.acceptedBytes) -
                      get(held.accepted) * static_cast<std::uint64_t>(KavraHeader::HEADER_LENGTH);
    stats.sendDroppedDisconnected = get(m_sendDroppedDisconnected);
    stats.sendDroppedTimedOut = get(m_sendDroppedTimedOut) + get(held.droppedTimedOut);
    stats.sendDroppedConnectionFailed =
        get(m_sendDroppedConnectionFailed) + get(held.droppedFailed);
    stats.sendDroppedAtStop = get(m_sendDroppedAtStop);
    stats.sendDroppedEmpty = get(m_sendDroppedEmpty);
    stats.sendDroppedStale = get(m_sendDroppedStale);
    stats.sendQueued = GetSendQueueLength();
    stats.pdusAccepted = get(m_pdusAccepted);
    stats.sendQueueFull = get(m_sendQueueFull);
    stats.sendRefusedStopped = get(m_sendRefusedStopped);
    stats.outOfStepCloses = get(held.outOfStepCloses);
    stats.framesRead = get(m_framesRead);
    stats.framesReceived = get(m_framesReceived);
    stats.bytesReceived = get(m_bytesReceived);
    stats.receiveDropsQueueFull = get(m_receiveDropsQueueFull);
    stats.oversizeDiscarded = get(m_oversizeDiscarded);
    stats.receivePauses = get(m_receivePauses);
    stats.badHeaders = get(m_badHeaders);
    stats.resyncBytesDiscarded = get(m_resyncBytesDiscarded);
    stats.consumerDropsTooLong = get(m_consumerDropsTooLong);
    stats.reconnections = GetReconnectCount();
    stats.connectionsMade = GetConnectionsMade();
    stats.connectionsLost = GetConnectionsLost();
    stats.connectFailures = GetConnectFailures();
    stats.connected = IsConnected();
    stats.gaveUp = HasGivenUp();
    const auto inState = std::chrono::steady_clock::now() - GetStateChangeTime();
    stats.msInCurrentState = static_cast<std::uint64_t>(
        std::max<std::int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(inState).count()));
    return stats;
}

void KavraClientThread::SetHoldWhileDisconnected(bool hold) {
    m_holdWhileDisconnected.store(hold, std::memory_order_relaxed);
}

bool KavraClientThread::GetHoldWhileDisconnected() const {
    return m_holdWhileDisconnected.load(std::memory_order_relaxed);
}

void KavraClientThread::SetMaxAge(unsigned int ms) {
    m_maxAgeMs.store(ms, std::memory_order_relaxed);
}

unsigned int KavraClientThread::GetMaxAge() const {
    return m_maxAgeMs.load(std::memory_order_relaxed);
}

void KavraClientThread::SetReceiveOverflow(kavra::ReceiveOverflow policy) {
    m_receiveOverflow.store(policy, std::memory_order_relaxed);
    // Switching back to Drop must not leave a paused reader behind.
    if (policy == kavra::ReceiveOverflow::Drop) {
        ResumeReading();
    }
}

kavra::ReceiveOverflow KavraClientThread::GetReceiveOverflow() const {
    return m_receiveOverflow.load(std::memory_order_relaxed);
}

void KavraClientThread::SetSendQueueLimit(std::size_t maxEntries) {
    m_sendQueueLimit.store(maxEntries, std::memory_order_relaxed);
}

std::size_t KavraClientThread::GetSendQueueLimit() const {
    return m_sendQueueLimit.load(std::memory_order_relaxed);
}

std::size_t KavraClientThread::GetSendQueueLength() const {
    const kavra::SemaLock lock(m_sendLock);
    return m_sendQueue.size();
}

std::size_t KavraClientThread::GetReceiveQueueLength() {
    // Kept beside the queue under its lock and read without it: the receive
    // path asks once per frame, and taking the consumer's lock for that
    // would make the two threads fight over it. Only the worker appends, so
    // the value it reads can only be too high, never too low.
    return m_receiveQueueLength.load(std::memory_order_relaxed);
}
