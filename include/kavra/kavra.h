/**
 * @file
 * The C interface: one framed, queued client connection behind an opaque
 * handle, for programs that cannot use the C++ classes (C programs, other
 * compilers than the library's, languages with a C foreign-function
 * interface).
 *
 * Plain C99; it compiles as C and as C++. Every function has C linkage, takes
 * and returns only C types, and never lets an exception out: failures come
 * back as KAVRA_ERR_* result codes (kavra_strerror names them). The functions
 * live in the same shared library as the C++ classes (libkavra.so,
 * kavra.dll).
 *
 * Model. A client (kavra_client) is a kavra::PollableClient: received PDUs
 * wait for kavra_client_receive, and kavra_client_receive_handle gives a
 * handle that an event loop watches for them:
 *
 * @verbatim
 *   kavra_options_init -> kavra_client_create -> kavra_client_start
 *     -> kavra_client_send / kavra_client_receive / kavra_client_stats ...
 *     -> kavra_client_stop -> kavra_client_destroy
 * @endverbatim
 *
 * Threads. Create, start and destroy a client on one application thread.
 * Send, receive, stats and the two flags may be called from any number of
 * threads at once between kavra_client_create and kavra_client_destroy;
 * kavra_client_stop from any thread, also while others are inside send or
 * receive. Nothing may run on a client while or after it is destroyed. The
 * library's worker thread never calls back into the application.
 *
 * Calling convention: __cdecl on 32-bit Windows (KAVRA_CALL), whatever the
 * caller's compiler default is (/Gz included); elsewhere the platform's one C
 * convention. Exported names are the plain C names, undecorated, on every
 * platform. Structures have natural alignment; counters are 64-bit.
 *
 * Strings in kavra_options are copied by kavra_client_create; the caller
 * may free them afterwards.
 *
 * Growing structures. kavra_options and kavra_stats start with their own
 * size in bytes. A caller built against an older header passes the smaller
 * size it knows: the library reads and writes only that much, and options it
 * does not know keep their defaults.
 */
#ifndef KAVRA_KAVRA_H
#define KAVRA_KAVRA_H

#include "kavra/Export.h"
#include "kavra/StatsFields.h"
#include "kavra/TlsErrors.h"

#include <stddef.h>
#include <stdint.h>

/// @name Version of this header (the library's own: kavra_version)
///@{
/// Incompatible changes of the C interface raise it.
#define KAVRA_VERSION_MAJOR 0
/// Additions (functions, fields at the end of a structure) raise it.
#define KAVRA_VERSION_MINOR 6
/// Fixes.
#define KAVRA_VERSION_PATCH 3
///@}

/// @def KAVRA_CALL
/// The calling convention of every function here: __cdecl on Windows (it
/// only matters on 32-bit x86), nothing elsewhere.
#if defined(_WIN32)
#define KAVRA_CALL __cdecl
#else
#define KAVRA_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/// @name Result codes
/// 0 is success; every failure is negative.
///@{
#define KAVRA_OK 0
/// A required pointer (client, output) was null, or a structure's size field
/// is too small to hold its first member.
#define KAVRA_ERR_ARGUMENT (-1)
/// kavra_client_send: the data pointer was null (the C++ SendPdu throws
/// this; kavra_error_text_gbk has its text).
#define KAVRA_ERR_NULL_PDU (-2)
/// kavra_client_send: the size exceeds KAVRA_MAX_PDU_LENGTH (the C++ SendPdu
/// throws this; kavra_error_text_gbk has its text).
#define KAVRA_ERR_SIZE (-3)
/// kavra_client_send: the client was not started (no socket attached).
#define KAVRA_ERR_NOT_STARTED (-4)
/// kavra_client_send: the send-queue limit is reached; nothing was queued.
#define KAVRA_ERR_QUEUE_FULL (-5)
/// kavra_client_receive: nothing arrived within the timeout.
#define KAVRA_ERR_TIMEOUT (-6)
/// kavra_client_receive: the body is longer than the buffer; nothing was
/// copied, the PDU stays first in line, and the size output tells the
/// capacity needed.
#define KAVRA_ERR_TOO_SMALL (-7)
/// Memory ran out; nothing was done.
#define KAVRA_ERR_NO_MEMORY (-8)
/// kavra_client_start: the first connection attempt failed (the worker runs
/// all the same; with reconnection on it keeps trying).
#define KAVRA_ERR_CONNECT (-9)
/// The client was stopped: send and receive refuse to work.
#define KAVRA_ERR_STOPPED (-10)
/// kavra_client_start on a client that was already started or stopped.
#define KAVRA_ERR_STATE (-11)
/// An unexpected failure inside the library.
#define KAVRA_ERR_INTERNAL (-12)
/// kavra_decoder_next: no whole frame waits; feed more bytes.
#define KAVRA_ERR_NO_FRAME (-13)
///@}

/// Largest body kavra_client_send accepts and kavra_client_receive delivers.
#define KAVRA_MAX_PDU_LENGTH 8812u
/// Timeout value of kavra_client_receive that waits without limit.
#define KAVRA_WAIT_FOREVER 0xFFFFFFFFu

/// @name Receive overflow policies (kavra_options::receive_overflow)
///@{
/// Read and drop a frame that arrives while 100 PDUs wait (counted).
#define KAVRA_RECEIVE_OVERFLOW_DROP 0u
/// Stop reading until the consumer catches up; TCP slows the peer.
#define KAVRA_RECEIVE_OVERFLOW_BLOCK 1u
///@}

/**
 * How a client connects, reconnects and queues. Fill it with
 * kavra_options_init, then change what differs. Times in milliseconds unless
 * the name says seconds; 0 means "none" or "off" where a field says so.
 */
typedef struct kavra_options {
    /// sizeof(kavra_options) as the caller knows it (kavra_options_init sets it).
    uint32_t size;
    /// Time allowed for each connect attempt (default 3000).
    uint32_t connect_timeout_ms;
    /// Nonzero: reconnect with backoff after a drop or a failed first
    /// attempt (default 1).
    uint32_t reconnect;
    /// Backoff before the first reconnection attempt (default 100).
    uint32_t backoff_initial_ms;
    /// Largest backoff (default 5000); below the initial one it is raised to it.
    uint32_t backoff_max_ms;
    /// Nonzero: draw each backoff from [delay / 2, delay] (default 1).
    uint32_t backoff_jitter;
    /// Stop reconnecting after so many failures in a row; 0: never (default).
    uint32_t give_up_attempts;
    /// Stop reconnecting after so long without a connection; 0: never (default).
    uint32_t give_up_after_ms;
    /// Keepalive: seconds of silence before the first probe (default 30;
    /// 0 in any keepalive field turns keepalive off).
    uint32_t keepalive_idle_s;
    /// Keepalive: seconds between probes (default 10).
    uint32_t keepalive_interval_s;
    /// Keepalive: unanswered probes before the peer counts as dead (default 5).
    uint32_t keepalive_count;
    /// How long written data may stay unacknowledged; 0 follows keepalive
    /// (default).
    uint32_t unacknowledged_limit_ms;
    /// A connection that received nothing for so long counts as dead; 0: off
    /// (default).
    uint32_t idle_limit_ms;
    /// Most entries waiting in the send queue; 0: unbounded (default). When
    /// reached, kavra_client_send returns KAVRA_ERR_QUEUE_FULL.
    uint32_t send_queue_limit;
    /// How long a stop may keep writing queued entries (default 3000).
    uint32_t linger_ms;
    /// Nonzero: keep queued entries while the connection is down and write
    /// them once it is back, instead of dropping them (default 0).
    uint32_t hold_while_disconnected;
    /// Entries older than this when they could be written are dropped; 0: no
    /// limit (default).
    uint32_t max_age_ms;
    /// KAVRA_RECEIVE_OVERFLOW_BLOCK (default: a full receive queue stops
    /// reading, TCP slows the peer, nothing is dropped) or
    /// KAVRA_RECEIVE_OVERFLOW_DROP (a frame arriving at a full queue is read
    /// and dropped, counted in receive_drops_queue_full).
    uint32_t receive_overflow;
    /// Nonzero: every connection is encrypted with TLS (default 0). The TCP
    /// connect and the handshake share connect_timeout_ms; a handshake that
    /// fails is a failed connect attempt with a KAVRA_TLS_* reason
    /// (last_connect_error, kavra_tls_strerror). kavra_tls_available tells
    /// whether this build has TLS.
    uint32_t tls;
    /// Nonzero: accept any certificate for any name. The connection is
    /// encrypted, but anyone in the middle can read it: for tests only
    /// (default 0).
    uint32_t tls_insecure_skip_verify;
    /// The trusted authorities: a PEM file (or null) ...
    const char* tls_ca_file;
    /// ... or a folder of PEM files (or null); both null (the default): the
    /// system's store.
    const char* tls_ca_folder;
    /// The name the server's certificate must carry, also sent to it (SNI);
    /// null (the default): the host given to kavra_client_create.
    const char* tls_server_name;
    /// The client's certificate (PEM, chain allowed), for a server that asks
    /// for one; with tls_key_file or not at all (default null).
    const char* tls_cert_file;
    /// The private key of tls_cert_file (PEM; default null).
    const char* tls_key_file;
    /// Most body bytes waiting in the send queue; 0: unbounded (default).
    /// A PDU that would exceed it is refused like one at send_queue_limit,
    /// unless the queue is empty.
    uint32_t send_queue_byte_limit;
    /// Always 0.
    uint32_t reserved;
} kavra_options;

/**
 * One client's counters (the C++ kavra::ConnectionStats, field by field):
 * size, the flags connected and gave_up (nonzero when true), reserved, then
 * every 64-bit field of KAVRA_STATS_FIELDS (kavra/StatsFields.h) in its
 * order, where each is described: pdus_accepted, frames_sent, ...,
 * ms_in_current_state, send_dropped, encrypted, tls_version,
 * last_connect_error, resumed_handshakes. Set size to sizeof(kavra_stats) before
 * kavra_client_stats. At a quiet moment pdus_accepted == frames_sent +
 * send_dropped + send_queued + send_buffered, and frames_read ==
 * frames_received + receive_drops_queue_full + oversize_discarded.
 */
typedef struct kavra_stats {
    /// sizeof(kavra_stats) as the caller knows it; the library writes no more.
    uint32_t size;
    /// connected, gave_up: nonzero while the connection is up, once the
    /// give-up limit ended the reconnection attempts.
    KAVRA_STATS_FIELDS(KAVRA_STATS_C_FLAG)
    /// Always 0; keeps the counters 8-byte aligned everywhere.
    uint32_t reserved;
    /// The counters, from pdus_accepted to resumed_handshakes.
    KAVRA_STATS_FIELDS(KAVRA_STATS_C_WIDE)
} kavra_stats;

/// A client connection; opaque.
typedef struct kavra_client kavra_client;

/// @name Version and errors (any thread)
///@{

/// The library's version as MAJOR * 10000 + MINOR * 100 + PATCH; compare
/// with the KAVRA_VERSION_* macros of the header a program was built with.
KAVRA_API uint32_t KAVRA_CALL kavra_version(void);

/// A short ASCII description of a result code; never null ("unknown result
/// code" for codes this library does not return). The text is static.
KAVRA_API const char* KAVRA_CALL kavra_strerror(int code);

/// A short ASCII description of a TLS or proxy failure code (KAVRA_TLS_*,
/// KAVRA_PROXY_*, kavra/TlsErrors.h), as last_connect_error holds one; "not
/// a TLS failure code" for other codes (errno-style ones have the C library's strerror).
/// Never null; the text is static.
KAVRA_API const char* KAVRA_CALL kavra_tls_strerror(int code);

/// 1 when this build of the library has TLS, 0 when it has none (then a
/// client with the tls option fails each connect with KAVRA_TLS_NOT_BUILT).
KAVRA_API int KAVRA_CALL kavra_tls_available(void);

/// For KAVRA_ERR_NULL_PDU and KAVRA_ERR_SIZE: the exact bytes of the message
/// the C++ SendPdu throws for that error (GBK-encoded, code page 936,
/// NUL-terminated); null for every other code. The text is static.
KAVRA_API const char* KAVRA_CALL kavra_error_text_gbk(int code);
///@}

/// @name Client life (application thread)
///@{

/// Fills options with the defaults and sets its size. options not null.
KAVRA_API void KAVRA_CALL kavra_options_init(kavra_options* options);

/// Makes a client for host:port (a name or a numeric IPv4 or IPv6 address)
/// with options (null: the defaults). Connects nothing yet. On success
/// *client receives the handle (KAVRA_OK); otherwise *client is null and the
/// code says why (KAVRA_ERR_ARGUMENT for a null host or client, or an
/// options size too small for its size field).
KAVRA_API int KAVRA_CALL kavra_client_create(const char* host, uint16_t port,
                                             const kavra_options* options,
                                             kavra_client** client);

/// Attempts the first connection (for at most connect_timeout_ms) and starts
/// the worker thread. KAVRA_OK: connected. KAVRA_ERR_CONNECT: not connected;
/// the worker runs all the same, and with reconnect on it keeps trying with
/// backoff (kavra_client_is_connected tells when it is up). KAVRA_ERR_STATE:
/// already started or stopped. Once per client.
KAVRA_API int KAVRA_CALL kavra_client_start(kavra_client* client);

/// Stops the worker: queued entries are still written for at most linger_ms,
/// the rest is dropped and counted; returns within the linger plus one write
/// timeout. Later sends and receives return KAVRA_ERR_STOPPED; a receive
/// waiting meanwhile returns within about 100 ms. Stats stay readable. A
/// second call does nothing. Any thread. Returns KAVRA_OK, or
/// KAVRA_ERR_ARGUMENT for a null client.
KAVRA_API int KAVRA_CALL kavra_client_stop(kavra_client* client);

/// Stops the client if needed (as kavra_client_stop) and releases it and
/// everything still queued. Null does nothing. No other call on the client
/// may be running or follow.
KAVRA_API void KAVRA_CALL kavra_client_destroy(kavra_client* client);
///@}

/// @name Traffic (any thread)
///@{

/// Copies size bytes from data into the send queue; the worker writes them
/// as one frame. The caller may reuse data as soon as the call returns.
/// KAVRA_OK: queued (a size of 0 is accepted, counted in send_dropped_empty,
/// and never written). KAVRA_ERR_NULL_PDU, KAVRA_ERR_SIZE: the argument
/// errors, nothing queued. KAVRA_ERR_QUEUE_FULL, KAVRA_ERR_NOT_STARTED,
/// KAVRA_ERR_STOPPED, KAVRA_ERR_NO_MEMORY, KAVRA_ERR_ARGUMENT (null client).
/// While the connection is down, an accepted PDU is dropped and counted
/// unless hold_while_disconnected is set.
KAVRA_API int KAVRA_CALL kavra_client_send(kavra_client* client, const void* data,
                                           uint32_t size);

/// kavra_client_send, but at send_queue_limit or send_queue_byte_limit it
/// waits at most timeout_ms (KAVRA_WAIT_FOREVER: no limit) for the worker to
/// make room, and queues the PDU once it fits. KAVRA_ERR_QUEUE_FULL: the
/// time ran out with no room, nothing queued. KAVRA_ERR_STOPPED: the client
/// was stopped (before or during the wait). Otherwise as kavra_client_send.
KAVRA_API int KAVRA_CALL kavra_client_send_wait(kavra_client* client, const void* data,
                                                uint32_t size, uint32_t timeout_ms);

/// The receive handle, to wait on in an event loop instead of blocking in
/// kavra_client_receive: on Linux a file descriptor (poll, epoll without
/// EPOLLET, select: wait for readability), on Windows an event HANDLE
/// (WaitForSingleObject, WaitForMultipleObjects), as an integer. It is
/// readable (signalled) exactly while at least one received PDU waits, and
/// stops being readable once the last one is taken, without the caller
/// touching it; the caller never reads, writes, resets or closes it. Valid
/// from kavra_client_create to kavra_client_destroy. With several consumers,
/// another may take the PDU between a wake-up and the take: a
/// kavra_client_receive with timeout 0 after a wake-up may then return
/// KAVRA_ERR_TIMEOUT; wait again. -1 for a null client.
KAVRA_API intptr_t KAVRA_CALL kavra_client_receive_handle(const kavra_client* client);

/// Waits at most timeout_ms (0: no wait, KAVRA_WAIT_FOREVER: no limit) for a
/// received PDU and copies its body into buffer. KAVRA_OK: copied, *size
/// holds its length. KAVRA_ERR_TOO_SMALL: the body is longer than capacity;
/// nothing was copied, *size holds the capacity needed, and the PDU stays
/// first in line for a retry. KAVRA_ERR_TIMEOUT: nothing arrived.
/// KAVRA_ERR_STOPPED: the client was stopped (before or during the wait).
/// buffer may be null only with capacity 0; size may be null. A buffer of
/// KAVRA_MAX_PDU_LENGTH bytes always suffices.
KAVRA_API int KAVRA_CALL kavra_client_receive(kavra_client* client, void* buffer,
                                              uint32_t capacity, uint32_t* size,
                                              uint32_t timeout_ms);
///@}

/// @name Observation (any thread, without locks)
///@{

/// Copies the counters into stats, of which the caller has set size (at
/// most that many bytes are written; a larger size than the library knows
/// is fine). KAVRA_OK, or KAVRA_ERR_ARGUMENT for a null pointer or a size
/// below 4.
KAVRA_API int KAVRA_CALL kavra_client_stats(const kavra_client* client, kavra_stats* stats);

/// sizeof(kavra_stats) as this library knows it, for bindings that declare
/// the structure themselves.
KAVRA_API uint32_t KAVRA_CALL kavra_stats_size(void);

/// The fields of kavra_stats in their order, for bindings that build the
/// structure from it: "name:type" words separated by single spaces, type
/// u32 (a 32-bit field that is no counter), flag (32-bit, 0 or 1) or u64.
/// The text is static.
KAVRA_API const char* KAVRA_CALL kavra_stats_fields(void);

/// 1 while the connection is up, 0 otherwise (also for null).
/// Every connection of the client goes through a proxy:
/// "http://[user:password@]host:port" (HTTP CONNECT, Basic authentication) or
/// "socks5://[user:password@]host:port" (SOCKS5, no authentication or
/// user/password); user and password may percent-encode any byte (%40 for
/// '@'). The proxy resolves the client's host; TLS verifies that host, not
/// the proxy. Null or "" for none (the default). The library reads no
/// environment variable. A proxy's failure fails the connect attempt with a
/// KAVRA_PROXY_* code in last_connect_error (kavra_tls_strerror names it).
/// KAVRA_OK; KAVRA_ERR_ARGUMENT for a null client or a URL that cannot be
/// used, the reason (with the password hidden) then copied into why, cut to
/// why_size bytes with its terminating zero, when why is not null;
/// KAVRA_ERR_STATE once the client was started. Application thread,
/// before kavra_client_start.
KAVRA_API int KAVRA_CALL kavra_client_set_proxy(kavra_client* client, const char* url, char* why,
                                                size_t why_size);

KAVRA_API int KAVRA_CALL kavra_client_is_connected(const kavra_client* client);

/// 1 once the give-up limit ended the reconnection attempts (the connection
/// then stays down), 0 otherwise (also for null).
KAVRA_API int KAVRA_CALL kavra_client_has_given_up(const kavra_client* client);
///@}

/// @name Push decoder
/// For programs that read the byte stream themselves (their own event loop,
/// a file, a capture): kavra_decoder cuts frames out of bytes pushed in
/// pieces of any size, with the receive path's resynchronisation and
/// counters, and does no I/O. It holds at most one header and one body of
/// KAVRA_MAX_PDU_LENGTH bytes, whatever it is fed.
///
/// @verbatim
///   while bytes remain:
///       kavra_decoder_feed(d, bytes, n, &used); bytes += used; n -= used;
///       while (kavra_decoder_next(d, buf, cap, &len) == KAVRA_OK) use(buf, len);
/// @endverbatim
///
/// Threads: a decoder is used by one thread at a time; different decoders
/// are independent.
///@{

/// A decoder's handle; kavra_decoder_create makes one.
typedef struct kavra_decoder kavra_decoder;

/// What a decoder has seen since it was made or reset. size first, as in
/// kavra_stats.
typedef struct kavra_decoder_counters {
    /// Set by the caller to sizeof(kavra_decoder_counters) before the call.
    uint32_t size;
    /// Alignment of the counters; always 0.
    uint32_t reserved;
    /// Bytes dropped in front of a possible sync mark.
    uint64_t skipped_bytes;
    /// Headers whose length was 0, negative or beyond 1 MiB.
    uint64_t bad_headers;
    /// Frames longer than KAVRA_MAX_PDU_LENGTH, skipped whole.
    uint64_t oversize_discarded;
    /// Frames found whole (taken or waiting).
    uint64_t frames;
} kavra_decoder_counters;

/// A decoder at the start of a stream in *decoder. KAVRA_OK,
/// KAVRA_ERR_ARGUMENT (null), KAVRA_ERR_NO_MEMORY.
KAVRA_API int KAVRA_CALL kavra_decoder_create(kavra_decoder** decoder);

/// Frees the decoder and whatever it holds; null is fine.
KAVRA_API void KAVRA_CALL kavra_decoder_destroy(kavra_decoder* decoder);

/// Pushes size bytes; *consumed (may be null) tells how many the decoder
/// took: all of them, unless a frame became whole first, in which case it
/// stops right behind that frame and takes nothing more until the frame is
/// taken with kavra_decoder_next. KAVRA_OK, or KAVRA_ERR_ARGUMENT (null
/// decoder, or null data with a size).
KAVRA_API int KAVRA_CALL kavra_decoder_feed(kavra_decoder* decoder, const void* data,
                                            size_t size, size_t* consumed);

/// Copies the waiting frame's body into buffer. KAVRA_OK: copied, *size
/// holds its length, and the decoder takes bytes again. KAVRA_ERR_NO_FRAME:
/// no whole frame waits. KAVRA_ERR_TOO_SMALL: nothing copied, *size holds
/// the capacity needed, and the frame keeps waiting. buffer may be null only
/// with capacity 0; size may be null.
KAVRA_API int KAVRA_CALL kavra_decoder_next(kavra_decoder* decoder, void* buffer,
                                            uint32_t capacity, uint32_t* size);

/// Copies the counters into counters, of which the caller has set size.
/// KAVRA_OK, or KAVRA_ERR_ARGUMENT for a null pointer or a size below 4.
KAVRA_API int KAVRA_CALL kavra_decoder_counters_get(const kavra_decoder* decoder,
                                                    kavra_decoder_counters* counters);

/// Forgets everything held and every counter: the next byte fed starts a
/// new stream (a new connection). KAVRA_OK, or KAVRA_ERR_ARGUMENT.
KAVRA_API int KAVRA_CALL kavra_decoder_reset(kavra_decoder* decoder);
///@}

/// @name Delivery by call (for wrappers that keep their own receive queue)
///@{

/// Receives the body of one PDU: size bytes at data, valid only during the
/// call. context is the pointer given to kavra_client_set_receive_callback.
typedef void (KAVRA_CALL* kavra_receive_fn)(void* context, const void* data, uint32_t size);

/// From kavra_client_start on, every received PDU goes to fn instead of
/// waiting for kavra_client_receive: one call per PDU, in arrival order, on
/// the client's worker thread, never two at once. fn must return without
/// throwing (or unwinding in any other way) and should return soon: the
/// worker reads nothing while it runs. It may call kavra_client_send. A null
/// fn keeps the PDUs for kavra_client_receive (the default). KAVRA_OK;
/// KAVRA_ERR_STATE once the client was started; KAVRA_ERR_ARGUMENT for a
/// null client. Application thread, before kavra_client_start.
KAVRA_API int KAVRA_CALL kavra_client_set_receive_callback(kavra_client* client,
                                                           kavra_receive_fn fn, void* context);
///@}

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KAVRA_KAVRA_H */
