// One TLS session, as a transformer between plaintext and the bytes on the
// wire. It makes no system call: the caller (TlsStream) moves wire bytes
// between the engine and the socket, or lends it a source that does
// (SetSource), so that one engine per system (OpenSSL
// on Linux, Schannel on Windows) holds only what that system's TLS library
// needs, and the waits, deadlines, cancellation and the rules of a torn write
// live once, in TlsStream.
//
// Model: two queues of wire bytes. Input: what the peer sent (PutInput),
// consumed by Handshake and Read. Output: what must go to the peer
// (OutputData/ConsumeOutput), produced by Handshake, Write, Shutdown and, for
// post-handshake messages (session tickets, key updates, renegotiation
// refusals), by Read. Output must be sent in order and whole: dropping any of
// it breaks the stream.
//
// Failures come back as an error code of kavra/TlsErrors.h (never an errno
// code) and a detail text in English a person can act on ("certificate has
// expired (notAfter 2026-01-01)"), for logs and the tool.
//
// One thread at a time; the owner of the socket.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace kavra::os {

// What a client asks of TLS. The public options (kavra::TlsOptions) are turned
// into this by the socket.
struct TlsSettings {
    // The name the certificate must carry and that is sent as SNI; the host
    // given to Connect when the options name none. A numeric address is
    // verified as an IP address and sent without SNI.
    std::string serverName;
    // Trusted authorities: a PEM file, or a folder of PEM files; neither: the
    // system's store.
    std::string caFile;
    std::string caFolder;
    // Client certificate (PEM, chain allowed) and its private key (PEM);
    // both or neither.
    std::string certFile;
    std::string keyFile;
    // false: any certificate for any name is accepted (insecure; only ever
    // set by an option that says so).
    bool verify = true;
    // Server side (the tool's serve and the tests' peers): certFile and keyFile
    // are the server's own; serverName, the CAs and verify are unused.
    bool server = false;

    bool operator==(const TlsSettings&) const = default;
};

// Where an engine may take the peer's bytes itself (TlsEngine::SetSource).
class WireSource {
public:
    // Up to n wire bytes into dst: the count, or 0 when none may or can be
    // read now (the source notes why).
    virtual std::size_t Pull(char* dst, std::size_t n) = 0;

protected:
    ~WireSource() = default;
};

class TlsEngine {
public:
    // True when this build has a TLS library.
    static bool Built();
    // A session for settings, or null with error (KAVRA_TLS_NOT_BUILT,
    // KAVRA_TLS_SETUP) and detail set: a context of its own (TlsContext.h)
    // made and used once. Loads files here, so that a bad path fails before
    // any connection is made.
    static std::unique_ptr<TlsEngine> Create(const TlsSettings& settings, int& error,
                                             std::string& detail);

    TlsEngine() = default;
    TlsEngine(const TlsEngine&) = delete;
    TlsEngine& operator=(const TlsEngine&) = delete;
    virtual ~TlsEngine() = default;

    // Wire bytes from the peer, in order. The engine keeps what it cannot use
    // yet (a partial record).
    virtual void PutInput(const char* data, std::size_t n) = 0;
    // The same without a copy: room for n wire bytes at the end of the
    // input, to receive into; InputAdded(k) after the first k of them came.
    // Nothing else may touch the engine between the two calls.
    virtual char* InputSpace(std::size_t n) = 0;
    virtual void InputAdded(std::size_t n) = 0;

    // Lets the engine read from source straight into its TLS library's own
    // buffer whenever its input is empty, in pieces as large as that buffer
    // takes, so that received bytes are not copied once more on their way
    // in. true when the engine will; false when it takes input only as
    // above. The source outlives the engine's use of it.
    virtual bool SetSource(WireSource* source) {
        (void)source;
        return false;
    }

    // Wire bytes that wait to go to the peer; ConsumeOutput(n) after n of
    // them went.
    virtual std::size_t OutputSize() const = 0;
    virtual const char* OutputData() const = 0;
    virtual void ConsumeOutput(std::size_t n) = 0;

    enum class Progress { Done, NeedInput, Failed };
    // Advances the handshake with the input so far (the first call starts it).
    // Done once it is complete and the certificate verified; NeedInput: send
    // the output, then give more input; Failed: error and detail set (a peer
    // that answers with something that is not TLS: KAVRA_TLS_NOT_TLS). The
    // caller reports a close of the connection during the handshake itself
    // (KAVRA_TLS_CLOSED_IN_HANDSHAKE).
    virtual Progress Handshake(int& error, std::string& detail) = 0;

    // Decrypted bytes, at most n: > 0 the count; 0 once the peer's close_notify
    // has arrived (and from then on); -1 with error set: EAGAIN when more input
    // is needed, else a TLS code (KAVRA_TLS_BAD_RECORD, KAVRA_TLS_ALERT) with
    // detail. After -1 with EAGAIN the engine holds no plaintext that more
    // reads could return without more input.
    virtual long Read(char* dst, std::size_t n, int& error, std::string& detail) = 0;

    // Encrypts src[0..n) onto the output; always takes all n bytes (in as
    // many records as needed) or fails (-1, error and detail set). The
    // caller bounds n; n up to 16 KiB makes exactly one record.
    virtual long Write(const char* src, std::size_t n, int& error, std::string& detail) = 0;

    // Puts close_notify on the output. Once only; later Writes fail.
    virtual void Shutdown() = 0;

    // After Done: the protocol version agreed, as on the wire (0x0303 for
    // TLS 1.2, 0x0304 for TLS 1.3), and its name ("TLSv1.3").
    virtual int ProtocolVersion() const = 0;
    virtual std::string ProtocolName() const = 0;
    // After Done: the cipher suite agreed, by the TLS library's name ("" where
    // the library does not say).
    virtual std::string CipherName() const = 0;
    // After Done: whether the handshake resumed an earlier session (no
    // certificate was sent or checked: it was checked when the session began).
    virtual bool Resumed() const = 0;
};

} // namespace kavra::os
