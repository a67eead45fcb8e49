// The Windows engine: the system's TLS (Schannel) through SSPI, whose calls
// work on buffers the caller owns and so fit the engine's two queues. It asks
// for TLS 1.2 or newer (1.3 where the system has it), sends SNI for names
// but not for numeric addresses, and validates the server's certificate
// itself (TlsTrustWin32), since Schannel's own check knows only the system's
// roots. Client only: neither serving nor client certificates from PEM files
// are built here.
//
// DecryptMessage sees input only once it holds a whole record, whose header
// the engine checks first: Schannel is not asked to make sense of bytes that
// are no TLS at all, and Wine's Schannel would read past a short header.
#include "base/os/tls/ByteQueue.h"
#include "base/os/tls/TlsEngine.h"

#include "base/os/tls/TlsContext.h"
#include "base/os/tls/TlsTrustWin32.h"
#include "kavra/TlsErrors.h"

#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS
#include <subauth.h>

#include <schannel.h>
#include <security.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace kavra::os {

namespace {

constexpr std::size_t RECORD_HEADER = 5;
// The longest record body TLS 1.2 allows (2^14 + 2048); TLS 1.3's is shorter.
constexpr std::size_t MAX_RECORD_BODY = 16384 + 2048;
// Input Schannel may keep waiting on during the handshake: a few records.
// It waits only for the rest of one, so more means a peer that is not
// making sense, and holding it would let that peer grow the input at will.
constexpr std::size_t MAX_WAITING_HANDSHAKE = 4 * (RECORD_HEADER + MAX_RECORD_BODY);
constexpr unsigned char TYPE_CHANGE_CIPHER_SPEC = 20;
constexpr unsigned char TYPE_ALERT = 21;
constexpr unsigned char TYPE_HANDSHAKE = 22;
constexpr unsigned char TYPE_HEARTBEAT = 24;

constexpr DWORD ALLOWED_PROTOCOLS = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
constexpr DWORD CREDENTIAL_FLAGS = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
constexpr ULONG REQUEST_FLAGS = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                ISC_REQ_STREAM | ISC_REQ_USE_SUPPLIED_CREDS |
                                ISC_REQ_MANUAL_CRED_VALIDATION | ISC_REQ_EXTENDED_ERROR;

std::string hexStatus(SECURITY_STATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(status));
    return text;
}

// What an SSPI status means for a person, with the status itself.
std::string statusText(SECURITY_STATUS status) {
    const char* text = nullptr;
    switch (status) {
    case SEC_E_ILLEGAL_MESSAGE:
        text = "the server sent a message that is malformed or out of place";
        break;
    case SEC_E_ALGORITHM_MISMATCH:
        text = "no protocol version or cipher suite in common with the server (this client "
               "needs TLS 1.2 or newer)";
        break;
    case SEC_E_UNSUPPORTED_FUNCTION:
        text = "the server chose a protocol version this client does not allow (TLS 1.2 or "
               "newer)";
        break;
    case SEC_E_INVALID_TOKEN:
        text = "the server's handshake messages are not valid";
        break;
    case SEC_E_MESSAGE_ALTERED:
        text = "a record failed its integrity check";
        break;
    case SEC_E_DECRYPT_FAILURE:
        text = "a record cannot be decrypted";
        break;
    case SEC_E_INTERNAL_ERROR:
        text = "Schannel reported an internal error";
        break;
    case SEC_E_NO_CREDENTIALS:
    case SEC_E_UNKNOWN_CREDENTIALS:
        text = "Schannel has no usable credentials";
        break;
    default:
        text = "Schannel failed";
        break;
    }
    return std::string(text) + " (SSPI status " + hexStatus(status) + ")";
}

const char* alertName(unsigned char description) {
    switch (description) {
    case 0: return "close_notify";
    case 10: return "unexpected_message";
    case 20: return "bad_record_mac";
    case 22: return "record_overflow";
    case 40: return "handshake_failure";
    case 42: return "bad_certificate";
    case 43: return "unsupported_certificate";
    case 44: return "certificate_revoked";
    case 45: return "certificate_expired";
    case 46: return "certificate_unknown";
    case 47: return "illegal_parameter";
    case 48: return "unknown_ca";
    case 50: return "decode_error";
    case 51: return "decrypt_error";
    case 70: return "protocol_version";
    case 71: return "insufficient_security";
    case 80: return "internal_error";
    case 86: return "inappropriate_fallback";
    case 109: return "missing_extension";
    case 110: return "unsupported_extension";
    case 112: return "unrecognized_name";
    case 116: return "certificate_required";
    case 120: return "no_application_protocol";
    default: return "unknown alert";
    }
}

// A numeric address is verified as an address and gets no SNI (RFC 6066).
std::wstring sniName(const std::string& host) {
    std::vector<unsigned char> address;
    return NumericAddress(host, address) ? std::wstring() : WidenUtf8(host);
}

// The body length in the header of the record at the front of bytes.
std::size_t recordLength(const ByteQueue& bytes) {
    return static_cast<std::size_t>(static_cast<unsigned char>(bytes.Data()[3])) << 8 |
           static_cast<unsigned char>(bytes.Data()[4]);
}

std::string bytesText(const ByteQueue& bytes, std::size_t n) {
    std::string text;
    for (std::size_t i = 0; i < n && i < bytes.Size(); ++i) {
        char one[4];
        std::snprintf(one, sizeof one, i ? " %02x" : "%02x",
                      static_cast<unsigned char>(bytes.Data()[i]));
        text += one;
    }
    return text;
}

// Tokens that SSPI allocated (ISC_REQ_ALLOCATE_MEMORY), freed on every path.
class ContextBuffers {
public:
    explicit ContextBuffers(SecBufferDesc& desc) : m_desc(desc) {}
    ContextBuffers(const ContextBuffers&) = delete;
    ContextBuffers& operator=(const ContextBuffers&) = delete;
    ~ContextBuffers() {
        for (ULONG i = 0; i < m_desc.cBuffers; ++i) {
            if (m_desc.pBuffers[i].pvBuffer != nullptr) {
                ::FreeContextBuffer(m_desc.pBuffers[i].pvBuffer);
            }
        }
    }

private:
    SecBufferDesc& m_desc;
};

SECURITY_STATUS acquireWith(void* authData, CredHandle& credential) {
    return ::AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W),
                                       SECPKG_CRED_OUTBOUND, nullptr, authData, nullptr, nullptr,
                                       &credential, nullptr);
}

// The client credential: SCH_CREDENTIALS where the system knows it (the only
// way to TLS 1.3 on Windows), else the older SCHANNEL_CRED with 1.2 and 1.3,
// else 1.2 alone (systems that refuse a protocol they do not know).
SECURITY_STATUS acquireCredential(CredHandle& credential) {
    TLS_PARAMETERS parameters{};
    parameters.grbitDisabledProtocols = ~ALLOWED_PROTOCOLS;
    SCH_CREDENTIALS current{};
    current.dwVersion = SCH_CREDENTIALS_VERSION;
    current.dwFlags = CREDENTIAL_FLAGS | SCH_USE_STRONG_CRYPTO;
    current.cTlsParameters = 1;
    current.pTlsParameters = &parameters;
    SECURITY_STATUS status = acquireWith(&current, credential);
    if (status == SEC_E_OK) {
        return status;
    }
    SCHANNEL_CRED older{};
    older.dwVersion = SCHANNEL_CRED_VERSION;
    older.dwFlags = CREDENTIAL_FLAGS;
    older.grbitEnabledProtocols = ALLOWED_PROTOCOLS;
    status = acquireWith(&older, credential);
    if (status != SEC_E_OK) {
        older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
        status = acquireWith(&older, credential);
    }
    return status;
}

// What the sessions of one TlsContext share: the trust store and the
// credential, which Schannel lets many sessions use at once.
class SchannelShared {
public:
    SchannelShared(TlsTrustWin32 trust, CredHandle credential)
        : m_trust(std::move(trust)), m_credential(credential) {}
    SchannelShared(const SchannelShared&) = delete;
    SchannelShared& operator=(const SchannelShared&) = delete;
    ~SchannelShared() { ::FreeCredentialsHandle(&m_credential); }

    const TlsTrustWin32& Trust() const { return m_trust; }
    // A copy of the handle, for calls that take it by address; it stays
    // valid while this object lives.
    CredHandle Credential() const { return m_credential; }

private:
    TlsTrustWin32 m_trust;
    CredHandle m_credential;
};

class SchannelEngine final : public TlsEngine {
public:
    SchannelEngine(const std::string& serverName, bool verify,
                   std::shared_ptr<const SchannelShared> shared)
        : m_serverName(serverName),
          m_target(sniName(serverName)),
          m_verify(verify),
          m_shared(std::move(shared)),
          m_credential(m_shared->Credential()) {}

    ~SchannelEngine() override {
        if (m_haveContext) {
            ::DeleteSecurityContext(&m_context);
        }
    }

    void PutInput(const char* data, std::size_t n) override { m_in.Append(data, n); }
    char* InputSpace(std::size_t n) override { return m_in.Room(n); }
    void InputAdded(std::size_t n) override { m_in.Commit(n); }

    std::size_t OutputSize() const override { return m_out.Size(); }
    const char* OutputData() const override { return m_out.Data(); }
    void ConsumeOutput(std::size_t n) override { m_out.Consume(n); }

    Progress Handshake(int& error, std::string& detail) override;
    long Read(char* dst, std::size_t n, int& error, std::string& detail) override;
    long Write(const char* src, std::size_t n, int& error, std::string& detail) override;
    void Shutdown() override;

    int ProtocolVersion() const override { return m_version; }
    std::string ProtocolName() const override {
        return m_version == 0x0304 ? "TLSv1.3" : m_version == 0x0303 ? "TLSv1.2" : "";
    }
    bool Resumed() const override { return m_resumed; }
    std::string CipherName() const override;

private:
    enum class State { Handshake, Open, Renegotiating, PeerClosed, Failed };

    SECURITY_STATUS initialize(bool withInput);
    Progress negotiate(int& error, std::string& detail);
    Progress finishHandshake(int& error, std::string& detail);
    bool firstBytesAreTls(std::string& detail);
    std::string handshakeFailure(SECURITY_STATUS status) const;
    long decryptRecord(int& error, std::string& detail);
    long renegotiate(int& error, std::string& detail);
    long takePlain(char* dst, std::size_t n);
    long fail(int code, std::string text, int& error, std::string& detail);
    void keepExtra(const SecBuffer& extra);

    std::string m_serverName;
    // The SNI name; empty for a numeric address.
    std::wstring m_target;
    bool m_verify;
    std::shared_ptr<const SchannelShared> m_shared;
    CredHandle m_credential;
    CtxtHandle m_context{};
    bool m_haveContext = false;
    State m_state = State::Handshake;
    bool m_shutdown = false;
    // The server's first bytes were checked for a TLS record header.
    bool m_serverSpeaksTls = false;
    // The server's handshake-time alert, when its input began with one.
    int m_serverAlert = -1;
    bool m_retriedCredentials = false;
    int m_version = 0;
    bool m_resumed = false;
    SecPkgContext_StreamSizes m_sizes{};
    int m_error = 0;
    std::string m_detail;

    // Schannel's buffers point into the input, at its front.
    ByteQueue m_in;
    ByteQueue m_out;
    std::vector<char> m_plain;
    std::size_t m_plainBegin = 0;
};

// One InitializeSecurityContext call over the input so far: its output goes
// onto the output queue, and the input it used leaves the input queue.
SECURITY_STATUS SchannelEngine::initialize(bool withInput) {
    static char none = 0;
    SecBuffer in[2] = {
        {static_cast<ULONG>(m_in.Size()), SECBUFFER_TOKEN, m_in.Empty() ? &none : m_in.Data()},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
    SecBuffer out[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 2, out};
    ContextBuffers allocated(outDesc);
    ULONG attributes = 0;
    const SECURITY_STATUS status = ::InitializeSecurityContextW(
        &m_credential, m_haveContext ? &m_context : nullptr,
        m_target.empty() ? nullptr : m_target.data(), REQUEST_FLAGS, 0, 0,
        withInput ? &inDesc : nullptr, 0, m_haveContext ? nullptr : &m_context, &outDesc,
        &attributes, nullptr);
    if (!m_haveContext && (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK)) {
        m_haveContext = true;
    }
    for (const SecBuffer& token : out) {
        if (token.pvBuffer != nullptr && token.cbBuffer > 0) {
            const char* bytes = static_cast<const char*>(token.pvBuffer);
            m_out.Append(bytes, token.cbBuffer);
        }
    }
    if (withInput && status != SEC_E_INCOMPLETE_MESSAGE) {
        if (in[1].BufferType == SECBUFFER_EXTRA) {
            keepExtra(in[1]);
        } else {
            m_in.Consume(m_in.Size());
        }
    }
    return status;
}

void SchannelEngine::keepExtra(const SecBuffer& extra) {
    const std::size_t keep = std::min<std::size_t>(extra.cbBuffer, m_in.Size());
    m_in.Consume(m_in.Size() - keep);
}

TlsEngine::Progress SchannelEngine::Handshake(int& error, std::string& detail) {
    switch (m_state) {
    case State::Handshake:
        break;
    case State::Failed:
        error = m_error;
        detail = m_detail;
        return Progress::Failed;
    default:
        return Progress::Done;
    }
    if (!m_haveContext) {
        const SECURITY_STATUS status = initialize(false);
        if (status != SEC_I_CONTINUE_NEEDED) {
            fail(KAVRA_TLS_HANDSHAKE, "Schannel cannot start a handshake: " + statusText(status),
                 error, detail);
            return Progress::Failed;
        }
        return Progress::NeedInput;
    }
    return negotiate(error, detail);
}

TlsEngine::Progress SchannelEngine::negotiate(int& error, std::string& detail) {
    while (!m_in.Empty()) {
        std::string notTls;
        if (!firstBytesAreTls(notTls)) {
            fail(KAVRA_TLS_NOT_TLS, notTls, error, detail);
            return Progress::Failed;
        }
        const SECURITY_STATUS status = initialize(true);
        switch (status) {
        case SEC_E_OK:
            return finishHandshake(error, detail);
        case SEC_I_CONTINUE_NEEDED:
            continue;
        case SEC_E_INCOMPLETE_MESSAGE:
            if (m_in.Size() > MAX_WAITING_HANDSHAKE) {
                fail(KAVRA_TLS_HANDSHAKE,
                     "the server sent " + std::to_string(m_in.Size()) +
                         " bytes that Schannel cannot use as handshake records",
                     error, detail);
                return Progress::Failed;
            }
            return Progress::NeedInput;
        case SEC_I_INCOMPLETE_CREDENTIALS:
            // The server asks for a client certificate; the next call goes on
            // without one, and the server decides whether that is enough.
            if (!m_retriedCredentials) {
                m_retriedCredentials = true;
                continue;
            }
            [[fallthrough]];
        default:
            fail(KAVRA_TLS_HANDSHAKE, handshakeFailure(status), error, detail);
            return Progress::Failed;
        }
    }
    return Progress::NeedInput;
}

// The server's first record must be a handshake message or an alert, in a
// TLS version, of a length TLS allows; anything else is not TLS at all (a
// plain TCP server that talks first). Also notes an alert, whose reason
// Schannel does not pass on.
bool SchannelEngine::firstBytesAreTls(std::string& detail) {
    if (!m_serverSpeaksTls) {
        const auto byte = [this](std::size_t i) { return static_cast<unsigned char>(m_in.Data()[i]); };
        const std::size_t n = m_in.Size();
        const bool ok = (byte(0) == TYPE_HANDSHAKE || byte(0) == TYPE_ALERT) &&
                        (n < 2 || byte(1) == 3) &&
                        (n < RECORD_HEADER || recordLength(m_in) <= MAX_RECORD_BODY);
        if (!ok) {
            detail = "the server's first bytes (" + bytesText(m_in, 8) +
                     ") are not a TLS record: it speaks something else, most likely plain TCP";
            return false;
        }
        m_serverSpeaksTls = n >= RECORD_HEADER;
    }
    if (m_in.Size() >= RECORD_HEADER + 2 && static_cast<unsigned char>(m_in.Data()[0]) == TYPE_ALERT) {
        m_serverAlert = static_cast<unsigned char>(m_in.Data()[RECORD_HEADER + 1]);
    }
    return true;
}

std::string SchannelEngine::handshakeFailure(SECURITY_STATUS status) const {
    if (m_serverAlert < 0) {
        return "the handshake failed: " + statusText(status) +
               (status == SEC_E_INTERNAL_ERROR
                    ? "; the server may have refused it (no common version or cipher, or it "
                      "wants a client certificate)"
                    : "");
    }
    const auto alert = static_cast<unsigned char>(m_serverAlert);
    return std::string("the server refused the handshake with alert ") + alertName(alert) + " (" +
           std::to_string(alert) + ")" +
           (alert == 116 || alert == 40 ? "; it may want a client certificate" : "") + "; " +
           statusText(status);
}

TlsEngine::Progress SchannelEngine::finishHandshake(int& error, std::string& detail) {
    SecPkgContext_ConnectionInfo info{};
    if (::QueryContextAttributesW(&m_context, SECPKG_ATTR_STREAM_SIZES, &m_sizes) != SEC_E_OK ||
        ::QueryContextAttributesW(&m_context, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK) {
        fail(KAVRA_TLS_HANDSHAKE, "Schannel does not tell the connection's record sizes", error,
             detail);
        return Progress::Failed;
    }
    m_version = (info.dwProtocol & SP_PROT_TLS1_3_CLIENT) ? 0x0304
                : (info.dwProtocol & SP_PROT_TLS1_2_CLIENT) ? 0x0303
                                                            : 0;
    // A Schannel that does not tell counts as a full handshake.
    SecPkgContext_SessionInfo session{};
    m_resumed =
        ::QueryContextAttributesW(&m_context, SECPKG_ATTR_SESSION_INFO, &session) == SEC_E_OK &&
        (session.dwFlags & SSL_SESSION_RECONNECT) != 0;
    if (m_version == 0) {
        fail(KAVRA_TLS_HANDSHAKE,
             "the server agreed to a protocol older than TLS 1.2 (Schannel protocol " +
                 hexStatus(static_cast<SECURITY_STATUS>(info.dwProtocol)) + ")",
             error, detail);
        return Progress::Failed;
    }
    if (m_verify) {
        PCCERT_CONTEXT server = nullptr;
        if (::QueryContextAttributesW(&m_context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &server) != SEC_E_OK ||
            server == nullptr) {
            fail(KAVRA_TLS_UNTRUSTED, "the server sent no certificate", error, detail);
            return Progress::Failed;
        }
        std::string why;
        const int refused = m_shared->Trust().Check(server, m_serverName, why);
        ::CertFreeCertificateContext(server);
        if (refused != 0) {
            fail(refused, why, error, detail);
            return Progress::Failed;
        }
    }
    m_state = State::Open;
    return Progress::Done;
}

long SchannelEngine::Read(char* dst, std::size_t n, int& error, std::string& detail) {
    for (;;) {
        if (m_plainBegin < m_plain.size()) {
            return takePlain(dst, n);
        }
        long result = 0;
        switch (m_state) {
        case State::Open:
            result = decryptRecord(error, detail);
            break;
        case State::Renegotiating:
            result = renegotiate(error, detail);
            break;
        case State::PeerClosed:
            return 0;
        case State::Failed:
            error = m_error;
            detail = m_detail;
            return -1;
        case State::Handshake:
            error = EAGAIN;
            return -1;
        }
        if (result < 0) {
            return -1;
        }
    }
}

long SchannelEngine::takePlain(char* dst, std::size_t n) {
    const std::size_t count = std::min(n, m_plain.size() - m_plainBegin);
    std::memcpy(dst, m_plain.data() + m_plainBegin, count);
    m_plainBegin += count;
    if (m_plainBegin == m_plain.size()) {
        m_plain.clear();
        m_plainBegin = 0;
    }
    return static_cast<long>(count);
}

// Decrypts the record at the front of the input: 0 when it was used (its
// plaintext, if any, waits in m_plain), -1 with EAGAIN while it is not whole,
// -1 with a TLS code when it is bad.
long SchannelEngine::decryptRecord(int& error, std::string& detail) {
    if (m_in.Size() < RECORD_HEADER) {
        error = EAGAIN;
        return -1;
    }
    const auto type = static_cast<unsigned char>(m_in.Data()[0]);
    const std::size_t length = recordLength(m_in);
    if (type < TYPE_CHANGE_CIPHER_SPEC || type > TYPE_HEARTBEAT || m_in.Data()[1] != 3 || length > MAX_RECORD_BODY) {
        return fail(KAVRA_TLS_BAD_RECORD,
                    "bytes that are not a TLS record arrived (" + bytesText(m_in, RECORD_HEADER) + ")",
                    error, detail);
    }
    if (m_in.Size() < RECORD_HEADER + length) {
        error = EAGAIN;
        return -1;
    }
    SecBuffer buffers[4] = {{static_cast<ULONG>(m_in.Size()), SECBUFFER_DATA, m_in.Data()},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = ::DecryptMessage(&m_context, &desc, 0, nullptr);
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED) {
        if (type == TYPE_ALERT) {
            return fail(KAVRA_TLS_ALERT, "the server sent a fatal alert: " + statusText(status), error,
                        detail);
        }
        return fail(KAVRA_TLS_BAD_RECORD, "a record from the server is damaged: " + statusText(status),
                    error, detail);
    }
    std::size_t plain = 0;
    const SecBuffer* extra = nullptr;
    for (const SecBuffer& buffer : buffers) {
        if (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer > 0) {
            const char* bytes = static_cast<const char*>(buffer.pvBuffer);
            m_plain.insert(m_plain.end(), bytes, bytes + buffer.cbBuffer);
            plain += buffer.cbBuffer;
        } else if (buffer.BufferType == SECBUFFER_EXTRA) {
            extra = &buffer;
        }
    }
    if (extra != nullptr) {
        keepExtra(*extra);
    } else {
        m_in.Consume(m_in.Size());
    }
    // Windows reports the peer's close_notify as an expired context; Wine as
    // an alert record that decrypts to nothing.
    if (status == SEC_I_CONTEXT_EXPIRED || (type == TYPE_ALERT && plain == 0)) {
        m_state = State::PeerClosed;
    } else if (status == SEC_I_RENEGOTIATE) {
        m_state = State::Renegotiating;
    }
    return 0;
}

// A post-handshake handshake message (TLS 1.3's tickets and key updates, a
// TLS 1.2 server's renegotiation): the input goes back to
// InitializeSecurityContext until it is done with it.
long SchannelEngine::renegotiate(int& error, std::string& detail) {
    const bool hadInput = !m_in.Empty();
    const SECURITY_STATUS status = initialize(true);
    switch (status) {
    case SEC_E_OK:
        m_state = State::Open;
        return 0;
    case SEC_I_CONTINUE_NEEDED:
        if (!m_in.Empty()) {
            return 0;
        }
        error = EAGAIN;
        return -1;
    case SEC_E_INCOMPLETE_MESSAGE:
        if (!hadInput) {
            // Nothing was left for it (Wine): the message was handled inside.
            m_state = State::Open;
            return 0;
        }
        error = EAGAIN;
        return -1;
    default:
        return fail(KAVRA_TLS_HANDSHAKE,
                    "the server's post-handshake message failed: " + statusText(status), error,
                    detail);
    }
}

long SchannelEngine::Write(const char* src, std::size_t n, int& error, std::string& detail) {
    if (m_state == State::Failed) {
        error = m_error;
        detail = m_detail;
        return -1;
    }
    if (m_shutdown || m_state == State::Handshake) {
        error = KAVRA_TLS_SETUP;
        detail = m_shutdown ? "the TLS session was already shut down"
                            : "the TLS handshake is not complete";
        return -1;
    }
    const std::size_t header = m_sizes.cbHeader;
    const std::size_t trailer = m_sizes.cbTrailer;
    for (std::size_t done = 0; done < n;) {
        const std::size_t chunk = std::min<std::size_t>(n - done, m_sizes.cbMaximumMessage);
        char* record = m_out.Room(header + chunk + trailer);
        std::memcpy(record + header, src + done, chunk);
        SecBuffer buffers[4] = {{static_cast<ULONG>(header), SECBUFFER_STREAM_HEADER, record},
                                {static_cast<ULONG>(chunk), SECBUFFER_DATA, record + header},
                                {static_cast<ULONG>(trailer), SECBUFFER_STREAM_TRAILER, record + header + chunk},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
        const SECURITY_STATUS status = ::EncryptMessage(&m_context, 0, &desc, 0);
        if (status != SEC_E_OK) {
            return fail(KAVRA_TLS_BAD_RECORD, "Schannel cannot encrypt: " + statusText(status), error,
                        detail);
        }
        m_out.Commit(buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
        done += chunk;
    }
    return static_cast<long>(n);
}

// Schannel names the bulk cipher, not the suite: "AES-256", or "" for
// one this build does not name.
std::string SchannelEngine::CipherName() const {
    SecPkgContext_ConnectionInfo info{};
    if (!m_haveContext ||
        ::QueryContextAttributesW(const_cast<CtxtHandle*>(&m_context), SECPKG_ATTR_CONNECTION_INFO,
                                  &info) != SEC_E_OK) {
        return "";
    }
    switch (info.aiCipher) {
    case CALG_AES_128:
        return "AES-128";
    case CALG_AES_256:
        return "AES-256";
    default:
        return "";
    }
}

void SchannelEngine::Shutdown() {
    if (m_shutdown) {
        return;
    }
    m_shutdown = true;
    if (m_state != State::Open && m_state != State::PeerClosed && m_state != State::Renegotiating) {
        return;
    }
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer token{sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc desc{SECBUFFER_VERSION, 1, &token};
    if (::ApplyControlToken(&m_context, &desc) == SEC_E_OK) {
        initialize(false);
    }
}

long SchannelEngine::fail(int code, std::string text, int& error, std::string& detail) {
    m_state = State::Failed;
    m_error = code;
    m_detail = std::move(text);
    error = m_error;
    detail = m_detail;
    return -1;
}

class SchannelContext final : public TlsContext {
public:
    SchannelContext(const TlsSettings& settings, std::shared_ptr<const SchannelShared> shared)
        : TlsContext(settings), m_shared(std::move(shared)) {}

    // Schannel keeps and offers sessions itself, per credential and target
    // name; this context's one credential makes its cache this context's.
    std::unique_ptr<TlsEngine> NewEngine(const std::string& serverName, const std::string&,
                                         int& error, std::string& detail) const override {
        if (Settings().verify && serverName.empty()) {
            error = KAVRA_TLS_SETUP;
            detail = "no server name to verify the certificate against";
            return nullptr;
        }
        return std::make_unique<SchannelEngine>(serverName, Settings().verify, m_shared);
    }

private:
    std::shared_ptr<const SchannelShared> m_shared;
};

} // namespace

bool TlsEngine::Built() {
    return true;
}

std::shared_ptr<const TlsContext> TlsContext::Make(const TlsSettings& settings, int& error,
                                                   std::string& detail) {
    error = KAVRA_TLS_SETUP;
    if (settings.server) {
        detail = "serving TLS is not built on Windows (Schannel is used as a client only)";
        return nullptr;
    }
    if (!settings.certFile.empty() || !settings.keyFile.empty()) {
        detail = "client certificates from PEM files are not supported on Windows yet";
        return nullptr;
    }
    TlsTrustWin32 trust;
    if (!trust.Load(settings.caFile, settings.caFolder, detail)) {
        return nullptr;
    }
    CredHandle credential{};
    const SECURITY_STATUS status = acquireCredential(credential);
    if (status != SEC_E_OK) {
        detail = "Schannel refuses a TLS 1.2 client credential: " + statusText(status);
        return nullptr;
    }
    error = 0;
    return std::make_shared<SchannelContext>(
        settings, std::make_shared<const SchannelShared>(std::move(trust), credential));
}

} // namespace kavra::os
