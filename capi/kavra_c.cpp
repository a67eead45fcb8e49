// The C interface of kavra.h over KavraClientThread. Nothing thrown inside
// may reach a C caller: every entry point ends in one of the guards below.
#include "kavra/kavra.h"

#include "kavra/ConnectionStats.h"
#include "kavra/FrameDecoder.h"
#include "kavra/KavraClientThread.h"
#include "kavra/NullPduError.h"
#include "kavra/PduSizeError.h"
#include "kavra/PollableClient.h"
#include "kavra/base/CServerStatus.h"
#include "kavra/base/TlsOptions.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>
#include <new>
#include <vector>

namespace {

// How often a waiting receive looks whether the client was stopped: the
// receive counter it waits on is never released by a stop.
constexpr unsigned int kStopCheckMs = 100;

static_assert(KAVRA_MAX_PDU_LENGTH == KavraClientThread::MAX_PDU_LENGTH);
static_assert(sizeof(kavra_options) % sizeof(void*) == 0);
static_assert(offsetof(kavra_stats, pdus_accepted) == 16);

enum class State { Created, Started, Stopped };

template <typename Body>
int guarded(Body body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return KAVRA_ERR_NO_MEMORY;
    } catch (...) {
        return KAVRA_ERR_INTERNAL;
    }
}

std::string textOf(const char* text) {
    return text != nullptr ? text : "";
}

kavra::TlsOptions tlsFor(const kavra_options& o) {
    kavra::TlsOptions tls;
    tls.SetEnabled(o.tls != 0);
    tls.SetInsecureSkipVerify(o.tls_insecure_skip_verify != 0);
    tls.SetCaFile(textOf(o.tls_ca_file));
    tls.SetCaFolder(textOf(o.tls_ca_folder));
    tls.SetServerName(textOf(o.tls_server_name));
    tls.SetCertFile(textOf(o.tls_cert_file));
    tls.SetKeyFile(textOf(o.tls_key_file));
    return tls;
}

CServerStatus serverFor(const char* host, std::uint16_t port, const kavra_options& o) {
    CServerStatus server(host, port);
    server.SetConnectTimeoutMs(o.connect_timeout_ms);
    server.SetReconnect(o.reconnect != 0);
    server.SetBackoff(o.backoff_initial_ms, o.backoff_max_ms);
    server.SetJitter(o.backoff_jitter != 0);
    server.SetGiveUp(o.give_up_attempts, o.give_up_after_ms);
    server.SetKeepAlive(o.keepalive_idle_s, o.keepalive_interval_s, o.keepalive_count);
    server.SetUnacknowledgedLimitMs(o.unacknowledged_limit_ms);
    server.SetIdleLimitMs(o.idle_limit_ms);
    server.SetTls(tlsFor(o));
    return server;
}

// One assignment per field of the list; fields of one structure only are
// skipped.
#define KAVRA_COPY_STAT(kind, cxx, c) KAVRA_COPY_STAT_##kind(cxx, c)
#define KAVRA_COPY_STAT_COUNTER(cxx, c) out.c = s.cxx;
#define KAVRA_COPY_STAT_CXX_COUNTER(cxx, c)
#define KAVRA_COPY_STAT_READ(cxx, c) out.c = s.cxx;
#define KAVRA_COPY_STAT_FLAG(cxx, c) out.c = s.cxx ? 1 : 0;
#define KAVRA_COPY_STAT_SUM(cxx, c) out.c = s.cxx();

void copyStats(const kavra::ConnectionStats& s, kavra_stats& out) {
    out.reserved = 0;
    KAVRA_STATS_FIELDS(KAVRA_COPY_STAT)
}

// kavra_stats_fields: the same list as words, in the structure's order.
#define KAVRA_DESCRIBE_FLAG(kind, cxx, c) KAVRA_DESCRIBE_FLAG_##kind(c)
#define KAVRA_DESCRIBE_FLAG_COUNTER(c)
#define KAVRA_DESCRIBE_FLAG_CXX_COUNTER(c)
#define KAVRA_DESCRIBE_FLAG_READ(c)
#define KAVRA_DESCRIBE_FLAG_FLAG(c) " " #c ":flag"
#define KAVRA_DESCRIBE_FLAG_SUM(c)
#define KAVRA_DESCRIBE_WIDE(kind, cxx, c) KAVRA_DESCRIBE_WIDE_##kind(c)
#define KAVRA_DESCRIBE_WIDE_COUNTER(c) " " #c ":u64"
#define KAVRA_DESCRIBE_WIDE_CXX_COUNTER(c)
#define KAVRA_DESCRIBE_WIDE_READ(c) " " #c ":u64"
#define KAVRA_DESCRIBE_WIDE_FLAG(c)
#define KAVRA_DESCRIBE_WIDE_SUM(c) " " #c ":u64"

constexpr const char kStatsFields[] = "size:u32" KAVRA_STATS_FIELDS(KAVRA_DESCRIBE_FLAG)
    " reserved:u32" KAVRA_STATS_FIELDS(KAVRA_DESCRIBE_WIDE);

// The fields released so far keep their places: new ones go after
// send_dropped, the end of the list.
static_assert(offsetof(kavra_stats, send_dropped) == 16 + 27 * sizeof(std::uint64_t));
static_assert(offsetof(kavra_stats, last_connect_error) == 16 + 30 * sizeof(std::uint64_t));
static_assert(offsetof(kavra_stats, resumed_handshakes) == 16 + 31 * sizeof(std::uint64_t));
static_assert(offsetof(kavra_options, tls) == 18 * sizeof(std::uint32_t));
static_assert(offsetof(kavra_options, send_queue_byte_limit) ==
              20 * sizeof(std::uint32_t) + 5 * sizeof(const char*));
static_assert(sizeof(kavra_stats) % sizeof(std::uint64_t) == 0);

} // namespace

// The handle behind the C type: a client that keeps received PDUs for
// kavra_client_receive, with the life-cycle state the C calls check.
struct kavra_client final : public kavra::PollableClient {
    kavra_client(const char* host, std::uint16_t port, const kavra_options& options)
        : server(serverFor(host, port, options)) {
        SetSendQueueLimit(options.send_queue_limit);
        SetSendQueueByteLimit(options.send_queue_byte_limit);
        SetLinger(options.linger_ms);
        SetHoldWhileDisconnected(options.hold_while_disconnected != 0);
        SetMaxAge(options.max_age_ms);
        SetReceiveOverflow(options.receive_overflow == KAVRA_RECEIVE_OVERFLOW_BLOCK
                               ? kavra::ReceiveOverflow::Block
                               : kavra::ReceiveOverflow::Drop);
    }
    // The worker calls the handlers through this object's vtable: it stops
    // before the destructors of the bases rewrite it.
    ~kavra_client() override { Destroy(); }
    kavra_client(const kavra_client&) = delete;
    kavra_client& operator=(const kavra_client&) = delete;

    // With a receive callback, each PDU leaves the queue as soon as its
    // notification comes, so the callback sees the PDUs in arrival order.
    void OnReceiveQueuePush() override {
        if (onReceive == nullptr) {
            PollableClient::OnReceiveQueuePush();
            return;
        }
        unsigned int length = 0;
        if (ReceivePdu(delivery.data(), KAVRA_MAX_PDU_LENGTH, &length, 0) == RECEIVE_OK) {
            onReceive(onReceiveContext, delivery.data(), length);
        }
    }

    CServerStatus server;
    // Set before the start, read by the worker only afterwards.
    kavra_receive_fn onReceive = nullptr;
    void* onReceiveContext = nullptr;
    std::vector<unsigned char> delivery = std::vector<unsigned char>(KAVRA_MAX_PDU_LENGTH);
    // Serialises start and stop, which may come from different threads.
    std::mutex lifeCycle;
    std::atomic<State> state{State::Created};
};

namespace {

int receiveUntil(kavra_client& client, void* buffer, std::uint32_t capacity, std::uint32_t* size,
                 std::uint32_t timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const bool forever = timeoutMs == KAVRA_WAIT_FOREVER;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    unsigned int length = 0;
    for (;;) {
        if (client.state.load() == State::Stopped) {
            return KAVRA_ERR_STOPPED;
        }
        unsigned int slice = kStopCheckMs;
        if (!forever) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            slice = static_cast<unsigned int>(
                std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, kStopCheckMs));
        }
        const int result = client.ReceivePdu(buffer, capacity, &length, slice);
        if (result == KavraClientThread::RECEIVE_OK || result == KavraClientThread::RECEIVE_TOO_SMALL) {
            if (size != nullptr) {
                *size = length;
            }
            return result == KavraClientThread::RECEIVE_OK ? KAVRA_OK : KAVRA_ERR_TOO_SMALL;
        }
        if (!forever && Clock::now() >= deadline) {
            return KAVRA_ERR_TIMEOUT;
        }
    }
}

// A send's result codes around attempt, which calls SendPdu or SendPduWait.
template <typename Attempt> int sendWith(kavra_client* client, const Attempt& attempt) {
    if (client == nullptr) {
        return KAVRA_ERR_ARGUMENT;
    }
    switch (client->state.load()) {
    case State::Created:
        return KAVRA_ERR_NOT_STARTED;
    case State::Stopped:
        return KAVRA_ERR_STOPPED;
    case State::Started:
        break;
    }
    return guarded([&] {
        int result = 0;
        try {
            result = attempt();
        } catch (const kavra::NullPduError&) {
            return KAVRA_ERR_NULL_PDU;
        } catch (const kavra::PduSizeError&) {
            return KAVRA_ERR_SIZE;
        } catch (const std::bad_alloc&) {
            return KAVRA_ERR_NO_MEMORY;
        }
        switch (result) {
        case 0:
            return KAVRA_OK;
        case KavraClientThread::SEND_QUEUE_FULL:
            return KAVRA_ERR_QUEUE_FULL;
        default:
            // A stop that came between the state check and the send.
            return client->IsQuitRequested() ? KAVRA_ERR_STOPPED : KAVRA_ERR_NOT_STARTED;
        }
    });
}

} // namespace

extern "C" {

uint32_t KAVRA_CALL kavra_version(void) {
    return KAVRA_VERSION_MAJOR * 10000u + KAVRA_VERSION_MINOR * 100u + KAVRA_VERSION_PATCH;
}

const char* KAVRA_CALL kavra_strerror(int code) {
    switch (code) {
    case KAVRA_OK:
        return "success";
    case KAVRA_ERR_ARGUMENT:
        return "invalid argument";
    case KAVRA_ERR_NULL_PDU:
        return "the PDU data pointer is null";
    case KAVRA_ERR_SIZE:
        return "the PDU is longer than 8812 bytes";
    case KAVRA_ERR_NOT_STARTED:
        return "the client was not started";
    case KAVRA_ERR_QUEUE_FULL:
        return "the send queue is full";
    case KAVRA_ERR_TIMEOUT:
        return "nothing arrived in time";
    case KAVRA_ERR_TOO_SMALL:
        return "the buffer is too small for the PDU";
    case KAVRA_ERR_NO_MEMORY:
        return "out of memory";
    case KAVRA_ERR_CONNECT:
        return "cannot connect";
    case KAVRA_ERR_STOPPED:
        return "the client was stopped";
    case KAVRA_ERR_STATE:
        return "the client was already started or stopped";
    case KAVRA_ERR_INTERNAL:
        return "internal error";
    case KAVRA_ERR_NO_FRAME:
        return "no whole frame waits";
    default:
        return "unknown result code";
    }
}

const char* KAVRA_CALL kavra_tls_strerror(int code) {
    switch (code) {
    case KAVRA_TLS_NOT_BUILT:
        return "this build of kavra has no TLS";
    case KAVRA_TLS_SETUP:
        return "the TLS settings cannot be used (a CA, certificate or key file)";
    case KAVRA_TLS_UNTRUSTED:
        return "the server's certificate is not signed by a trusted authority";
    case KAVRA_TLS_NAME_MISMATCH:
        return "the server's certificate is not for the name asked for";
    case KAVRA_TLS_EXPIRED:
        return "the server's certificate has expired or is not valid yet";
    case KAVRA_TLS_NOT_TLS:
        return "the server does not speak TLS (plain TCP?)";
    case KAVRA_TLS_CLOSED_IN_HANDSHAKE:
        return "the server closed the connection during the TLS handshake";
    case KAVRA_TLS_HANDSHAKE:
        return "the TLS handshake failed";
    case KAVRA_TLS_TRUNCATED:
        return "the TLS connection ended without close_notify";
    case KAVRA_TLS_BAD_RECORD:
        return "a TLS record was damaged";
    case KAVRA_TLS_ALERT:
        return "the peer sent a fatal TLS alert";
    case KAVRA_PROXY_SETUP:
        return "the proxy settings cannot be used (the proxy URL or the target)";
    case KAVRA_PROXY_UNREACHABLE:
        return "the proxy cannot be reached";
    case KAVRA_PROXY_REFUSED:
        return "the proxy refused to connect to the server";
    case KAVRA_PROXY_AUTH_REQUIRED:
        return "the proxy asks for credentials";
    case KAVRA_PROXY_AUTH_REFUSED:
        return "the proxy refused the credentials";
    case KAVRA_PROXY_CLOSED_IN_HANDSHAKE:
        return "the proxy closed the connection during its handshake";
    case KAVRA_PROXY_STALLED:
        return "the proxy did not answer in time";
    case KAVRA_PROXY_MALFORMED:
        return "the proxy's reply is malformed";
    default:
        return "not a TLS failure code";
    }
}

int KAVRA_CALL kavra_tls_available(void) {
    return kavra::TlsOptions::Available() ? 1 : 0;
}

const char* KAVRA_CALL kavra_error_text_gbk(int code) {
    switch (code) {
    case KAVRA_ERR_NULL_PDU:
        return kavra::NullPduError::Text();
    case KAVRA_ERR_SIZE:
        return kavra::PduSizeError::Text();
    default:
        return nullptr;
    }
}

void KAVRA_CALL kavra_options_init(kavra_options* options) {
    if (options == nullptr) {
        return;
    }
    const CServerStatus server;
    *options = kavra_options{};
    options->size = sizeof(kavra_options);
    options->connect_timeout_ms = server.GetConnectTimeoutMs();
    options->reconnect = server.GetReconnect() ? 1 : 0;
    options->backoff_initial_ms = server.GetInitialDelayMs();
    options->backoff_max_ms = server.GetMaximumDelayMs();
    options->backoff_jitter = server.GetJitter() ? 1 : 0;
    options->give_up_attempts = server.GetGiveUpAttempts();
    options->give_up_after_ms = server.GetGiveUpAfterMs();
    options->keepalive_idle_s = server.GetKeepAliveIdleS();
    options->keepalive_interval_s = server.GetKeepAliveIntervalS();
    options->keepalive_count = server.GetKeepAliveCount();
    options->idle_limit_ms = server.GetIdleLimitMs();
    options->linger_ms = KavraClientThread::SOCKET_IO_TIMEOUT_MS;
    options->receive_overflow = KAVRA_RECEIVE_OVERFLOW_BLOCK;
}

int KAVRA_CALL kavra_client_create(const char* host, uint16_t port, const kavra_options* options,
                                   kavra_client** client) {
    if (client == nullptr) {
        return KAVRA_ERR_ARGUMENT;
    }
    *client = nullptr;
    if (host == nullptr || (options != nullptr && options->size < sizeof options->size)) {
        return KAVRA_ERR_ARGUMENT;
    }
    return guarded([&] {
        kavra_options effective;
        kavra_options_init(&effective);
        if (options != nullptr) {
            // Fields past what the caller knows keep their defaults.
            std::memcpy(&effective, options, std::min<std::size_t>(options->size, sizeof effective));
        }
        *client = new kavra_client(host, port, effective);
        return KAVRA_OK;
    });
}

int KAVRA_CALL kavra_client_start(kavra_client* client) {
    if (client == nullptr) {
        return KAVRA_ERR_ARGUMENT;
    }
    return guarded([&] {
        const std::lock_guard lock(client->lifeCycle);
        if (client->state.load() != State::Created) {
            return KAVRA_ERR_STATE;
        }
        const int connected = client->SetSocket(nullptr, 0, &client->server);
        if (client->Create() == 0) {
            client->SetSocket(nullptr, 0, nullptr);
            return KAVRA_ERR_INTERNAL;
        }
        client->state.store(State::Started);
        return connected == 1 ? KAVRA_OK : KAVRA_ERR_CONNECT;
    });
}

int KAVRA_CALL kavra_client_stop(kavra_client* client) {
    if (client == nullptr) {
        return KAVRA_ERR_ARGUMENT;
    }
    return guarded([&] {
        const std::lock_guard lock(client->lifeCycle);
        if (client->state.exchange(State::Stopped) == State::Started) {
            client->Destroy();
        }
        return KAVRA_OK;
    });
}

void KAVRA_CALL kavra_client_destroy(kavra_client* client) {
    guarded([&] {
        delete client;
        return KAVRA_OK;
    });
}

int KAVRA_CALL kavra_client_send(kavra_client* client, const void* data, uint32_t size) {
    return sendWith(client, [&] { return client->SendPdu(data, size); });
}

int KAVRA_CALL kavra_client_send_wait(kavra_client* client, const void* data, uint32_t size,
                                      uint32_t timeout_ms) {
    return sendWith(client, [&] { return client->SendPduWait(data, size, timeout_ms); });
}

intptr_t KAVRA_CALL kavra_client_receive_handle(const kavra_client* client) {
    return client != nullptr ? client->GetReceiveHandle() : -1;
}

int KAVRA_CALL kavra_client_receive(kavra_client* client, void* buffer, uint32_t capacity,
                                    uint32_t* size, uint32_t timeout_ms) {
    if (client == nullptr || (buffer == nullptr && capacity > 0)) {
        return KAVRA_ERR_ARGUMENT;
    }
    return guarded([&] { return receiveUntil(*client, buffer, capacity, size, timeout_ms); });
}

int KAVRA_CALL kavra_client_stats(const kavra_client* client, kavra_stats* stats) {
    if (client == nullptr || stats == nullptr || stats->size < sizeof stats->size) {
        return KAVRA_ERR_ARGUMENT;
    }
    return guarded([&] {
        kavra_stats full{};
        full.size = stats->size;
        copyStats(client->GetStats(), full);
        std::memcpy(stats, &full, std::min<std::size_t>(stats->size, sizeof full));
        return KAVRA_OK;
    });
}

uint32_t KAVRA_CALL kavra_stats_size(void) {
    return sizeof(kavra_stats);
}

const char* KAVRA_CALL kavra_stats_fields(void) {
    return kStatsFields;
}

int KAVRA_CALL kavra_client_set_receive_callback(kavra_client* client, kavra_receive_fn fn,
                                                 void* context) {
    if (client == nullptr) {
        return KAVRA_ERR_ARGUMENT;
    }
    const std::lock_guard lock(client->lifeCycle);
    if (client->state.load() != State::Created) {
        return KAVRA_ERR_STATE;
    }
    client->onReceive = fn;
    client->onReceiveContext = context;
    return KAVRA_OK;
}

int KAVRA_CALL kavra_client_set_proxy(kavra_client* client, const char* url, char* why,
                                      size_t why_size) {
    return guarded([&] {
        if (client == nullptr) {
            return KAVRA_ERR_ARGUMENT;
        }
        const std::lock_guard lock(client->lifeCycle);
        if (client->state.load() != State::Created) {
            return KAVRA_ERR_STATE;
        }
        std::string reason;
        if (client->server.SetProxy(textOf(url), &reason) != 0) {
            if (why != nullptr && why_size > 0) {
                const std::size_t n = std::min(reason.size(), why_size - 1);
                std::memcpy(why, reason.data(), n);
                why[n] = '\0';
            }
            return KAVRA_ERR_ARGUMENT;
        }
        return KAVRA_OK;
    });
}

int KAVRA_CALL kavra_client_is_connected(const kavra_client* client) {
    return client != nullptr && client->IsConnected() ? 1 : 0;
}

int KAVRA_CALL kavra_client_has_given_up(const kavra_client* client) {
    return client != nullptr && client->HasGivenUp() ? 1 : 0;
}

} // extern "C"

// The handle behind the C decoder: the frame the caller has not taken yet
// waits in the FrameDecoder until a buffer large enough asks for it, so that
// a too-small buffer loses nothing.
struct kavra_decoder {
    kavra::FrameDecoder decoder;
    std::vector<unsigned char> body;
};

int KAVRA_CALL kavra_decoder_create(kavra_decoder** decoder) {
    if (decoder == nullptr) {
        return KAVRA_ERR_ARGUMENT;
    }
    *decoder = nullptr;
    return guarded([&] {
        *decoder = new kavra_decoder;
        return KAVRA_OK;
    });
}

void KAVRA_CALL kavra_decoder_destroy(kavra_decoder* decoder) {
    delete decoder;
}

int KAVRA_CALL kavra_decoder_feed(kavra_decoder* decoder, const void* data, size_t size,
                                  size_t* consumed) {
    if (consumed != nullptr) {
        *consumed = 0;
    }
    if (decoder == nullptr || (data == nullptr && size > 0)) {
        return KAVRA_ERR_ARGUMENT;
    }
    return guarded([&] {
        const std::size_t used = size > 0 ? decoder->decoder.Feed(data, size) : 0;
        if (consumed != nullptr) {
            *consumed = used;
        }
        return KAVRA_OK;
    });
}

int KAVRA_CALL kavra_decoder_next(kavra_decoder* decoder, void* buffer, uint32_t capacity,
                                  uint32_t* size) {
    if (decoder == nullptr || (buffer == nullptr && capacity > 0)) {
        return KAVRA_ERR_ARGUMENT;
    }
    return guarded([&] {
        if (decoder->body.empty() && !decoder->decoder.Next(decoder->body)) {
            return KAVRA_ERR_NO_FRAME;
        }
        const auto length = static_cast<std::uint32_t>(decoder->body.size());
        if (size != nullptr) {
            *size = length;
        }
        if (length > capacity) {
            return KAVRA_ERR_TOO_SMALL;
        }
        std::memcpy(buffer, decoder->body.data(), length);
        decoder->body.clear();
        return KAVRA_OK;
    });
}

int KAVRA_CALL kavra_decoder_counters_get(const kavra_decoder* decoder,
                                          kavra_decoder_counters* counters) {
    if (decoder == nullptr || counters == nullptr || counters->size < sizeof counters->size) {
        return KAVRA_ERR_ARGUMENT;
    }
    const kavra::FrameDecoder::Counters& seen = decoder->decoder.GetCounters();
    kavra_decoder_counters full{};
    full.size = counters->size;
    full.skipped_bytes = seen.skippedBytes;
    full.bad_headers = seen.badHeaders;
    full.oversize_discarded = seen.oversizeDiscarded;
    full.frames = seen.frames;
    std::memcpy(counters, &full, std::min<std::size_t>(counters->size, sizeof full));
    return KAVRA_OK;
}

int KAVRA_CALL kavra_decoder_reset(kavra_decoder* decoder) {
    if (decoder == nullptr) {
        return KAVRA_ERR_ARGUMENT;
    }
    decoder->decoder.Reset();
    decoder->body.clear();
    return KAVRA_OK;
}
