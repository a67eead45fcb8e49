// The pump between a TLS engine and a non-blocking socket: the same code for
// every system's engine.
#include "base/os/tls/TlsStream.h"

#include "base/os/TcpStream.h"

#include "kavra/TlsErrors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kavra::os {

namespace {

// Wire bytes taken off the socket in one read: a whole record of the
// largest size with its header and tag.
constexpr std::size_t WIRE_READ_BYTES = 16 * 1024 + 512;
// Socket reads one RecvSome makes at most while the caller's buffer has
// room and the socket keeps giving full reads, so that one call reads about
// as much as a plain read would, and a flooding peer cannot hold the caller.
constexpr int WIRE_READS_PER_CALL = 4;
// Plaintext one SendSome encrypts at most: one record, so that what a
// writer that gives up has really sent is known to the byte.
constexpr std::size_t PLAIN_WRITE_BYTES = 16 * 1024;
// Plaintext the engine is asked for in one read.
constexpr std::size_t PLAIN_READ_BYTES = 16 * 1024;

bool IsPeerGone(int error) {
    return error == ECONNRESET || error == EPIPE || error == ECONNABORTED;
}

} // namespace

TlsStream::TlsStream(std::unique_ptr<ByteStream> next, std::unique_ptr<TlsEngine> engine)
    : m_next(std::move(next)), m_engine(std::move(engine)), m_wireIn(WIRE_READ_BYTES) {}

TlsStream::TlsStream(SocketHandle handle, std::unique_ptr<TlsEngine> engine)
    : TlsStream(std::make_unique<TcpStream>(handle), std::move(engine)) {}

TlsStream::~TlsStream() = default;

// Takes the peer's next handshake bytes, if any came, and gives them to the
// engine: 0, EAGAIN when none are there yet, or the error.
int TlsStream::handshakeInput() {
    int error = 0;
    const long got = m_next->RecvSome(m_wireIn.data(), m_wireIn.size(), error);
    if (got > 0) {
        m_engine->PutInput(m_wireIn.data(), static_cast<std::size_t>(got));
        return 0;
    }
    if (got == 0 || IsPeerGone(error)) {
        m_detail = got == 0 ? "the peer closed the connection during the TLS handshake"
                            : "the peer reset the connection during the TLS handshake";
        return KAVRA_TLS_CLOSED_IN_HANDSHAKE;
    }
    return error;
}

SetupStep::Progress TlsStream::HandshakeSome(int& error) {
    for (;;) {
        if (HasPendingOutput()) {
            if (!FlushSome(error)) {
                if (IsPeerGone(error)) {
                    m_detail = "the peer reset the connection during the TLS handshake";
                    error = KAVRA_TLS_CLOSED_IN_HANDSHAKE;
                }
                return error == EAGAIN ? SetupStep::Progress::WantWrite
                                       : SetupStep::Progress::Failed;
            }
        }
        if (m_handshakeDone) {
            // Data that came with the peer's last handshake bytes waits in
            // the engine, where no wait on the socket would see it.
            decrypt();
            return SetupStep::Progress::Done;
        }
        if (m_needInput) {
            const int got = handshakeInput();
            if (got == EAGAIN) {
                return SetupStep::Progress::WantRead;
            }
            if (got != 0) {
                error = got;
                return SetupStep::Progress::Failed;
            }
        }
        std::string detail;
        const TlsEngine::Progress progress = m_engine->Handshake(error, detail);
        if (progress == TlsEngine::Progress::Failed) {
            // The engine's alert tells the peer why, if the socket takes it now.
            int ignored = 0;
            FlushSome(ignored);
            m_engineError = error;
            m_detail = detail;
            return SetupStep::Progress::Failed;
        }
        m_handshakeDone = progress == TlsEngine::Progress::Done;
        m_needInput = !m_handshakeDone;
    }
}

int TlsStream::Handshake(std::chrono::steady_clock::time_point deadline,
                         const std::atomic<bool>* cancel) {
    for (;;) {
        int error = 0;
        const SetupStep::Progress progress = HandshakeSome(error);
        if (progress == SetupStep::Progress::Done || progress == SetupStep::Progress::Failed) {
            return progress == SetupStep::Progress::Done ? 0 : error;
        }
        const Direction direction =
            progress == SetupStep::Progress::WantRead ? Direction::Read : Direction::Write;
        const int waited = WaitReadyBy(Handle(), direction, deadline, cancel);
        if (waited != 0) {
            return waited;
        }
    }
}

// Takes every plaintext byte the engine can give from the input so far.
void TlsStream::decrypt() {
    if (m_plainBegin == m_plain.size()) {
        m_plain.clear();
        m_plainBegin = 0;
    }
    while (m_engineError == 0 && !m_closeNotify) {
        const std::size_t at = m_plain.size();
        m_plain.resize(at + PLAIN_READ_BYTES);
        int error = 0;
        std::string detail;
        const long got = m_engine->Read(m_plain.data() + at, PLAIN_READ_BYTES, error, detail);
        m_plain.resize(at + (got > 0 ? static_cast<std::size_t>(got) : 0));
        if (got > 0) {
            continue;
        }
        if (got == 0) {
            m_closeNotify = true;
        } else if (error != EAGAIN) {
            m_engineError = error;
            m_detail = detail;
        }
        break;
    }
    // What reading produced (an alert, an answer to a key update) goes now
    // if the socket takes it; otherwise before the next write.
    int ignored = 0;
    FlushSome(ignored);
}

std::size_t TlsStream::takePlain(char* dst, std::size_t n) {
    const std::size_t count = std::min(n, m_plain.size() - m_plainBegin);
    if (count > 0) {
        std::memcpy(dst, m_plain.data() + m_plainBegin, count);
        m_plainBegin += count;
    }
    return count;
}

// One read of wire bytes from the stream below into the engine, and what it
// decrypts: the count read, or 0 when nothing came (EAGAIN, or the stream
// has ended or failed, which stickyError and m_closeNotify then tell).
long TlsStream::readWire() {
    if (m_closeNotify || stickyError() != 0) {
        return 0;
    }
    int error = 0;
    const long got = m_next->RecvSome(m_wireIn.data(), m_wireIn.size(), error);
    if (got == 0) {
        m_readError = KAVRA_TLS_TRUNCATED;
        m_detail = "the connection ended without the peer's TLS close_notify";
        return 0;
    }
    if (got < 0) {
        if (error != EAGAIN) {
            m_readError = error;
        }
        return 0;
    }
    m_engine->PutInput(m_wireIn.data(), static_cast<std::size_t>(got));
    decrypt();
    return got;
}

long TlsStream::RecvSome(void* dst, std::size_t n, int& error) {
    char* out = static_cast<char*>(dst);
    std::size_t copied = takePlain(out, n);
    for (int reads = 0; copied < n && reads < WIRE_READS_PER_CALL; ++reads) {
        const long got = readWire();
        copied += takePlain(out + copied, n - copied);
        if (static_cast<std::size_t>(got) < m_wireIn.size()) {
            break;
        }
    }
    if (copied > 0) {
        return static_cast<long>(copied);
    }
    if (stickyError() != 0) {
        error = stickyError();
        return -1;
    }
    if (m_closeNotify) {
        return 0;
    }
    error = EAGAIN;
    return -1;
}

PeekResult TlsStream::PeekForClose(int& error) {
    if (!HasBufferedInput()) {
        readWire();
    }
    if (HasBufferedInput()) {
        return PeekResult::Data;
    }
    if (stickyError() != 0) {
        error = stickyError();
        return PeekResult::Failed;
    }
    return m_closeNotify ? PeekResult::Closed : PeekResult::Empty;
}

long TlsStream::SendSome(const void* src, std::size_t n, int& error) {
    if (m_engineError != 0) {
        error = m_engineError;
        return -1;
    }
    if (HasPendingOutput() && !FlushSome(error)) {
        return -1;
    }
    // Encrypted bytes cannot be taken back: encrypt only when the socket
    // has room, so that a writer stopped by a full socket took nothing.
    const int ready = WaitReady(Handle(), Direction::Write, 0, error);
    if (ready <= 0) {
        if (ready == 0) {
            error = EAGAIN;
        }
        return -1;
    }
    std::string detail;
    const long taken = m_engine->Write(static_cast<const char*>(src),
                                       std::min(n, PLAIN_WRITE_BYTES), error, detail);
    if (taken < 0) {
        m_engineError = error;
        m_detail = detail;
        return -1;
    }
    m_lastWritePlain = static_cast<std::size_t>(taken);
    m_recordLeft = m_engine->OutputSize();
    int sendError = 0;
    if (!FlushSome(sendError) && sendError != EAGAIN) {
        error = sendError;
        return -1;
    }
    return taken;
}

bool TlsStream::FlushSome(int& error) {
    if (!m_next->FlushSome(error)) {
        return false;
    }
    while (m_engine->OutputSize() > 0) {
        const long sent = m_next->SendSome(m_engine->OutputData(), m_engine->OutputSize(), error);
        if (sent <= 0) {
            if (sent == 0) {
                error = EAGAIN;
            }
            return false;
        }
        m_engine->ConsumeOutput(static_cast<std::size_t>(sent));
        m_recordLeft -= std::min(m_recordLeft, static_cast<std::size_t>(sent));
    }
    return true;
}

bool TlsStream::HasPendingOutput() const {
    return m_engine->OutputSize() > 0 || m_next->HasPendingOutput();
}

void TlsStream::Shutdown() {
    if (m_engineError != 0) {
        return;
    }
    m_engine->Shutdown();
    int ignored = 0;
    FlushSome(ignored);
}

int TlsStream::ProtocolVersion() const {
    return m_engine->ProtocolVersion();
}

std::string TlsStream::ProtocolName() const {
    return m_engine->ProtocolName();
}

} // namespace kavra::os
