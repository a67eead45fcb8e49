/**
 * @file
 * The one list of a client's counters. kavra::ConnectionStats (C++),
 * kavra_stats (C), the copy between them, the client's own tallies and the
 * Python module's structure are all expanded from KAVRA_STATS_FIELDS, so a
 * counter added there appears in every one of them. Plain C99.
 *
 * KAVRA_STATS_FIELDS(X) calls X(kind, cxxName, cName) once per field, in the
 * order of kavra::ConnectionStats. Both structures only grow at their end, so
 * a new field goes last. The kinds:
 *
 * - COUNTER: a count the client keeps itself (uint64_t in both structures;
 *   the client adds to it with its tallies, kavra::Stat::cxxName).
 * - CXX_COUNTER: the same, in kavra::ConnectionStats only (kavra_stats was
 *   released without it).
 * - READ: a value GetStats reads from the connection or a queue (uint64_t in
 *   both).
 * - FLAG: yes or no: bool in kavra::ConnectionStats, a uint32_t (0 or 1)
 *   among the first fields of kavra_stats, which has room for no more.
 * - SUM: in kavra_stats only (uint64_t), for languages without the C++
 *   helper: cxxName names the kavra::ConnectionStats member function that
 *   gives it.
 *
 * Every PDU SendPdu accepted is in exactly one place, so at any quiet moment
 * (no SendPdu running, the worker between frames)
 * pdusAccepted == framesSent + SendDropped() + sendQueued + sendBuffered, and
 * every frame the receive path read whole with a body is in one place:
 * framesRead == framesReceived + receiveDropsQueueFull + oversizeDiscarded.
 */
#ifndef KAVRA_STATSFIELDS_H
#define KAVRA_STATSFIELDS_H

/// The fields, their kinds and their meanings; see the file's description.
#define KAVRA_STATS_FIELDS(X)                                                                     \
    /* Send side. SendPdu calls that returned 0: the PDU was copied and queued. */                \
    X(COUNTER, pdusAccepted, pdus_accepted)                                                       \
    /* Frames whose last byte the kernel accepted. */                                             \
    X(COUNTER, framesSent, frames_sent)                                                           \
    /* The body bytes of those frames. */                                                         \
    X(COUNTER, bytesSent, bytes_sent)                                                             \
    /* Accepted PDUs that will never be sent because the connection was down when the worker     \
       came to write them (nothing went out). */                                                  \
    X(COUNTER, sendDroppedDisconnected, send_dropped_disconnected)                                \
    /* Accepted PDUs that will never be sent because the write timed out. If part of the frame   \
       had gone out the stream was out of step, and the connection was closed and               \
       re-established (outOfStepCloses). */                                                       \
    X(COUNTER, sendDroppedTimedOut, send_dropped_timed_out)                                       \
    /* Accepted PDUs that will never be sent because the connection failed (reset, closed)      \
       before the frame's last byte went. */                                                      \
    X(COUNTER, sendDroppedConnectionFailed, send_dropped_connection_failed)                       \
    /* Accepted PDUs released unwritten when a stop's linger ran out                             \
       (KavraClientThread::SetLinger), or by the destructor. */                                   \
    X(COUNTER, sendDroppedAtStop, send_dropped_at_stop)                                           \
    /* Accepted PDUs with a body of 0 bytes, which is accepted but never written. */              \
    X(COUNTER, sendDroppedEmpty, send_dropped_empty)                                              \
    /* Accepted PDUs older than the maximum age (KavraClientThread::SetMaxAge) when they could   \
       be written. */                                                                             \
    X(COUNTER, sendDroppedStale, send_dropped_stale)                                              \
    /* Entries waiting in the send queue (a snapshot). */                                         \
    X(READ, sendQueued, send_queued)                                                              \
    /* Frames the socket holds back to write together with the next ones (a snapshot). */         \
    X(READ, sendBuffered, send_buffered)                                                          \
    /* PDUs SendPdu refused because the send queue had reached its limit (never accepted, so     \
       outside the sum above). */                                                                 \
    X(COUNTER, sendQueueFull, send_queue_full)                                                    \
    /* PDUs SendPdu refused because the thread had been stopped (from the stop request until it  \
       is started again; never accepted, so outside the sum above). */                            \
    X(CXX_COUNTER, sendRefusedStopped, send_refused_stopped)                                      \
    /* Connections closed because a write timed out after part of a frame had gone out: the      \
       peer could no longer tell where the next frame starts. */                                  \
    X(READ, outOfStepCloses, out_of_step_closes)                                                  \
    /* Receive side. Frames whose header announced 1..1 MiB body bytes and that were read        \
       whole. */                                                                                  \
    X(COUNTER, framesRead, frames_read)                                                           \
    /* Of those: queued for the consumer. */                                                      \
    X(COUNTER, framesReceived, frames_received)                                                   \
    /* The body bytes of the frames queued for the consumer. */                                   \
    X(COUNTER, bytesReceived, bytes_received)                                                     \
    /* Of those read whole: dropped because 100 PDUs were waiting for the consumer (only with    \
       ReceiveOverflow::Drop, the default). */                                                    \
    X(COUNTER, receiveDropsQueueFull, receive_drops_queue_full)                                   \
    /* Of those read whole: longer than the largest body (8812 bytes): read and discarded so     \
       the stream stays in step, never delivered. */                                              \
    X(COUNTER, oversizeDiscarded, oversize_discarded)                                             \
    /* Headers whose length was 0, negative or above 1 MiB: no body is read, and the reader      \
       looks for the next sync mark after them. */                                                \
    X(COUNTER, badHeaders, bad_headers)                                                           \
    /* Bytes skipped while looking for the next sync mark. */                                     \
    X(COUNTER, resyncBytesDiscarded, resync_bytes_discarded)                                      \
    /* Queued PDUs that GetMessageA destroyed undelivered because their body was longer than     \
       the MAX_PDU_LENGTH bytes it may write (only a derived class's own ReceivePush can queue   \
       one). */                                                                                   \
    X(COUNTER, consumerDropsTooLong, consumer_drops_too_long)                                     \
    /* Times reading stopped because 100 PDUs waited (ReceiveOverflow::Block; nothing is         \
       dropped then). */                                                                          \
    X(COUNTER, receivePauses, receive_pauses)                                                     \
    /* Connection. Successful reconnections after the connection dropped. */                      \
    X(READ, reconnections, reconnections)                                                         \
    /* Connections made (the first included). */                                                  \
    X(READ, connectionsMade, connections_made)                                                    \
    /* Connections that dropped (peer close, reset, dead peer found by keepalive or the idle     \
       limit, a write cut short). */                                                              \
    X(READ, connectionsLost, connections_lost)                                                    \
    /* Connect attempts that failed. */                                                           \
    X(READ, connectFailures, connect_failures)                                                    \
    /* Whether the connection is up. */                                                           \
    X(FLAG, connected, connected)                                                                 \
    /* Whether the give-up limit ended the reconnection attempts. */                              \
    X(FLAG, gaveUp, gave_up)                                                                      \
    /* How long the current state (up or down) has lasted, in ms. */                              \
    X(READ, msInCurrentState, ms_in_current_state)                                                \
    /* The sum of the six send-dropped counters: accepted PDUs that will never be sent. */        \
    X(SUM, SendDropped, send_dropped)                                                             \
    /* 1 while the connection is up and encrypted with TLS, otherwise 0. */                       \
    X(READ, encrypted, encrypted)                                                                 \
    /* The TLS version of the connection that is up, as on the wire (0x0303: TLS 1.2, 0x0304:    \
       TLS 1.3); 0 while the connection is down or plain. */                                      \
    X(READ, tlsVersion, tls_version)                                                              \
    /* Why the last connect attempt failed: an errno-style code or a KAVRA_TLS_* code            \
       (kavra/TlsErrors.h); 0 before any attempt failed. A successful attempt leaves it. */       \
    X(READ, lastConnectError, last_connect_error)                                                 \
    /* Connections made whose TLS handshake resumed the session of an earlier connection to the  \
       same endpoint instead of a full one (where the server allows it; never across a changed   \
       CA, certificate or key file). */                                                           \
    X(READ, resumedHandshakes, resumed_handshakes)

/// @cond KAVRA_STATS_EXPANSIONS
/* The C structure's members: the flags, then the 64-bit fields. */
#define KAVRA_STATS_C_FLAG(kind, cxx, c) KAVRA_STATS_C_FLAG_##kind(c)
#define KAVRA_STATS_C_FLAG_COUNTER(c)
#define KAVRA_STATS_C_FLAG_CXX_COUNTER(c)
#define KAVRA_STATS_C_FLAG_READ(c)
#define KAVRA_STATS_C_FLAG_FLAG(c) uint32_t c;
#define KAVRA_STATS_C_FLAG_SUM(c)
#define KAVRA_STATS_C_WIDE(kind, cxx, c) KAVRA_STATS_C_WIDE_##kind(c)
#define KAVRA_STATS_C_WIDE_COUNTER(c) uint64_t c;
#define KAVRA_STATS_C_WIDE_CXX_COUNTER(c)
#define KAVRA_STATS_C_WIDE_READ(c) uint64_t c;
#define KAVRA_STATS_C_WIDE_FLAG(c)
#define KAVRA_STATS_C_WIDE_SUM(c) uint64_t c;

/* The C++ structure's members, in the list's order. */
#define KAVRA_STATS_CXX_MEMBER(kind, cxx, c) KAVRA_STATS_CXX_MEMBER_##kind(cxx)
#define KAVRA_STATS_CXX_MEMBER_COUNTER(cxx) std::uint64_t cxx = 0;
#define KAVRA_STATS_CXX_MEMBER_CXX_COUNTER(cxx) std::uint64_t cxx = 0;
#define KAVRA_STATS_CXX_MEMBER_READ(cxx) std::uint64_t cxx = 0;
#define KAVRA_STATS_CXX_MEMBER_FLAG(cxx) bool cxx = false;
#define KAVRA_STATS_CXX_MEMBER_SUM(cxx)
/// @endcond

#endif /* KAVRA_STATSFIELDS_H */
