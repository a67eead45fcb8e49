#include "kavra/base/CSocket.h"

#include "base/os/SocketApi.h"
#include "base/SocketSetup.h"
#include "base/os/TcpStream.h"
#include "base/os/proxy/ProxyLayer.h"
#include "base/os/tls/TlsLayer.h"
#include "kavra/TlsErrors.h"
#include "kavra/base/WriteTally.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstring>
#include <thread>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

// Large enough that one read takes many small frames or several large ones;
// requests at least this long bypass it and land in the caller's memory.
constexpr std::size_t READ_AHEAD_BYTES = 64 * 1024;
// The same on the way out: one write carries many small frames, and larger
// writes bypass the buffer.
constexpr std::size_t WRITE_BEHIND_BYTES = 64 * 1024;

Clock::time_point deadlineAfter(int timeoutMs) {
    return Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
}

// The library's own codes come with a detail from the stream that raised
// them; the system's do not.
bool HasDetail(int error) {
    return error >= KAVRA_TLS_ERROR_FIRST && error <= KAVRA_TLS_ERROR_LAST;
}

} // namespace

CSocket::CSocket() = default;

CSocket::~CSocket() {
    Close();
    // Writes kept for a next connection that will never come.
    m_keepUnsent = false;
    settleWrite(0, m_writeLen, true);
}

int CSocket::Connect(const std::string& host, unsigned short port, unsigned int timeoutMs,
                     const std::atomic<bool>* cancel) {
    if (BeginConnect(host, port, timeoutMs) == 0) {
        return 0;
    }
    for (;;) {
        const int result = ContinueConnect();
        if (result >= 0) {
            return result;
        }
        if (cancel != nullptr && cancel->load()) {
            AbortConnect();
            return 0;
        }
        // A stop request is seen soon: the wait goes in slices.
        const ConnectWait wait = GetConnectWait();
        const auto by = std::min(wait.by, Clock::now() + std::chrono::milliseconds(
                                                              kavra::os::CONNECT_CANCEL_POLL_MS));
        if (wait.handle == INVALID_HANDLE) {
            std::this_thread::sleep_until(by);
        } else {
            int ignored = 0;
            kavra::os::WaitReady(wait.handle,
                                 wait.write ? kavra::os::Direction::Write
                                            : kavra::os::Direction::Read,
                                 kavra::os::MsUntil(by), ignored);
        }
    }
}

int CSocket::BeginConnect(const std::string& host, unsigned short port, unsigned int timeoutMs) {
    Close();
    if (&host != &m_host) {
        m_host = host;
    }
    m_port = port;
    m_lastErrorDetail.clear();
    for (const auto& layer : m_layers) {
        const int error = layer->Ready(m_lastErrorDetail);
        if (error != 0) {
            m_lastError = error;
            return 0;
        }
    }
    m_setup = std::make_unique<kavra::SocketSetup>(
        m_host, m_port, Clock::now() + std::chrono::milliseconds(timeoutMs), m_layers);
    return 1;
}

int CSocket::ContinueConnect() {
    if (!m_setup) {
        return IsConnected() ? 1 : 0;
    }
    int error = 0;
    std::string detail;
    const kavra::SetupStep::Progress progress = m_setup->Advance(error, detail);
    if (progress == kavra::SetupStep::Progress::Failed) {
        // No descriptor is left for the owner to close: the failure is
        // reported through the result and GetLastError, not HasFailed.
        m_setup.reset();
        m_lastError = error;
        m_lastErrorDetail = detail;
        return 0;
    }
    if (progress != kavra::SetupStep::Progress::Done) {
        return -1;
    }
    m_handle = m_setup->TakeHandle();
    m_stream = m_setup->TakeStream();
    m_setup.reset();
    m_lastError = 0;
    m_lastInput = Clock::now();
    return 1;
}

CSocket::ConnectWait CSocket::GetConnectWait() const {
    ConnectWait wait;
    if (m_setup) {
        wait.handle = m_setup->Handle();
        wait.write = m_setup->WantsWrite();
        wait.by = m_setup->WakeBy();
    }
    return wait;
}

void CSocket::AbortConnect() {
    if (m_setup) {
        m_setup.reset();
        m_lastError = ECANCELED;
    }
}

int CSocket::SetTls(const kavra::TlsOptions& tls) {
    m_tls = tls;
    if (!tls.Enabled()) {
        m_tlsLayer.reset();
        stackLayers();
        return 0;
    }
    // Found while this socket still holds its layer: the same settings keep
    // their context, and with it the sessions a reconnect resumes.
    const auto layer = kavra::os::TlsLayer::For(tls);
    m_tlsLayer = layer;
    stackLayers();
    std::string detail;
    const int error = layer->Ready(detail);
    if (error != 0) {
        m_lastError = error;
        m_lastErrorDetail = detail;
    }
    return error;
}

int CSocket::SetProxy(const std::string& url) {
    if (url != m_proxy) {
        m_proxy = url;
        m_proxyLayer = url.empty() ? nullptr : std::make_shared<const kavra::os::ProxyLayer>(url);
        stackLayers();
    }
    std::string detail;
    const int error = m_proxyLayer ? m_proxyLayer->Ready(detail) : 0;
    if (error != 0) {
        m_lastError = error;
        m_lastErrorDetail = detail;
    }
    return error;
}

void CSocket::stackLayers() {
    m_layers.clear();
    // The tunnel first: TLS runs through it with the endpoint.
    for (const auto& layer : {m_proxyLayer, m_tlsLayer}) {
        if (layer) {
            m_layers.push_back(layer);
        }
    }
}

bool CSocket::IsEncrypted() const {
    return m_stream != nullptr && m_stream->IsEncrypted();
}

int CSocket::GetTlsVersion() const {
    return m_stream ? m_stream->ProtocolVersion() : 0;
}

std::string CSocket::GetTlsVersionName() const {
    return m_stream ? m_stream->ProtocolName() : std::string();
}

bool CSocket::IsTlsResumed() const {
    return m_stream != nullptr && m_stream->Resumed();
}

bool CSocket::HasBufferedInput() const {
    return readAheadCount() > 0 || (m_stream && m_stream->BufferedInput() > 0);
}

long CSocket::recvSome(char* dst, std::size_t n, int& error) {
    return m_stream->RecvSome(dst, n, error);
}

long CSocket::sendSome(const char* src, std::size_t n, int& error) {
    return m_stream->SendSome(src, n, error);
}

int CSocket::SetKeepAlive(unsigned int idleS, unsigned int intervalS, unsigned int count) {
    return IsOpen() ? kavra::os::SetKeepAlive(m_handle, idleS, intervalS, count) : EBADF;
}

int CSocket::SetUnacknowledgedLimit(unsigned int ms) {
    return IsOpen() ? kavra::os::SetUnacknowledgedLimit(m_handle, ms) : EBADF;
}

int CSocket::Reconnect(unsigned int timeoutMs) {
    if (m_host.empty()) {
        Close();
        m_lastError = EDESTADDRREQ;
        return 0;
    }
    return Connect(m_host, m_port, timeoutMs);
}

void CSocket::Attach(Handle handle) {
    Close();
    // The endpoint of a foreign descriptor is unknown, so the one of an
    // earlier Connect must not be reused by Reconnect.
    m_host.clear();
    m_port = 0;
    m_lastError = 0;
    m_handle = handle;
    m_lastInput = Clock::now();
    if (handle == INVALID_HANDLE) {
        return;
    }
    m_stream = std::make_unique<kavra::TcpStream>(handle);
    const int error = kavra::os::PrepareConnected(handle);
    if (error != 0) {
        fail(error);
    }
}

void CSocket::Close() {
    m_setup.reset();
    if (m_handle != INVALID_HANDLE) {
        // Held bytes get one attempt that does not wait; whatever the stack
        // does not take at once is lost with the connection.
        flushBy(Clock::now(), true);
        // The stream's orderly end (TLS: close_notify), unless part of a unit
        // is still waiting: the peer is to see the stream cut short then.
        if (!m_stream->HasPendingOutput()) {
            m_stream->Shutdown();
        }
        m_stream.reset();
        kavra::os::CloseSocket(m_handle);
        m_handle = INVALID_HANDLE;
    }
    m_failed = false;
    // Bytes of an old connection must never be served on a new one.
    dropReadAhead();
}

void CSocket::SetWriteTally(std::shared_ptr<kavra::WriteTally> tally) {
    m_tally = std::move(tally);
}

void CSocket::dropReadAhead() {
    m_readBegin = 0;
    m_readEnd = 0;
}

long CSocket::readSome(char* dst, int n, int& error) {
    const long got = readSomeAhead(dst, n, error);
    if (got > 0) {
        m_lastInput = Clock::now();
    }
    return got;
}

long CSocket::readSomeAhead(char* dst, int n, int& error) {
    const std::size_t want = static_cast<std::size_t>(n);
    if (want >= READ_AHEAD_BYTES) {
        return recvSome(dst, want, error);
    }
    const long got = refillReadAhead(error);
    if (got <= 0) {
        return got;
    }
    const std::size_t take = want < m_readEnd ? want : m_readEnd;
    std::memcpy(dst, m_readAhead.get(), take);
    m_readBegin = take;
    return static_cast<long>(take);
}

long CSocket::refillReadAhead(int& error) {
    if (!m_readAhead) {
        m_readAhead = std::make_unique<char[]>(READ_AHEAD_BYTES);
    }
    // Called only with the read-ahead empty, so it refills from the start.
    const long got = recvSome(m_readAhead.get(), READ_AHEAD_BYTES, error);
    if (got > 0) {
        m_readBegin = 0;
        m_readEnd = static_cast<std::size_t>(got);
    }
    return got;
}

int CSocket::ReadArrived() {
    if (!IsConnected()) {
        return -1;
    }
    if (readAheadCount() == 0) {
        int error = 0;
        const long got = refillReadAhead(error);
        if (got == 0 || (got < 0 && error != EAGAIN)) {
            fail(got == 0 ? 0 : error);
            return -1;
        }
        if (got < 0) {
            return 0;
        }
        m_lastInput = Clock::now();
    }
    return static_cast<int>(readAheadCount());
}

int CSocket::Send(const void* src, int n, int timeoutMs) {
    if (m_corked) {
        return holdBack(src, n, timeoutMs);
    }
    if (!IsConnected() || src == nullptr || n <= 0) {
        return 0;
    }
    const auto deadline = deadlineAfter(timeoutMs);
    const std::size_t size = static_cast<std::size_t>(n);
    if (m_writeLen > 0 && size <= WRITE_BEHIND_BYTES - m_writeLen) {
        // The held bytes go first; with these behind them, both leave in one
        // system call.
        const std::size_t held = m_writeLen;
        std::memcpy(m_writeBehind.get() + held, src, size);
        const std::size_t total = held + size;
        m_writeLen = 0;
        const auto written =
            static_cast<std::size_t>(writeAll(m_writeBehind.get(), static_cast<int>(total), deadline));
        settleWrite(written, total, false);
        return written > held ? static_cast<int>(written - held) : 0;
    }
    if (!flushBy(deadline)) {
        return 0;
    }
    const int done = writeAll(static_cast<const char*>(src), n, deadline);
    settleWrite(static_cast<std::size_t>(done), size, false);
    return done;
}

int CSocket::holdBack(const void* src, int n, int timeoutMs) {
    if (!IsConnected() || src == nullptr || n <= 0) {
        return 0;
    }
    const std::size_t size = static_cast<std::size_t>(n);
    if (size > WRITE_BEHIND_BYTES - m_writeLen && !flushBy(deadlineAfter(timeoutMs))) {
        return 0;
    }
    if (size >= WRITE_BEHIND_BYTES) {
        const int done = writeAll(static_cast<const char*>(src), n, deadlineAfter(timeoutMs));
        settleWrite(static_cast<std::size_t>(done), size, false);
        return done;
    }
    if (!m_writeBehind) {
        m_writeBehind = std::make_unique<char[]>(WRITE_BEHIND_BYTES);
    }
    std::memcpy(m_writeBehind.get() + m_writeLen, src, size);
    m_writeLen += size;
    m_heldEnds.push_back(m_writeLen);
    if (m_tally != nullptr) {
        m_tally->held.fetch_add(1, std::memory_order_relaxed);
    }
    m_flushTimeoutMs = timeoutMs;
    return n;
}

bool CSocket::flush() {
    // Most batches end with nothing held: no clock read for them.
    return m_writeLen == 0 || flushBy(deadlineAfter(m_flushTimeoutMs));
}

bool CSocket::Uncork() {
    m_corked = false;
    return flush();
}

bool CSocket::flushBy(Clock::time_point deadline, bool closing) {
    if (m_writeLen == 0) {
        return true;
    }
    const std::size_t total = m_writeLen;
    // Whatever the write leaves over is dropped: a later write must not
    // carry the rest of a frame that the peer has given up on.
    m_writeLen = 0;
    const auto written = IsConnected() ? static_cast<std::size_t>(writeAll(
                                             m_writeBehind.get(), static_cast<int>(total), deadline))
                                       : 0;
    settleWrite(written, total, closing);
    return written == total;
}

void CSocket::settleWrite(std::size_t written, std::size_t total, bool closing) {
    // The held writes come first in what was written; one counts as accepted
    // once its last byte went.
    std::size_t accepted = 0;
    for (const std::size_t end : m_heldEnds) {
        accepted += end <= written ? 1 : 0;
    }
    const bool live = IsConnected() && !closing;
    if (m_tally != nullptr && !m_heldEnds.empty()) {
        m_tally->accepted.fetch_add(accepted, std::memory_order_relaxed);
        m_tally->acceptedBytes.fetch_add(accepted > 0 ? m_heldEnds[accepted - 1] : 0,
                                         std::memory_order_relaxed);
        if (!m_keepUnsent) {
            auto& dropped = live ? m_tally->droppedTimedOut : m_tally->droppedFailed;
            dropped.fetch_add(m_heldEnds.size() - accepted, std::memory_order_relaxed);
        }
    }
    if (m_keepUnsent) {
        keepHeldFrom(accepted);
    } else {
        m_heldEnds.clear();
    }
    if (isTorn(written, total) && live) {
        fail(ETIMEDOUT);
        if (m_tally != nullptr) {
            m_tally->outOfStepCloses.fetch_add(1, std::memory_order_relaxed);
        }
    }
}

// The one rule of a torn unit. A write cut short by the deadline inside one
// caller's bytes (a frame): the peer has the front of them, and nothing sent
// later may follow it. A write that leaves part of one of the stream's own
// units waiting (a TLS record): the peer would see it cut, whatever caller's
// boundary the plaintext stopped at.
bool CSocket::isTorn(std::size_t written, std::size_t total) const {
    if (m_stream && m_stream->HasPendingOutput()) {
        return true;
    }
    if (written == 0 || written == total) {
        return false;
    }
    for (const std::size_t end : m_heldEnds) {
        if (end == written) {
            return false;
        }
    }
    return true;
}

void CSocket::keepHeldFrom(std::size_t first) {
    if (first >= m_heldEnds.size()) {
        m_heldEnds.clear();
        m_writeLen = 0;
        return;
    }
    const std::size_t start = first == 0 ? 0 : m_heldEnds[first - 1];
    const std::size_t end = m_heldEnds.back();
    std::memmove(m_writeBehind.get(), m_writeBehind.get() + start, end - start);
    m_heldEnds.erase(m_heldEnds.begin(), m_heldEnds.begin() + static_cast<std::ptrdiff_t>(first));
    for (std::size_t& heldEnd : m_heldEnds) {
        heldEnd -= start;
    }
    m_writeLen = end - start;
}

int CSocket::writeAll(const char* src, int n, Clock::time_point deadline) {
    int done = 0;
    while (done < n) {
        int error = 0;
        const long sent = sendSome(src + done, static_cast<std::size_t>(n - done), error);
        if (sent > 0) {
            done += static_cast<int>(sent);
            continue;
        }
        if (sent < 0 && error != EAGAIN) {
            fail(error);
            break;
        }
        if (waitFor(Direction::Write, deadline) != 1) {
            break;
        }
    }
    // Bytes count as written once the stream's unit that carries them went
    // whole; a part of one still waiting has torn the stream.
    if (!drainStream(deadline)) {
        done -= static_cast<int>(m_stream->UnsentTaken());
    }
    return done;
}

bool CSocket::drainStream(Clock::time_point deadline) {
    while (IsConnected() && m_stream->HasPendingOutput()) {
        int error = 0;
        if (m_stream->FlushSome(error)) {
            break;
        }
        if (error != EAGAIN) {
            fail(error);
            break;
        }
        if (waitFor(Direction::Write, deadline) != 1) {
            break;
        }
    }
    return !m_stream->HasPendingOutput();
}

int CSocket::waitFor(Direction direction, Clock::time_point deadline) {
    const int waitMs = kavra::os::MsUntil(deadline);
    if (waitMs == 0) {
        return 0;
    }
    int error = 0;
    const int ready = kavra::os::WaitReady(
        m_handle, direction == Direction::Write ? kavra::os::Direction::Write : kavra::os::Direction::Read,
        waitMs, error);
    if (ready < 0) {
        fail(error);
    }
    return ready < 0 ? -1 : (ready == 0 ? 0 : 1);
}

int CSocket::Receive(void* dst, int n, int timeoutMs) {
    if (IsConnected() && HasHeldOutput()) {
        flush();
    }
    if (!IsConnected() || dst == nullptr || n <= 0) {
        return 0;
    }
    char* bytes = static_cast<char*>(dst);
    int done = 0;
    if (readAheadCount() > 0) {
        const std::size_t buffered = readAheadCount();
        const std::size_t take =
            static_cast<std::size_t>(n) < buffered ? static_cast<std::size_t>(n) : buffered;
        std::memcpy(bytes, m_readAhead.get() + m_readBegin, take);
        m_readBegin += take;
        done = static_cast<int>(take);
        if (done == n) {
            return done;
        }
    }
    const auto deadline = deadlineAfter(timeoutMs);
    while (done < n) {
        int error = 0;
        const long got = readSome(bytes + done, n - done, error);
        if (got > 0) {
            done += static_cast<int>(got);
            continue;
        }
        if (got == 0) {
            fail(0);
            break;
        }
        if (error != EAGAIN) {
            fail(error);
            break;
        }
        if (waitFor(Direction::Read, deadline) != 1) {
            break;
        }
    }
    return done;
}

int CSocket::Available() const {
    if (!IsOpen()) {
        return -1;
    }
    // Bytes a layer has not decoded yet count as they are: an upper bound.
    const std::size_t plain = readAheadCount() + m_stream->BufferedInput();
    const int buffered = plain > INT_MAX ? INT_MAX : static_cast<int>(plain);
    const int waiting = kavra::os::ReadableBytes(m_handle);
    if (waiting < 0) {
        return buffered > 0 ? buffered : -1;
    }
    return waiting > INT_MAX - buffered ? INT_MAX : buffered + waiting;
}

bool CSocket::PeerClosed() {
    if (!IsOpen() || HasBufferedInput()) {
        return false;
    }
    int error = 0;
    switch (m_stream->PeekForClose(error)) {
    case kavra::os::PeekResult::Closed:
        fail(0);
        return true;
    case kavra::os::PeekResult::Failed:
        // A reset or other error ends the connection just as a close does.
        fail(error);
        return true;
    case kavra::os::PeekResult::Data:
    case kavra::os::PeekResult::Empty:
        break;
    }
    return false;
}

unsigned short CSocket::GetLocalPort() const {
    return IsOpen() ? kavra::os::LocalPort(m_handle) : 0;
}

void CSocket::fail(int error) {
    m_failed = true;
    m_lastError = error;
    m_lastErrorDetail = m_stream && HasDetail(error) ? m_stream->Detail() : std::string();
}
