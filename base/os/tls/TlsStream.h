// TLS as a layer of the stream chain (ByteStream.h): a stream over the
// stream below it (plain TCP, or another layer), so that CSocket reads
// ahead, corks, waits and applies its rule of torn writes the same way over
// TLS and over plain TCP. It owns the engine and the stream below, not the
// descriptor.
//
// Writes: SendSome takes a whole batch (up to 64 KiB), cuts it into records
// of up to 16 KiB and sends as much of their bytes as the socket takes in one
// send; the taken bytes are part of the stream from then on. What the socket
// did not take yet waits as pending output and goes first with the next
// SendSome or FlushSome, which take nothing new until it is gone. A writer
// that gives up while output is pending has torn the stream (the peer would
// see a partial record, or records whose predecessor never came) and must
// close the connection; the plaintext of every record not yet on the wire
// whole counts as not written (UnsentTaken). A socket error while a batch
// goes out is SendSome's error, and that call took nothing. SendSome looks
// once per call whether the socket has room and encrypts nothing when it has
// none, so a writer that times out against a stalled peer with nothing taken
// leaves the stream whole.
//
// Reads: RecvSome takes wire bytes off the socket in large reads and
// decrypts into the caller's buffer. An engine that reads from the stream
// itself (TlsEngine::SetSource) receives them straight into its TLS
// library's buffer, and may do so only inside RecvSome, a bounded number of
// times; another engine gets them in its input. One call may
// return nothing new (EAGAIN) when only a partial record or a post-handshake
// message arrived, so a loop must wait again rather than treat readability
// as data. Decrypted bytes that did not fit wait in the stream
// (HasBufferedInput) and do not wake a wait on the socket; the engine is
// left holding no plaintext after any call.
//
// One thread at a time: the socket's owner.
#pragma once

#include "base/os/ByteStream.h"
#include "base/os/SetupStep.h"
#include "base/os/SocketApi.h"
#include "base/os/tls/ByteQueue.h"
#include "base/os/tls/TlsEngine.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <string>

namespace kavra::os {

class TlsStream final : public ByteStream, private WireSource {
public:
    TlsStream(std::unique_ptr<ByteStream> next, std::unique_ptr<TlsEngine> engine);
    // Directly over a connected socket.
    TlsStream(SocketHandle handle, std::unique_ptr<TlsEngine> engine);
    ~TlsStream() override;

    // Runs the handshake by the deadline; a stop request (cancel) ends it
    // within CONNECT_CANCEL_POLL_MS. 0, or the error: a TLS code of
    // kavra/TlsErrors.h (KAVRA_TLS_CLOSED_IN_HANDSHAKE when the peer closed),
    // ETIMEDOUT, ECANCELED, or the socket's error; Detail() says more.
    int Handshake(std::chrono::steady_clock::time_point deadline, const std::atomic<bool>* cancel);
    // Moves the handshake on as far as it goes without waiting: WantRead or
    // WantWrite on Handle(), Done, or Failed with error set as above.
    SetupStep::Progress HandshakeSome(int& error);

    // As SendSome: > 0 the plaintext bytes taken (see above), or -1 with
    // error set (EAGAIN when the socket has no room).
    long SendSome(const void* src, std::size_t n, int& error) override;
    // As RecvSome: > 0 plaintext bytes, 0 once the peer's close_notify
    // arrived, -1 with error set: EAGAIN, KAVRA_TLS_TRUNCATED when the
    // connection ended without close_notify, another TLS code, or the
    // socket's error.
    long RecvSome(void* dst, std::size_t n, int& error) override;
    // Sends pending output without waiting: true when none is left, false
    // with error set (EAGAIN: the socket has no room now).
    bool FlushSome(int& error) override;

    SocketHandle Handle() const override { return m_next->Handle(); }
    bool HasPendingOutput() const override;
    // Plaintext that SendSome took whose record has not gone out whole: the
    // bytes a writer that gives up now must count as not written. SendSome
    // encrypts only when nothing waits, so these are the tail of its last
    // call (a whole number of its records), at most what that call took
    // (none when it failed).
    std::size_t UnsentPlain() const { return m_unsentPlain; }
    std::size_t UnsentTaken() const override { return UnsentPlain(); }
    bool HasBufferedInput() const { return !m_plain.Empty(); }
    std::size_t BufferedInput() const override { return m_plain.Size(); }
    // After the handshake: the cipher suite agreed ("" where the engine does
    // not say).
    std::string CipherName() const { return m_engine->CipherName(); }
    // Only a read tells close_notify from a cut; what it decrypts waits as
    // buffered input.
    PeekResult PeekForClose(int& error) override;

    // close_notify, given one write that does not wait; the caller closes the
    // socket afterwards.
    void Shutdown() override;

    // The detail of the last failure, for people.
    const std::string& Detail() const override { return m_detail; }
    bool IsEncrypted() const override { return true; }
    int ProtocolVersion() const override;
    std::string ProtocolName() const override;
    bool Resumed() const override;

private:
    int handshakeInput();
    std::size_t Pull(char* dst, std::size_t n) override;
    std::size_t readThrough(char* dst, std::size_t n, bool& engineDrained);
    std::size_t readFed(char* dst, std::size_t n, bool& engineDrained);
    std::size_t readWire(char* dst, std::size_t n);
    std::size_t readEngine(char* dst, std::size_t n);
    void decrypt();
    void flushAfterRead();
    std::size_t receiveWire(std::size_t want);
    void trackOutput(std::size_t plain);
    void outputSent(std::size_t sent);
    void tookNothing();
    int stickyError() const { return m_engineError != 0 ? m_engineError : m_readError; }

    std::unique_ptr<ByteStream> m_next;
    std::unique_ptr<TlsEngine> m_engine;
    // Decrypted bytes the caller had no room for.
    ByteQueue m_plain;
    std::string m_detail;
    bool m_closeNotify = false;
    // The engine reads from this stream itself (Pull), and how many socket
    // reads it may still make: only inside RecvSome, else none.
    bool m_enginePulls = false;
    int m_pullsLeft = 0;
    // The engine's output in order, in units: each record SendSome made with
    // its plaintext count, and what the session made on its own (no
    // plaintext). A unit leaves once its last wire byte is sent.
    struct OutputUnit {
        std::size_t wireLeft;
        std::size_t plain;
    };
    std::deque<OutputUnit> m_units;
    std::size_t m_trackedWire = 0;
    std::size_t m_unsentPlain = 0;
    // Where the handshake stands: the engine waits for the peer, or is done.
    bool m_needInput = false;
    bool m_handshakeDone = false;
    // Sticky failures: the engine's (a TLS code; the session is dead both
    // ways) and the receive side's (the socket's error, or truncation).
    int m_engineError = 0;
    int m_readError = 0;
};

} // namespace kavra::os
