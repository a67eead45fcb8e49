#include "kavra/KavraClientThread.h"

#include "base/PooledBytes.h"
#include "base/ThreadCheck.h"
#include "client/ClientParts.h"
#include "framing/WholeFrame.h"

#include "kavra/KavraHeader.h"
#include "kavra/KavraPDU.h"
#include "kavra/NullPduError.h"
#include "kavra/PduSizeError.h"
#include "kavra/SyncRun.h"
#include "kavra/base/CIPByteBuffer.h"
#include "kavra/base/CSocket.h"
#include "kavra/base/SemaLock.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <thread>
#include <utility>

namespace {

// Owns a copied block until the send queue takes it.
using SendBlock = std::unique_ptr<unsigned char[], kavra::SendEntry::Release>;
using Clock = std::chrono::steady_clock;

// Takes bytes off the read budget; it stops at zero rather than running below
// any bound, since resynchronisation goes on however far past it the reader
// gets.
void spend(unsigned int& budget, int bytes) {
    const auto n = static_cast<unsigned int>(bytes);
    budget = budget > n ? budget - n : 0;
}

} // namespace

KavraClientThread::KavraClientThread()
    : m_receiveCount(0, static_cast<long>(MAX_RECEIVE_QUEUE), nullptr, nullptr),
      m_receiveLock(1, 1, nullptr, nullptr), m_sendLock(1, 1, nullptr, nullptr),
      m_parts(
          std::make_unique<kavra::ClientParts>(*this, SOCKET_IO_TIMEOUT_MS, MAX_RECEIVE_QUEUE)) {}

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
    return queueCopy(pdu, size, true);
}

int KavraClientThread::SendPduWait(const void* pdu, unsigned int size, unsigned int timeoutMs) {
    if (m_socket == nullptr) {
        return 1;
    }
    if (pdu == nullptr) {
        throw kavra::NullPduError();
    }
    if (size > MAX_PDU_LENGTH) {
        throw kavra::PduSizeError();
    }
    const bool forever = timeoutMs == 0xFFFFFFFFU;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const auto roomOrStop = [this, size] { return IsQuitRequested() || !limitReached(size, false); };
    for (;;) {
        // Another sender may take the room first: then wait again.
        const bool ready = m_parts->room.WaitUntil(roomOrStop, forever, deadline);
        const int result = queueCopy(pdu, size, !ready);
        if (result != SEND_QUEUE_FULL || !ready) {
            return result;
        }
    }
}

int KavraClientThread::queueCopy(const void* pdu, unsigned int size, bool countFull) {
    // A refusal must not cost the copy, so the stop and the limits are looked
    // at first; both are checked again under the lock, where they count.
    if (const int refused = refuseSend(size, false, countFull); refused != 0) {
        return refused;
    }

    // Copy before locking so the lock covers only the append. The block has
    // room in front of the bytes, where the worker puts the frame's header.
    SendBlock block(kavra::PooledBytes::NewSized(kavra::BlockKind::SendCopy, size));
    std::memcpy(block.get(), pdu, size);

    const Clock::time_point now = Clock::now();
    {
        const kavra::SemaLock lock(m_sendLock);
        // The worker releases what is queued once it has stopped, under this
        // lock; an entry appended after that would never be written.
        if (const int refused = refuseSend(size, true, countFull); refused != 0) {
            return refused;
        }
        m_sendQueue.push_back(QueuedSend{DATABUFFER{block.get(), size}, now});
        block.release();
        m_parts->room.Add(size);
        m_parts->counters.Add(kavra::Stat::pdusAccepted);
    }

    PostMessageA(MSG_SEND_QUEUE_PUSH, 0, 0);
    return 0;
}

int KavraClientThread::refuseSend(unsigned int size, bool underLock, bool countFull) {
    // Called twice for every PDU: with no stop and no limit it looks at
    // three flags and nothing else.
    if (!IsQuitRequested() && !m_parts->SendLimited()) {
        return 0;
    }
    return refuseLimited(size, underLock, countFull);
}

[[gnu::noinline]] int KavraClientThread::refuseLimited(unsigned int size, bool underLock,
                                                       bool countFull) {
    if (IsQuitRequested()) {
        m_parts->counters.Add(kavra::Stat::sendRefusedStopped);
        return 1;
    }
    if (limitReached(size, underLock)) {
        if (countFull) {
            m_parts->counters.Add(kavra::Stat::sendQueueFull);
        }
        return SEND_QUEUE_FULL;
    }
    return 0;
}

bool KavraClientThread::limitReached(unsigned int size, bool underLock) const {
    const auto length = [this, underLock] {
        return underLock ? m_sendQueue.size() + m_parts->ahead.Count() : GetSendQueueLength();
    };
    return m_parts->queueLimit.Reached(length) || m_parts->room.Reached(size);
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
    kavra::SendEntry entry = m_parts->ahead.Empty() ? takeAhead() : m_parts->ahead.PopFront();
    if (entry) {
        m_parts->room.Remove(entry.size);
        m_parts->room.Notify();
    }
    return entry;
}

kavra::SendEntry KavraClientThread::takeAhead() {
    const auto take = [this] {
        const QueuedSend& front = m_sendQueue.front();
        kavra::SendEntry entry;
        entry.bytes.reset(static_cast<unsigned char*>(front.block.data));
        entry.size = front.block.size;
        entry.queuedAt = front.queuedAt;
        m_sendQueue.pop_front();
        return entry;
    };
    const kavra::SemaLock lock(m_sendLock);
    if (m_sendQueue.empty()) {
        return {};
    }
    kavra::SendEntry oldest = take();
    for (std::size_t moved = 1; moved < kavra::SendAhead::BATCH && !m_sendQueue.empty(); ++moved) {
        m_parts->ahead.PushBack(take());
    }
    return oldest;
}

void KavraClientThread::KeepSendEntry(kavra::SendEntry entry) {
    kavra::AssertInThread(*this, __func__);
    if (!entry) {
        return;
    }
    m_parts->room.Add(entry.size);
    m_parts->ahead.PushFront(std::move(entry));
    // On a live connection (a write that timed out whole) it is tried again
    // after whatever else the loop has to do; otherwise when the connection
    // is back.
    if (m_socket != nullptr && m_socket->IsConnected()) {
        PostMessageA(MSG_SEND_QUEUE_PUSH, 0, 0);
    } else {
        m_parts->connectionWait.CountNotification();
    }
}

void KavraClientThread::OnSocketConnect(int error) {
    CSocketClientThread::OnSocketConnect(error);
    // After a success every waiting entry can go. After a failure the ones
    // that wait only for an attempt within their budget look again whether
    // the next one comes in time; held entries wait on.
    if (error != 0 && m_parts->hold.Get()) {
        return;
    }
    for (std::size_t n = m_parts->connectionWait.TakeNotifications(error == 0); n > 0; --n) {
        PostMessageA(MSG_SEND_QUEUE_PUSH, 0, 0);
    }
}

void KavraClientThread::OnQuerySocket() {
    CSocketClientThread::OnQuerySocket();
    const std::optional<Clock::time_point> end = m_parts->connectionWait.WaitingUntil();
    if (!end) {
        return;
    }
    if (Clock::now() < *end) {
        WaitNoLaterThan(*end);
        return;
    }
    // Its budget is over: the entry meets the worker again and is dropped,
    // and the ones behind it follow without waiting.
    for (std::size_t n = m_parts->connectionWait.TakeNotifications(false); n > 0; --n) {
        PostMessageA(MSG_SEND_QUEUE_PUSH, 0, 0);
    }
}

void KavraClientThread::AfterRun() {
    // Nothing queued now can be written any more; SendPdu refuses from the
    // stop on, so the queue stays empty until the thread is started again.
    releaseSendQueue();
    m_parts->connectionWait.Clear();
    CSocketClientThread::AfterRun();
}

void KavraClientThread::releaseSendQueue() {
    {
        const kavra::SemaLock lock(m_sendLock);
        while (!m_sendQueue.empty()) {
            kavra::SendEntry::Release()(
                static_cast<unsigned char*>(m_sendQueue.front().block.data));
            m_sendQueue.pop_front();
            m_parts->counters.Add(kavra::Stat::sendDroppedAtStop);
        }
        m_parts->counters.Add(kavra::Stat::sendDroppedAtStop, m_parts->ahead.Clear());
        m_parts->room.Reset();
    }
    m_parts->room.Notify();
}

bool KavraClientThread::WriteSendEntry(const kavra::SendEntry& entry) {
    kavra::AssertInThread(*this, __func__);
    if (!entry) {
        return true;
    }
    const bool settled = settleSendEntry(entry);
    if (settled) {
        m_parts->connectionWait.Done(false);
    }
    return settled;
}

bool KavraClientThread::settleSendEntry(const kavra::SendEntry& entry) {
    const auto signedSize = static_cast<std::int32_t>(entry.size);
    if (signedSize < 1 || entry.size > MAX_PDU_LENGTH) {
        m_parts->counters.Add(kavra::Stat::sendDroppedEmpty);
        return true;
    }
    const bool stopping = IsQuitRequested();
    const int timeoutMs = m_parts->linger.IoTimeoutMs(stopping);
    const bool connected = m_socket != nullptr && m_socket->IsConnected();
    // A stopping thread does not reconnect: once the linger is over or the
    // connection is gone, what is left is released by the stop.
    if (stopping && (timeoutMs == 0 || !connected)) {
        m_parts->counters.Add(kavra::Stat::sendDroppedAtStop);
        return true;
    }
    if (m_parts->maxAge.Expired(entry.queuedAt)) {
        m_parts->counters.Add(kavra::Stat::sendDroppedStale);
        return true;
    }
    const bool hold = m_parts->hold.Get();
    if (!connected) {
        if (hold || waitsForAttempt(entry, timeoutMs)) {
            return false;
        }
        m_parts->counters.Add(kavra::Stat::sendDroppedDisconnected);
        return true;
    }
    const int writeMs = hold ? timeoutMs : writeBudgetMs(entry, timeoutMs);
    if (writeMs == 0) {
        // Its wait and the attempt used up the write's time.
        m_parts->counters.Add(kavra::Stat::sendDroppedTimedOut);
        return true;
    }
    return writeFrame(entry, writeMs, hold);
}

bool KavraClientThread::waitsForAttempt(const kavra::SendEntry& entry, int timeoutMs) {
    const Clock::time_point end = m_parts->connectionWait.BudgetEnd(entry, timeoutMs);
    const bool attemptInTime = (m_socket != nullptr && m_socket->IsConnecting()) ||
                               (IsReconnectScheduled() && ReconnectDue() < end);
    if (!m_parts->connectionWait.OutageOutlasted() && Clock::now() < end && attemptInTime) {
        m_parts->connectionWait.Wait(entry, end);
        return true;
    }
    m_parts->connectionWait.Done(m_parts->connectionWait.Waited(entry));
    return false;
}

int KavraClientThread::writeBudgetMs(const kavra::SendEntry& entry, int timeoutMs) const {
    if (!m_parts->connectionWait.Waited(entry)) {
        return timeoutMs;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                          m_parts->connectionWait.BudgetEnd(entry, timeoutMs) - Clock::now())
                          .count();
    return static_cast<int>(std::clamp<std::int64_t>(left, 0, timeoutMs));
}

bool KavraClientThread::writeFrame(const kavra::SendEntry& entry, int timeoutMs, bool hold) {
    // What the socket holds back must survive a failure as the queue does.
    if (m_socket->GetKeepUnsent() != hold) {
        m_socket->SetKeepUnsent(hold);
    }

    // The frame is what a borrowing KavraPDU's getData writes: the header,
    // then the body. Nothing can tell the two apart (that PDU would be local
    // and exactly a KavraPDU), so the bytes are laid down directly, without
    // the PDU and the header object it would make and destroy for every
    // frame. Every entry's block is a copy SendPdu made, with room for the
    // header in front of the body: the frame is assembled there, in one
    // piece, without copying the body again.
    static_assert(KavraHeader::HEADER_LENGTH <= kavra::PooledBytes::SIZED_HEADROOM);
    unsigned char* const frame = entry.bytes.get() - KavraHeader::HEADER_LENGTH;
    KavraHeader::EncodeHeader(static_cast<int>(entry.size), frame);
    const WriteOutcome outcome =
        WriteDataTimeout(reinterpret_cast<const char*>(frame),
                         KavraHeader::HEADER_LENGTH + static_cast<int>(entry.size), timeoutMs);
    switch (outcome) {
    case WriteOutcome::Written:
        m_parts->counters.Add(kavra::Stat::framesSent);
        m_parts->counters.Add(kavra::Stat::bytesSent, entry.size);
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
    countFailedWrite(outcome);
    return true;
}

void KavraClientThread::countFailedWrite(WriteOutcome outcome) {
    m_parts->counters.Add(
        outcome == WriteOutcome::NotConnected ? kavra::Stat::sendDroppedDisconnected
        : outcome == WriteOutcome::TimedOut   ? kavra::Stat::sendDroppedTimedOut
                                              : kavra::Stat::sendDroppedConnectionFailed);
}

void KavraClientThread::Quit() {
    if (!IsQuitRequested()) {
        m_parts->linger.Start();
    }
    CSocketClientThread::Quit();
    // Senders waiting for room give up now.
    m_parts->room.Notify();
}

void KavraClientThread::SetLinger(unsigned int ms) {
    m_parts->linger.Set(ms);
}

unsigned int KavraClientThread::GetLinger() const {
    return m_parts->linger.Get();
}

int KavraClientThread::ioTimeoutMs() const {
    return m_parts->linger.IoTimeoutMs(IsQuitRequested());
}

// ---- receive path ----------------------------------------------------------

void KavraClientThread::OnSocketReceive(int readable) {
    kavra::AssertInThread(*this, __func__);
    if (readable <= 0) {
        return;
    }
    // Bytes still to read before the call may end.
    auto budget = static_cast<unsigned int>(readable);
    // Whole frames in the read-ahead need none of the reader's buffers.
    do {
        if (pauseReadingWhenFull()) {
            return;
        }
        if (!takeWholeFrame(budget)) {
            readFrames(budget);
            return;
        }
    } while (budget > 0);
}

void KavraClientThread::readFrames(unsigned int budget) {
    KavraHeader header;
    CIPByteBuffer headerBuffer;
    CIPByteBuffer bodyBuffer;
    // Bytes read beyond a bad header to look for the end of a run of 0xFF;
    // they begin the next header.
    CIPByteBuffer ahead;
    do {
        if (pauseReadingWhenFull()) {
            return;
        }
        if (ahead.getLength() == 0 && takeWholeFrame(budget)) {
            continue;
        }
        headerBuffer.empty();
        bodyBuffer.empty();
        header.getData(headerBuffer);
        if (!readHeader(header, headerBuffer, ahead, budget)) {
            return;
        }
        header.setData(headerBuffer);
        if (!takeBody(header.getCommandLength(), bodyBuffer, budget)) {
            return;
        }
        // Bytes read ahead belong to the next header: ending the call now
        // would lose them and with them that frame.
    } while (budget > 0 || ahead.getLength() > 0);
}

struct KavraClientThread::WholeFrames {
    static constexpr std::size_t MAX = 32;
    WholeFrames() = default;
    WholeFrames(const WholeFrames&) = delete;
    WholeFrames& operator=(const WholeFrames&) = delete;
    // Owns the PDUs taken and not yet queued (after an exception, those
    // behind the one that threw). The arrays are filled only up to count,
    // so that a read that finds one frame does not pay for MAX.
    ~WholeFrames() {
        for (std::size_t n = next; n < count; ++n) {
            delete pdus[n];
        }
    }
    // A null PDU is a frame taken while the receive queue was full: dropped.
    std::array<KavraPDU*, MAX> pdus;
    std::array<int, MAX> lengths;
    std::size_t count = 0;
    // The first one not yet queued.
    std::size_t next = 0;
    // What making the PDU of the frame after the last one threw: that frame
    // is lost, as a read's frame is, once those before it are queued.
    std::exception_ptr failure;
};

bool KavraClientThread::takeWholeFrame(unsigned int& budget) {
    // Held output would go out first on a read; such a read stays a read.
    if (m_socket == nullptr || !m_socket->IsConnected() || m_socket->HasHeldOutput()) {
        return false;
    }
    WholeFrames frames;
    takeWholeFrames(frames, budget);
    if (frames.count > 0 && frames.pdus[0] == nullptr) {
        frames.next = frames.count;
        countReceived(frames.lengths[0], false);
        // As deliverBody: the consumer may be waiting for this core.
        std::this_thread::yield();
    } else if (frames.count > 0) {
        const std::size_t queued = receivePushAll(frames.pdus.data(), frames.count);
        // What was not queued is destroyed with frames, and counted.
        frames.next = queued;
        std::uint64_t bytes = 0;
        for (std::size_t n = 0; n < queued; ++n) {
            bytes += static_cast<std::uint64_t>(frames.lengths[n]);
        }
        m_parts->counters.Add(kavra::Stat::framesRead, frames.count);
        m_parts->counters.Add(kavra::Stat::framesReceived, queued);
        m_parts->counters.Add(kavra::Stat::bytesReceived, bytes);
        if (queued < frames.count) {
            m_parts->counters.Add(kavra::Stat::receiveDropsQueueFull, frames.count - queued);
        }
    }
    if (frames.failure) {
        std::rethrow_exception(frames.failure);
    }
    return frames.count > 0;
}

void KavraClientThread::takeWholeFrames(WholeFrames& frames, unsigned int& budget) {
    const kavra::SemaLock guard(m_ioLock);
    // Only this thread adds to the receive queue, so the room seen now can
    // only grow while the frames are queued: no frame is dropped that one at
    // a time would have been queued. A full queue drops one frame, as a read
    // would.
    const std::size_t room = m_parts->receive.Room();
    const std::size_t most = std::clamp<std::size_t>(room, 1, WholeFrames::MAX);
    // As frame by frame, the call takes one more frame while its budget is
    // not spent.
    while (frames.count < most && budget > 0) {
        std::size_t count = 0;
        const unsigned char* bytes = m_socket->PeekReadAhead(count);
        const int length = count > 0 ? kavra::WholeFrame::BodyLength(bytes, count) : 0;
        if (length == 0) {
            return;
        }
        // Taken before the copy, as a read takes it before setBody: a
        // failed allocation does not bring the frame back.
        m_socket->TakeReadAhead(static_cast<std::size_t>(KavraHeader::HEADER_LENGTH + length));
        spend(budget, KavraHeader::HEADER_LENGTH + length);
        KavraPDU* pdu = nullptr;
        if (room > 0) {
            try {
                pdu = m_parts->recycler.Make(bytes + KavraHeader::HEADER_LENGTH, length).release();
            } catch (...) {
                frames.failure = std::current_exception();
                return;
            }
        }
        frames.pdus[frames.count] = pdu;
        frames.lengths[frames.count] = length;
        ++frames.count;
    }
}

bool KavraClientThread::takeBody(int bodyLength, CIPByteBuffer& bodyBuffer, unsigned int& budget) {
    switch (KavraHeader::ActionForLength(bodyLength)) {
    case KavraHeader::BodyAction::Empty:
    case KavraHeader::BodyAction::Garbage:
        m_parts->counters.Add(kavra::Stat::badHeaders);
        return true;
    case KavraHeader::BodyAction::Discard:
        if (!discardBody(bodyLength)) {
            return false;
        }
        spend(budget, bodyLength);
        return true;
    case KavraHeader::BodyAction::Deliver:
        break;
    }
    if (!readBody(bodyBuffer, bodyLength)) {
        return false;
    }
    spend(budget, bodyLength);
    deliverBody(bodyBuffer, bodyLength);
    return true;
}

bool KavraClientThread::readHeader(KavraHeader& header, CIPByteBuffer& headerBuffer,
                                   CIPByteBuffer& ahead, unsigned int& budget) {
    const int headerLength = static_cast<int>(headerBuffer.getLength());
    const int carried = static_cast<int>(ahead.getLength());
    if (carried > 0) {
        std::memcpy(headerBuffer.getBuffer(), ahead.getBuffer(),
                    static_cast<std::size_t>(carried));
        ahead.empty();
    }
    // Read the header, then keep refilling the tail that the scan freed
    // until the buffer starts with a sync mark.
    int missing = headerLength - carried;
    do {
        if (missing > 0) {
            char* tail =
                reinterpret_cast<char*>(headerBuffer.getBuffer()) + (headerLength - missing);
            if (RecvDataTimeout(tail, missing, ioTimeoutMs()) != missing) {
                return false;
            }
            spend(budget, missing);
        }
        missing = static_cast<int>(header.ValidateBuffer(headerBuffer));
        m_parts->counters.Add(kavra::Stat::resyncBytesDiscarded,
                              static_cast<std::uint64_t>(missing));
    } while (missing > 0);
    return readRun(headerBuffer, ahead, budget);
}

bool KavraClientThread::readRun(CIPByteBuffer& headerBuffer, CIPByteBuffer& ahead,
                                unsigned int& budget) {
    kavra::SyncRun run;
    run.Start(headerBuffer.getBuffer());
    while (!run.Decided()) {
        std::array<unsigned char, KavraHeader::HEADER_LENGTH> more{};
        const int wanted = run.Wanted();
        if (RecvDataTimeout(reinterpret_cast<char*>(more.data()), wanted, ioTimeoutMs()) !=
            wanted) {
            return false;
        }
        spend(budget, wanted);
        run.Take(more.data(), wanted);
    }
    if (run.Aligned()) {
        m_parts->counters.Add(kavra::Stat::resyncBytesDiscarded, run.Dropped());
        KavraHeader::EncodeHeader(run.AlignedLength(), headerBuffer.getBuffer());
        return true;
    }
    m_parts->counters.Add(kavra::Stat::badHeaders, run.FurtherBadHeaders());
    std::array<unsigned char, kavra::SyncRun::MAX_REPLAY> replay{};
    ahead.appendBytes(replay.data(), run.Replay(replay.data()));
    return true;
}

bool KavraClientThread::readBody(CIPByteBuffer& bodyBuffer, int length) {
    bodyBuffer.appendString(nullptr, length);
    return RecvDataTimeout(reinterpret_cast<char*>(bodyBuffer.getBuffer()), length,
                           ioTimeoutMs()) == length;
}

void KavraClientThread::deliverBody(CIPByteBuffer& bodyBuffer, int length) {
    if (m_parts->receive.Full()) {
        countReceived(length, false);
        // The queue is full because its consumer is not running; where
        // busy threads outnumber cores, it may be waiting for this one.
        // Offering the core costs nothing when nobody else wants it, and
        // the stream is still drained frame by frame.
        std::this_thread::yield();
        return;
    }
    // What setBody would do, with a PDU the consumers gave back when there is
    // one.
    std::unique_ptr<KavraPDU> pdu = m_parts->recycler.Make(bodyBuffer.getBuffer(), length);
    bodyBuffer.empty();
    const bool queued = ReceivePush(pdu.get()) == 1;
    if (queued) {
        pdu.release();
    }
    countReceived(length, queued);
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
    m_parts->counters.Add(kavra::Stat::framesRead);
    m_parts->counters.Add(kavra::Stat::oversizeDiscarded);
    return true;
}

void KavraClientThread::countReceived(int bodyLength, bool queued) {
    m_parts->counters.Add(kavra::Stat::framesRead);
    if (!queued) {
        m_parts->counters.Add(kavra::Stat::receiveDropsQueueFull);
        return;
    }
    m_parts->counters.Add(kavra::Stat::framesReceived);
    m_parts->counters.Add(kavra::Stat::bytesReceived, static_cast<std::uint64_t>(bodyLength));
}

bool KavraClientThread::pauseReadingWhenFull() {
    kavra::AssertInThread(*this, __func__);
    if (!m_parts->receive.PausesReading()) {
        return false;
    }
    PauseReading();
    if (!m_parts->receive.StillFullAfterPause()) {
        ResumeReading();
        return false;
    }
    m_parts->counters.Add(kavra::Stat::receivePauses);
    return true;
}

void KavraClientThread::removedFromReceiveQueue() {
    if (IsReadingPaused() && m_parts->receive.ResumesReading()) {
        ResumeReading();
    }
}

int KavraClientThread::ReceivePush(KavraPDU* pdu) {
    return receivePushAll(&pdu, 1) == 1 ? 1 : 0;
}

std::size_t KavraClientThread::receivePushAll(KavraPDU* const* pdus, std::size_t count) {
    kavra::AssertInThread(*this, __func__);
    {
        const kavra::SemaLock lock(m_receiveLock);
        if (!lock) {
            return 0;
        }
        // One at a time: a range inserted into an empty deque goes in at its
        // front, into a node of its own every time.
        for (std::size_t n = 0; n < count; ++n) {
            m_receiveQueue.push_back(pdus[n]);
        }
        m_parts->receive.SetLength(m_receiveQueue.size());
    }
    // Counted only after the PDUs are in the queue, so a consumer whose wait
    // succeeds finds one there.
    m_receiveCount.Unlock(static_cast<long>(count), nullptr);
    // The handle turns readable only once the PDUs are counted too, so a
    // consumer it wakes finds one with a wait of 0; under the lock again, so
    // that it follows the queue in the queue's order.
    if (m_parts->receiveSignal.IsOpen()) {
        const kavra::SemaLock lock(m_receiveLock);
        m_parts->receiveSignal.Follow(!m_receiveQueue.empty());
    }
    for (std::size_t n = 0; n < count; ++n) {
        PostMessageA(MSG_RECEIVE_QUEUE_PUSH, 0, 0);
    }
    return count;
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
        m_parts->receive.SetLength(m_receiveQueue.size());
        if (m_receiveQueue.empty()) {
            m_parts->receiveSignal.Follow(false);
        }
        taken.pdu.reset(front);
    }
    removedFromReceiveQueue();
    return taken;
}

void KavraClientThread::OnReceiveQueuePush() {
    kavra::AssertInThread(*this, __func__);
    m_parts->recycler.Give(takeReceived(UINT_MAX).pdu);
}

int KavraClientThread::GetMessageA(void* destination, unsigned int timeout) {
    if (destination == nullptr) {
        return 1;
    }
    if (m_receiveCount.Lock(timeout) == 0) {
        return 1;
    }
    Taken taken = takeReceived(UINT_MAX);
    if (!taken.pdu) {
        return 1;
    }
    int result = 0;
    if (taken.pdu->getBufAddr() != nullptr) {
        // Bodies queued by the receive path never exceed MAX_PDU_LENGTH; one
        // that a subclass pushed itself may, and a cut copy would be
        // reported as the whole body.
        if (taken.size > MAX_PDU_LENGTH) {
            m_parts->counters.Add(kavra::Stat::consumerDropsTooLong);
            result = 1;
        } else {
            std::memcpy(destination, taken.pdu->getBufAddr(), taken.size);
        }
    }
    // The PDU never left this call: nobody else can hold it.
    m_parts->recycler.Give(std::move(taken.pdu));
    return result;
}

int KavraClientThread::ReceivePdu(void* destination, unsigned int capacity, unsigned int* size,
                                  unsigned int timeout) {
    if (destination == nullptr && capacity > 0) {
        return RECEIVE_NOTHING;
    }
    if (m_receiveCount.Lock(timeout) == 0) {
        return RECEIVE_NOTHING;
    }
    Taken taken = takeReceived(capacity);
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
    m_parts->recycler.Give(std::move(taken.pdu));
    return RECEIVE_OK;
}

// ---- observation -----------------------------------------------------------

kavra::ConnectionStats KavraClientThread::GetStats() const {
    kavra::ConnectionStats stats;
    m_parts->counters.CopyTo(stats);
    // The frames the socket held back are its tally's until the kernel took
    // them; each held write of this class is one frame, header and body.
    const auto get = [](const std::atomic<std::uint64_t>& counter) {
        return counter.load(std::memory_order_relaxed);
    };
    const kavra::WriteTally& held = GetWriteTally();
    stats.sendBuffered = held.StillHeld();
    stats.framesSent += get(held.accepted);
    stats.bytesSent += get(held.acceptedBytes) -
                       get(held.accepted) * static_cast<std::uint64_t>(KavraHeader::HEADER_LENGTH);
    stats.sendDroppedTimedOut += get(held.droppedTimedOut);
    stats.sendDroppedConnectionFailed += get(held.droppedFailed);
    stats.outOfStepCloses = get(held.outOfStepCloses);
    stats.sendQueued = GetSendQueueLength();
    stats.reconnections = GetReconnectCount();
    stats.connectionsMade = GetConnectionsMade();
    stats.connectionsLost = GetConnectionsLost();
    stats.connectFailures = GetConnectFailures();
    stats.connected = IsConnected();
    stats.gaveUp = HasGivenUp();
    stats.tlsVersion = static_cast<std::uint64_t>(GetTlsVersion());
    stats.encrypted = stats.tlsVersion != 0 ? 1 : 0;
    stats.lastConnectError = static_cast<std::uint64_t>(GetLastConnectError());
    stats.resumedHandshakes = GetResumedHandshakes();
    const auto inState = std::chrono::steady_clock::now() - GetStateChangeTime();
    stats.msInCurrentState = static_cast<std::uint64_t>(
        std::max<std::int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(inState).count()));
    return stats;
}

void KavraClientThread::SetHoldWhileDisconnected(bool hold) {
    m_parts->hold.Set(hold);
}

bool KavraClientThread::GetHoldWhileDisconnected() const {
    return m_parts->hold.Get();
}

void KavraClientThread::SetMaxAge(unsigned int ms) {
    m_parts->maxAge.Set(ms);
}

unsigned int KavraClientThread::GetMaxAge() const {
    return m_parts->maxAge.Get();
}

void KavraClientThread::SetReceiveOverflow(kavra::ReceiveOverflow policy) {
    m_parts->receive.SetPolicy(policy);
    // Switching back to Drop must not leave a paused reader behind.
    if (policy == kavra::ReceiveOverflow::Drop) {
        ResumeReading();
    }
}

kavra::ReceiveOverflow KavraClientThread::GetReceiveOverflow() const {
    return m_parts->receive.Policy();
}

void KavraClientThread::SetSendQueueLimit(std::size_t maxEntries) {
    m_parts->queueLimit.Set(maxEntries);
    m_parts->room.Notify();
}

std::size_t KavraClientThread::GetSendQueueLimit() const {
    return m_parts->queueLimit.Get();
}

void KavraClientThread::SetSendQueueByteLimit(std::size_t maxBytes) {
    m_parts->room.SetByteLimit(maxBytes);
}

std::size_t KavraClientThread::GetSendQueueByteLimit() const {
    return m_parts->room.ByteLimit();
}

std::size_t KavraClientThread::GetSendQueueBytes() const {
    return m_parts->room.Bytes();
}

std::intptr_t KavraClientThread::OpenReceiveHandle() {
    m_parts->receiveSignal.Open();
    const kavra::SemaLock lock(m_receiveLock);
    m_parts->receiveSignal.Follow(!m_receiveQueue.empty());
    return m_parts->receiveSignal.Native();
}

std::size_t KavraClientThread::GetSendQueueLength() const {
    const kavra::SemaLock lock(m_sendLock);
    return m_sendQueue.size() + m_parts->ahead.Count();
}

std::size_t KavraClientThread::GetReceiveQueueLength() {
    return m_parts->receive.Length();
}
