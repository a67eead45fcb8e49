// The pump between a TLS engine and a non-blocking socket: the same code for
// every system's engine.
#include "base/os/tls/TlsStream.h"

#include "base/os/TcpStream.h"

#include "kavra/TlsErrors.h"

#include <algorithm>
#include <cerrno>

namespace kavra::os {

namespace {

// A whole record of the largest size on the wire, with its header and tag:
// the least one socket read asks for.
constexpr std::size_t RECORD_WIRE_BYTES = 16 * 1024 + 512;
// The most one socket read asks for: about what fills a plain reader's
// buffer (CSocket reads ahead 64 KiB).
constexpr std::size_t WIRE_READ_BYTES = 64 * 1024;
// Socket reads one RecvSome makes at most while the caller's buffer has
// room and the socket keeps giving full reads, so that a flooding peer
// cannot hold the caller.
constexpr int WIRE_READS_PER_CALL = 4;
// Plaintext in one record: the largest TLS allows.
constexpr std::size_t PLAIN_RECORD_BYTES = 16 * 1024;
// Plaintext one SendSome encrypts at most: a socket's batch (CSocket holds
// back up to 64 KiB), cut into whole records.
constexpr std::size_t PLAIN_BATCH_BYTES = 4 * PLAIN_RECORD_BYTES;
// Plaintext the engine is asked for in one read into the stream's buffer.
constexpr std::size_t PLAIN_READ_BYTES = 16 * 1024;

bool IsPeerGone(int error) {
    return error == ECONNRESET || error == EPIPE || error == ECONNABORTED;
}

} // namespace

TlsStream::TlsStream(std::unique_ptr<ByteStream> next, std::unique_ptr<TlsEngine> engine)
    : m_next(std::move(next)), m_engine(std::move(engine)) {
    m_enginePulls = m_engine->SetSource(this);
}

TlsStream::TlsStream(SocketHandle handle, std::unique_ptr<TlsEngine> engine)
    : TlsStream(std::make_unique<TcpStream>(handle), std::move(engine)) {}

TlsStream::~TlsStream() = default;

// Takes the peer's next handshake bytes, if any came, and gives them to the
// engine: 0, EAGAIN when none are there yet, or the error.
int TlsStream::handshakeInput() {
    int error = 0;
    const long got =
        m_next->RecvSome(m_engine->InputSpace(RECORD_WIRE_BYTES), RECORD_WIRE_BYTES, error);
    if (got > 0) {
        m_engine->InputAdded(static_cast<std::size_t>(got));
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

// Plaintext from the engine into dst, at most n: the count, or 0 when the
// engine needs more input or the session has ended or failed (m_closeNotify
// and m_engineError tell).
std::size_t TlsStream::readEngine(char* dst, std::size_t n) {
    if (m_engineError != 0 || m_closeNotify) {
        return 0;
    }
    int error = 0;
    std::string detail;
    const long got = m_engine->Read(dst, n, error, detail);
    if (got > 0) {
        return static_cast<std::size_t>(got);
    }
    if (got == 0) {
        m_closeNotify = true;
    } else if (error != EAGAIN) {
        m_engineError = error;
        m_detail = detail;
    }
    return 0;
}

// Takes every plaintext byte the engine can give from the input so far into
// the stream's buffer, where a wait on the socket cannot miss it.
void TlsStream::decrypt() {
    for (;;) {
        const std::size_t got = readEngine(m_plain.Room(PLAIN_READ_BYTES), PLAIN_READ_BYTES);
        if (got == 0) {
            break;
        }
        m_plain.Commit(got);
    }
    flushAfterRead();
}

// What reading produced (an alert, an answer to a key update) goes now if
// the socket takes it; otherwise before the next write.
void TlsStream::flushAfterRead() {
    if (m_engine->OutputSize() > 0) {
        int ignored = 0;
        FlushSome(ignored);
    }
}

// One read of up to n wire bytes from the stream below into dst: the
// count, or 0 when nothing came (EAGAIN, or the stream has ended or failed,
// which stickyError and m_closeNotify then tell).
std::size_t TlsStream::readWire(char* dst, std::size_t n) {
    if (m_closeNotify || stickyError() != 0) {
        return 0;
    }
    int error = 0;
    const long got = m_next->RecvSome(dst, n, error);
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
    return static_cast<std::size_t>(got);
}

// One read of up to want wire bytes straight into the engine's input.
std::size_t TlsStream::receiveWire(std::size_t want) {
    const std::size_t got = readWire(m_engine->InputSpace(want), want);
    if (got > 0) {
        m_engine->InputAdded(got);
    }
    return got;
}

// The engine's own read, while RecvSome allows one; a short read means the
// socket is empty, and the call makes no more.
std::size_t TlsStream::Pull(char* dst, std::size_t n) {
    if (m_pullsLeft == 0) {
        return 0;
    }
    --m_pullsLeft;
    const std::size_t got = readWire(dst, n);
    if (got < n) {
        m_pullsLeft = 0;
    }
    return got;
}

// Decrypts into dst with an engine that reads the socket itself: the count.
// engineDrained: the engine asked for input it did not get (it holds no
// plaintext then).
std::size_t TlsStream::readThrough(char* dst, std::size_t n, bool& engineDrained) {
    std::size_t copied = 0;
    m_pullsLeft = WIRE_READS_PER_CALL;
    while (copied < n) {
        // A caller with little room left takes what it has rather than
        // making a read whose plaintext would have to wait in the stream.
        if (copied > 0 && n - copied < RECORD_WIRE_BYTES) {
            m_pullsLeft = 0;
        }
        const std::size_t got = readEngine(dst + copied, n - copied);
        engineDrained = got == 0;
        if (engineDrained) {
            break;
        }
        copied += got;
    }
    m_pullsLeft = 0;
    return copied;
}

// The same with an engine that is fed: socket reads into its input between
// its reads.
std::size_t TlsStream::readFed(char* dst, std::size_t n, bool& engineDrained) {
    std::size_t copied = 0;
    for (int reads = 0; copied < n;) {
        const std::size_t got = readEngine(dst + copied, n - copied);
        if (got > 0) {
            copied += got;
            engineDrained = false;
            continue;
        }
        engineDrained = true;
        const std::size_t room = n - copied;
        if (reads == WIRE_READS_PER_CALL || (copied > 0 && room < RECORD_WIRE_BYTES)) {
            break;
        }
        const std::size_t want = std::clamp(room, RECORD_WIRE_BYTES, WIRE_READ_BYTES);
        const std::size_t came = receiveWire(want);
        ++reads;
        if (came == 0) {
            break;
        }
        if (came < want) {
            // The socket is empty: decrypt what came, then stop.
            reads = WIRE_READS_PER_CALL;
        }
    }
    return copied;
}

long TlsStream::RecvSome(void* dst, std::size_t n, int& error) {
    char* out = static_cast<char*>(dst);
    std::size_t copied = m_plain.Take(out, n);
    // Records decrypt straight into the caller's buffer; only what does not
    // fit there waits in the stream's.
    bool engineDrained = true;
    if (copied < n) {
        copied += m_enginePulls ? readThrough(out + copied, n - copied, engineDrained)
                                : readFed(out + copied, n - copied, engineDrained);
    }
    if (!engineDrained) {
        decrypt();
    } else {
        flushAfterRead();
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
    if (!HasBufferedInput() && receiveWire(RECORD_WIRE_BYTES) > 0) {
        decrypt();
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

// Counts the output the engine made since the last call as one unit that
// carries plain bytes of the caller's: they are sent once its last byte is.
void TlsStream::trackOutput(std::size_t plain) {
    const std::size_t made = m_engine->OutputSize() - m_trackedWire;
    if (made == 0) {
        return;
    }
    m_units.push_back(OutputUnit{made, plain});
    m_trackedWire += made;
    m_unsentPlain += plain;
}

void TlsStream::outputSent(std::size_t sent) {
    m_trackedWire -= sent;
    while (sent > 0) {
        OutputUnit& unit = m_units.front();
        const std::size_t part = std::min(sent, unit.wireLeft);
        unit.wireLeft -= part;
        sent -= part;
        if (unit.wireLeft == 0) {
            m_unsentPlain -= unit.plain;
            m_units.pop_front();
        }
    }
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
    // has room, so that a writer stopped by a full socket took nothing. One
    // look per batch, however many records it makes.
    const int ready = WaitReady(Handle(), Direction::Write, 0, error);
    if (ready <= 0) {
        if (ready == 0) {
            error = EAGAIN;
        }
        return -1;
    }
    const char* plain = static_cast<const char*>(src);
    const std::size_t take = std::min(n, PLAIN_BATCH_BYTES);
    for (std::size_t done = 0; done < take;) {
        const std::size_t record = std::min(take - done, PLAIN_RECORD_BYTES);
        std::string detail;
        if (m_engine->Write(plain + done, record, error, detail) < 0) {
            m_engineError = error;
            m_detail = detail;
            tookNothing();
            return -1;
        }
        trackOutput(record);
        done += record;
    }
    int sendError = 0;
    if (!FlushSome(sendError) && sendError != EAGAIN) {
        error = sendError;
        tookNothing();
        return -1;
    }
    return static_cast<long>(take);
}

// A call that fails took nothing, so no record it made may count as unsent
// plaintext: a writer subtracts that from what the calls before it took.
// Every record of those calls went whole before this one encrypted.
void TlsStream::tookNothing() {
    for (OutputUnit& unit : m_units) {
        unit.plain = 0;
    }
    m_unsentPlain = 0;
}

bool TlsStream::FlushSome(int& error) {
    if (!m_next->FlushSome(error)) {
        return false;
    }
    // Output the session made on its own (handshake, alerts, answers made
    // while reading) goes in order with the records, carrying no caller's byte.
    trackOutput(0);
    while (m_engine->OutputSize() > 0) {
        const long sent = m_next->SendSome(m_engine->OutputData(), m_engine->OutputSize(), error);
        if (sent <= 0) {
            if (sent == 0) {
                error = EAGAIN;
            }
            return false;
        }
        m_engine->ConsumeOutput(static_cast<std::size_t>(sent));
        outputSent(static_cast<std::size_t>(sent));
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

bool TlsStream::Resumed() const {
    return m_engine->Resumed();
}

} // namespace kavra::os
