// The TLS engine over OpenSSL: one SSL session over a BIO of the engine's
// own, so that OpenSSL never touches the socket. The BIO reads the peer's
// bytes from the engine's input queue and writes records straight onto its
// output queue, with no buffer between. It answers "retry" when the input
// is empty (never end of file): whether the connection ended, and how, is
// the stream's to say.
#include "base/os/tls/ByteQueue.h"
#include "base/os/tls/TlsContext.h"

#include "kavra/TlsErrors.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <vector>

namespace kavra::os {

namespace {

struct CtxFree {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using CtxPtr = std::unique_ptr<SSL_CTX, CtxFree>;
struct SessionFree {
    void operator()(SSL_SESSION* session) const { SSL_SESSION_free(session); }
};
using SslPtr = std::unique_ptr<SSL, SslFree>;
using SessionPtr = std::unique_ptr<SSL_SESSION, SessionFree>;

// The last session of each server a client context connected to. The
// context and its engines share it, since a TLS 1.3 ticket may come long
// after the handshake; engines on several threads reach it at once.
class SessionStore {
public:
    // The session kept for key with a reference of the caller's own, or
    // null.
    SessionPtr Find(const std::string& key) const {
        const std::scoped_lock held(m_lock);
        const auto found = m_sessions.find(key);
        if (found == m_sessions.end() || SSL_SESSION_up_ref(found->second.get()) != 1) {
            return nullptr;
        }
        return SessionPtr(found->second.get());
    }

    // Keeps session (and the caller's reference) for key, in place of any
    // earlier one.
    void Keep(const std::string& key, SessionPtr session) {
        const std::scoped_lock held(m_lock);
        if (m_sessions.size() >= MAX_TARGETS && m_sessions.count(key) == 0) {
            // Many endpoints under one context: one kept session goes (the
            // first by key), so memory stays bounded.
            m_sessions.erase(m_sessions.begin());
        }
        m_sessions[key] = std::move(session);
    }

    // Drops what is kept for key: a handshake that offered it failed.
    void Forget(const std::string& key) {
        const std::scoped_lock held(m_lock);
        m_sessions.erase(key);
    }

private:
    static constexpr std::size_t MAX_TARGETS = 64;
    mutable std::mutex m_lock;
    std::map<std::string, SessionPtr> m_sessions;
};

// Where one client session keeps the sessions its server gives it.
struct SessionTarget {
    std::shared_ptr<SessionStore> store;
    std::string key;
};

// The oldest error OpenSSL queued on this thread, as text; the queue is
// emptied so that the next operation starts clean.
std::string TakeErrorText() {
    const unsigned long first = ERR_peek_error();
    ERR_clear_error();
    if (first == 0) {
        return "no further detail from the TLS library";
    }
    const char* reason = ERR_reason_error_string(first);
    if (reason != nullptr) {
        return reason;
    }
    char text[256];
    ERR_error_string_n(first, text, sizeof text);
    return text;
}

// A failed setup step: KAVRA_TLS_SETUP with what and OpenSSL's reason.
std::nullptr_t SetupFailure(const std::string& what, int& error, std::string& detail) {
    error = KAVRA_TLS_SETUP;
    detail = what + ": " + TakeErrorText();
    return nullptr;
}

int VerifyCode(long verifyResult) {
    switch (verifyResult) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return KAVRA_TLS_EXPIRED;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return KAVRA_TLS_NAME_MISMATCH;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
        return KAVRA_TLS_UNTRUSTED;
    default:
        return KAVRA_TLS_HANDSHAKE;
    }
}

// The validity bound of cert that an expiry failure is about, as
// " (notAfter Dec  8 17:47:49 2026 GMT)"; "" for other failures.
std::string ValidityNote(X509* cert, long verifyResult) {
    const bool expired = verifyResult == X509_V_ERR_CERT_HAS_EXPIRED;
    if (cert == nullptr || (!expired && verifyResult != X509_V_ERR_CERT_NOT_YET_VALID)) {
        return "";
    }
    const ASN1_TIME* bound = expired ? X509_get0_notAfter(cert) : X509_get0_notBefore(cert);
    std::string note;
    BIO* text = BIO_new(BIO_s_mem());
    char data[64];
    int n = 0;
    if (text != nullptr && ASN1_TIME_print(text, bound) == 1 &&
        (n = BIO_read(text, data, sizeof data)) > 0) {
        note = std::string(expired ? " (notAfter " : " (notBefore ") +
               std::string(data, static_cast<std::size_t>(n)) + ")";
    }
    BIO_free(text);
    return note;
}

// What a server offers in TLS 1.3, in its order of preference: OpenSSL's
// default suites, the cheaper AES-GCM first.
constexpr const char* SERVER_TLS13_SUITES =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";

// The session's slot for the note of its first failed certificate check.
constexpr int NOTE_SLOT = 0;

// The session's slot for its SessionTarget (none on a server, or without a
// target).
int TargetSlot() {
    static const int slot = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return slot;
}

// Called by OpenSSL with each session the server gives (at the end of a TLS
// 1.2 handshake; with each TLS 1.3 ticket, after it): the last one is the
// one the next connection offers. 1: the reference is now the store's.
int KeepNewSession(SSL* ssl, SSL_SESSION* session) {
    const auto* target = static_cast<const SessionTarget*>(SSL_get_ex_data(ssl, TargetSlot()));
    if (target == nullptr) {
        return 0;
    }
    target->store->Keep(target->key, SessionPtr(session));
    return 1;
}

// Called by OpenSSL for each check of the peer's chain: keeps what the
// first failure was about, since the certificate is gone once the
// handshake has failed. The verdict stays OpenSSL's.
int NoteVerifyFailure(int ok, X509_STORE_CTX* store) {
    if (ok == 0) {
        auto* ssl = static_cast<SSL*>(
            X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
        auto* note = ssl != nullptr ? static_cast<std::string*>(SSL_get_ex_data(ssl, NOTE_SLOT))
                                    : nullptr;
        if (note != nullptr && note->empty()) {
            *note = ValidityNote(X509_STORE_CTX_get_current_cert(store),
                                 X509_STORE_CTX_get_error(store));
        }
    }
    return ok;
}

// The first bytes of a TLS record: a content type (20..24) and a major
// version of 3. Anything else from a peer at the start of a handshake is
// another protocol.
bool LooksLikeTlsStart(const std::vector<unsigned char>& first) {
    if (!first.empty() && (first[0] < 20 || first[0] > 24)) {
        return false;
    }
    return first.size() < 2 || first[1] == 3;
}

// The wire bytes of one session, both ways, and where the session reads
// once its input is empty (none: it waits for input).
struct WireQueues {
    ByteQueue in;
    ByteQueue out;
    WireSource* source = nullptr;
};

// The session's read buffer where it reads from a source: the most one
// socket read may bring, as a plain reader's (CSocket reads ahead 64 KiB).
constexpr std::size_t READ_BUFFER_BYTES = 64 * 1024;

WireQueues& QueuesOf(BIO* bio) {
    return *static_cast<WireQueues*>(BIO_get_data(bio));
}

int QueueWrite(BIO* bio, const char* data, int n) {
    BIO_clear_retry_flags(bio);
    if (n <= 0) {
        return 0;
    }
    QueuesOf(bio).out.Append(data, static_cast<std::size_t>(n));
    return n;
}

int QueueRead(BIO* bio, char* data, int n) {
    BIO_clear_retry_flags(bio);
    WireQueues& queues = QueuesOf(bio);
    const std::size_t want = n > 0 ? static_cast<std::size_t>(n) : 0;
    if (!queues.in.Empty()) {
        return static_cast<int>(queues.in.Take(data, want));
    }
    const std::size_t pulled = queues.source != nullptr ? queues.source->Pull(data, want) : 0;
    if (pulled == 0) {
        BIO_set_retry_read(bio);
        return -1;
    }
    return static_cast<int>(pulled);
}

long QueueControl(BIO* bio, int command, long, void*) {
    switch (command) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_PENDING:
        return static_cast<long>(QueuesOf(bio).in.Size());
    case BIO_CTRL_WPENDING:
        return static_cast<long>(QueuesOf(bio).out.Size());
    default:
        return 0;
    }
}

int QueueCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

// The method of the sessions' BIOs, made once for the process.
const BIO_METHOD* QueueMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kavra wire");
        if (made != nullptr) {
            BIO_meth_set_write(made, QueueWrite);
            BIO_meth_set_read(made, QueueRead);
            BIO_meth_set_ctrl(made, QueueControl);
            BIO_meth_set_create(made, QueueCreate);
        }
        return made;
    }();
    return method;
}

class OpenSslEngine final : public TlsEngine {
public:
    // The session keeps its context alive (OpenSSL counts its users); its
    // BIO reads and writes queues.
    OpenSslEngine(SslPtr ssl, std::unique_ptr<WireQueues> queues, bool server,
                  std::string serverName, SessionTarget target)
        : m_queues(std::move(queues)), m_target(std::move(target)), m_ssl(std::move(ssl)),
          m_server(server), m_serverName(std::move(serverName)) {
        SSL_set_ex_data(m_ssl.get(), NOTE_SLOT, &m_verifyNote);
        if (m_target.store) {
            SSL_set_ex_data(m_ssl.get(), TargetSlot(), &m_target);
        }
    }

    void PutInput(const char* data, std::size_t n) override {
        std::memcpy(InputSpace(n), data, n);
        InputAdded(n);
    }
    char* InputSpace(std::size_t n) override { return m_queues->in.Room(n); }
    void InputAdded(std::size_t n) override {
        const char* added = m_queues->in.Data() + m_queues->in.Size();
        for (std::size_t i = 0; i < n && m_first.size() < 2; ++i) {
            m_first.push_back(static_cast<unsigned char>(added[i]));
        }
        m_queues->in.Commit(n);
    }

    // Reads ahead: the session asks its source for all the room its buffer
    // has, not one record's header and then its body.
    bool SetSource(WireSource* source) override {
        SSL_set_default_read_buffer_len(m_ssl.get(), READ_BUFFER_BYTES);
        SSL_set_read_ahead(m_ssl.get(), 1);
        m_queues->source = source;
        return true;
    }

    std::size_t OutputSize() const override { return m_queues->out.Size(); }
    const char* OutputData() const override { return m_queues->out.Data(); }
    void ConsumeOutput(std::size_t n) override { m_queues->out.Consume(n); }

    Progress Handshake(int& error, std::string& detail) override {
        ERR_clear_error();
        const int rc = SSL_do_handshake(m_ssl.get());
        if (rc == 1) {
            return Progress::Done;
        }
        const int reason = SSL_get_error(m_ssl.get(), rc);
        if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) {
            return Progress::NeedInput;
        }
        if (m_target.store) {
            m_target.store->Forget(m_target.key);
        }
        handshakeFailure(error, detail);
        return Progress::Failed;
    }

    long Read(char* dst, std::size_t n, int& error, std::string& detail) override {
        ERR_clear_error();
        std::size_t got = 0;
        const int rc = SSL_read_ex(m_ssl.get(), dst, n, &got);
        if (rc == 1) {
            return static_cast<long>(got);
        }
        switch (SSL_get_error(m_ssl.get(), rc)) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
            error = EAGAIN;
            return -1;
        case SSL_ERROR_ZERO_RETURN:
            ERR_clear_error();
            return 0;
        default:
            recordFailure(error, detail);
            return -1;
        }
    }

    long Write(const char* src, std::size_t n, int& error, std::string& detail) override {
        if (m_shutdown) {
            error = KAVRA_TLS_SETUP;
            detail = "the TLS session was already shut down";
            return -1;
        }
        ERR_clear_error();
        std::size_t taken = 0;
        const int rc = n == 0 ? 1 : SSL_write_ex(m_ssl.get(), src, n, &taken);
        if (rc == 1) {
            return static_cast<long>(taken);
        }
        recordFailure(error, detail);
        return -1;
    }

    void Shutdown() override {
        if (m_shutdown) {
            return;
        }
        m_shutdown = true;
        ERR_clear_error();
        if (SSL_is_init_finished(m_ssl.get()) == 1) {
            SSL_shutdown(m_ssl.get());
        }
        ERR_clear_error();
    }

    int ProtocolVersion() const override { return SSL_version(m_ssl.get()); }
    std::string ProtocolName() const override { return SSL_get_version(m_ssl.get()); }
    std::string CipherName() const override {
        const char* name = SSL_get_cipher_name(m_ssl.get());
        return name != nullptr ? name : "";
    }
    bool Resumed() const override { return SSL_session_reused(m_ssl.get()) == 1; }

private:
    void handshakeFailure(int& error, std::string& detail) {
        const long verify = SSL_get_verify_result(m_ssl.get());
        const std::string peer = m_server ? "the client" : "the server";
        if (!LooksLikeTlsStart(m_first)) {
            ERR_clear_error();
            error = KAVRA_TLS_NOT_TLS;
            detail = peer + " did not answer in TLS (it may speak plain TCP)";
            return;
        }
        if (!m_server && verify != X509_V_OK) {
            ERR_clear_error();
            error = VerifyCode(verify);
            detail = std::string("certificate verification failed: ") +
                     X509_verify_cert_error_string(verify) + m_verifyNote;
            if (error == KAVRA_TLS_NAME_MISMATCH) {
                detail += " (the certificate is not for " + m_serverName + ")";
            }
            return;
        }
        const unsigned long first = ERR_peek_error();
        const int reason = ERR_GET_REASON(first);
        error = KAVRA_TLS_HANDSHAKE;
        if (first != 0 && reason >= SSL_AD_REASON_OFFSET) {
            detail = peer + " refused the handshake: " + TakeErrorText();
        } else {
            detail = "handshake failed: " + TakeErrorText();
        }
    }

    // A failure after the handshake: a fatal alert from the peer, or bytes
    // that do not form a record of this session.
    void recordFailure(int& error, std::string& detail) {
        const unsigned long first = ERR_peek_error();
        const std::string peer = m_server ? "the client" : "the server";
        if (first != 0 && ERR_GET_REASON(first) >= SSL_AD_REASON_OFFSET) {
            error = KAVRA_TLS_ALERT;
            detail = peer + " sent a fatal alert: " + TakeErrorText();
            return;
        }
        error = KAVRA_TLS_BAD_RECORD;
        detail = "a TLS record from " + peer + " is damaged: " + TakeErrorText();
    }

    // Before the session, so that they outlive its BIO.
    std::unique_ptr<WireQueues> m_queues;
    SessionTarget m_target;
    SslPtr m_ssl;
    bool m_server;
    std::string m_serverName;
    std::string m_verifyNote;
    bool m_shutdown = false;
    // The peer's first two bytes, to tell another protocol from TLS.
    std::vector<unsigned char> m_first;
};

bool LoadCaFolder(SSL_CTX* ctx, const std::string& folder, std::string& why) {
    std::error_code ec;
    std::filesystem::directory_iterator it(folder, ec);
    if (ec) {
        why = "cannot read the CA folder " + folder + ": " + ec.message();
        return false;
    }
    X509_STORE* store = SSL_CTX_get_cert_store(ctx);
    int loaded = 0;
    for (const auto& entry : it) {
        if (entry.is_regular_file(ec) &&
            X509_STORE_load_locations(store, entry.path().string().c_str(), nullptr) == 1) {
            ++loaded;
        }
        ERR_clear_error();
    }
    if (loaded == 0) {
        why = "the CA folder " + folder + " holds no PEM certificate";
        return false;
    }
    return true;
}

// The authorities a client trusts, loaded into the context once.
bool LoadTrust(SSL_CTX* ctx, const TlsSettings& settings, std::string& why) {
    if (!settings.caFile.empty() &&
        SSL_CTX_load_verify_locations(ctx, settings.caFile.c_str(), nullptr) != 1) {
        why = "cannot load the CA file " + settings.caFile + ": " + TakeErrorText();
        return false;
    }
    if (!settings.caFolder.empty() && !LoadCaFolder(ctx, settings.caFolder, why)) {
        return false;
    }
    if (settings.caFile.empty() && settings.caFolder.empty() &&
        SSL_CTX_set_default_verify_paths(ctx) != 1) {
        why = "cannot load the system's trusted authorities: " + TakeErrorText();
        return false;
    }
    return true;
}

// The name one session's certificate must carry.
bool SetUpName(SSL* ssl, const std::string& serverName, std::string& why) {
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    if (serverName.empty()) {
        why = "no server name to check the certificate against";
        return false;
    }
    if (X509_VERIFY_PARAM_set1_ip_asc(param, serverName.c_str()) == 1) {
        return true;
    }
    ERR_clear_error();
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (X509_VERIFY_PARAM_set1_host(param, serverName.c_str(), 0) != 1) {
        why = "the server name " + serverName + " cannot be checked: " + TakeErrorText();
        return false;
    }
    return true;
}

bool IsNumericHost(const std::string& name) {
    ASN1_OCTET_STRING* ip = a2i_IPADDRESS(name.c_str());
    ERR_clear_error();
    if (ip == nullptr) {
        return false;
    }
    ASN1_OCTET_STRING_free(ip);
    return true;
}

bool LoadOwnCertificate(SSL_CTX* ctx, const TlsSettings& settings, std::string& why) {
    if (SSL_CTX_use_certificate_chain_file(ctx, settings.certFile.c_str()) != 1) {
        why = "cannot load the certificate " + settings.certFile + ": " + TakeErrorText();
        return false;
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, settings.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        why = "cannot load the key " + settings.keyFile + ": " + TakeErrorText();
        return false;
    }
    if (SSL_CTX_check_private_key(ctx) != 1) {
        why = "the key " + settings.keyFile + " does not match the certificate " +
              settings.certFile;
        ERR_clear_error();
        return false;
    }
    return true;
}

class OpenSslContext final : public TlsContext {
public:
    OpenSslContext(const TlsSettings& settings, CtxPtr ctx)
        : TlsContext(settings), m_ctx(std::move(ctx)) {}

    std::unique_ptr<TlsEngine> NewEngine(const std::string& serverName, const std::string& target,
                                         int& error, std::string& detail) const override;

private:
    // Where a client session to target keeps its server's sessions, and
    // the one it offers (SSL_set_session); nothing for a server or without
    // a target.
    SessionTarget offerSession(SSL* ssl, const std::string& serverName,
                               const std::string& target) const;

    CtxPtr m_ctx;
    std::shared_ptr<SessionStore> m_sessions = std::make_shared<SessionStore>();
};

SessionTarget OpenSslContext::offerSession(SSL* ssl, const std::string& serverName,
                                           const std::string& target) const {
    if (Settings().server || target.empty()) {
        return {};
    }
    // The name is part of the key: a session checked for one name proves
    // nothing about another.
    SessionTarget kept{m_sessions, target + " " + serverName};
    const SessionPtr session = m_sessions->Find(kept.key);
    if (session && SSL_SESSION_is_resumable(session.get()) == 1) {
        SSL_set_session(ssl, session.get());
    }
    ERR_clear_error();
    return kept;
}

std::unique_ptr<TlsEngine> OpenSslContext::NewEngine(const std::string& serverName,
                                                     const std::string& target, int& error,
                                                     std::string& detail) const {
    const TlsSettings& settings = Settings();
    ERR_clear_error();
    SslPtr ssl(SSL_new(m_ctx.get()));
    if (!ssl) {
        return SetupFailure("cannot create a TLS session", error, detail);
    }
    if (!settings.server) {
        if (settings.verify) {
            SSL_set_verify(ssl.get(), SSL_VERIFY_PEER, NoteVerifyFailure);
            if (!SetUpName(ssl.get(), serverName, detail)) {
                error = KAVRA_TLS_SETUP;
                return nullptr;
            }
        } else {
            SSL_set_verify(ssl.get(), SSL_VERIFY_NONE, nullptr);
        }
        if (!serverName.empty() && !IsNumericHost(serverName) &&
            SSL_ctrl(ssl.get(), SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                     const_cast<char*>(serverName.c_str())) != 1) {
            return SetupFailure("cannot send the server name", error, detail);
        }
    }
    auto queues = std::make_unique<WireQueues>();
    const BIO_METHOD* method = QueueMethod();
    BIO* wire = method != nullptr ? BIO_new(method) : nullptr;
    if (wire == nullptr) {
        return SetupFailure("cannot create the TLS buffers", error, detail);
    }
    BIO_set_data(wire, queues.get());
    // One BIO both ways: the session takes its one reference.
    SSL_set_bio(ssl.get(), wire, wire);
    if (settings.server) {
        SSL_set_accept_state(ssl.get());
    } else {
        SSL_set_connect_state(ssl.get());
    }
    SessionTarget kept = offerSession(ssl.get(), serverName, target);
    return std::make_unique<OpenSslEngine>(std::move(ssl), std::move(queues), settings.server,
                                           serverName, std::move(kept));
}

} // namespace

bool TlsEngine::Built() {
    return true;
}

std::shared_ptr<const TlsContext> TlsContext::Make(const TlsSettings& settings, int& error,
                                                   std::string& detail) {
    ERR_clear_error();
    CtxPtr ctx(SSL_CTX_new(settings.server ? TLS_server_method() : TLS_client_method()));
    if (!ctx) {
        return SetupFailure("cannot create a TLS context", error, detail);
    }
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_RENEGOTIATION);
    if (!settings.server) {
        // The context keeps client sessions itself, per server (SessionStore).
        SSL_CTX_set_session_cache_mode(ctx.get(),
                                       SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(ctx.get(), KeepNewSession);
    } else if (SSL_CTX_set_ciphersuites(ctx.get(), SERVER_TLS13_SUITES) != 1) {
        return SetupFailure("cannot set the TLS 1.3 cipher suites", error, detail);
    } else {
        // The server picks: AES-128-GCM costs about a sixth less per byte
        // than AES-256-GCM (ten rounds instead of fourteen), so a bulk
        // stream to the tool's or the tests' server is not held back by
        // the stronger suite that a client lists first by default.
        SSL_CTX_set_options(ctx.get(), SSL_OP_CIPHER_SERVER_PREFERENCE);
    }
    error = KAVRA_TLS_SETUP;
    if (settings.certFile.empty() != settings.keyFile.empty()) {
        detail = "a certificate needs its key and a key its certificate: give both or neither";
        return nullptr;
    }
    if (settings.server && settings.certFile.empty()) {
        detail = "serving TLS needs a certificate and its key";
        return nullptr;
    }
    if (!settings.certFile.empty() && !LoadOwnCertificate(ctx.get(), settings, detail)) {
        return nullptr;
    }
    if (!settings.server && settings.verify && !LoadTrust(ctx.get(), settings, detail)) {
        return nullptr;
    }
    error = 0;
    return std::make_shared<OpenSslContext>(settings, std::move(ctx));
}

} // namespace kavra::os
