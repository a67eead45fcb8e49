/**
 * @file
 * Why a TLS connection failed: the codes that OnSocketConnect(error),
 * CSocket::GetLastError and the C interface report for failures of the TLS
 * layer, next to the system's own (errno-style) codes, which they never
 * collide with. Plain C, so that the C interface and C++ share one list.
 */
#ifndef KAVRA_TLS_ERRORS_H
#define KAVRA_TLS_ERRORS_H

/// The first TLS code; every one lies in [KAVRA_TLS_ERROR_FIRST, KAVRA_TLS_ERROR_LAST].
#define KAVRA_TLS_ERROR_FIRST 0x4B5400
/// TLS was asked for, but this build of the library has none.
#define KAVRA_TLS_NOT_BUILT (KAVRA_TLS_ERROR_FIRST + 0)
/// The TLS settings cannot be used: a CA file or folder, certificate or key
/// that cannot be read, or a key that does not match its certificate.
#define KAVRA_TLS_SETUP (KAVRA_TLS_ERROR_FIRST + 1)
/// The server's certificate is not signed by an authority this client trusts.
#define KAVRA_TLS_UNTRUSTED (KAVRA_TLS_ERROR_FIRST + 2)
/// The server's certificate is valid, but not for the name the client asked for.
#define KAVRA_TLS_NAME_MISMATCH (KAVRA_TLS_ERROR_FIRST + 3)
/// The server's certificate has expired or is not valid yet.
#define KAVRA_TLS_EXPIRED (KAVRA_TLS_ERROR_FIRST + 4)
/// The server answered the handshake with something that is not TLS: most
/// likely it speaks plain TCP.
#define KAVRA_TLS_NOT_TLS (KAVRA_TLS_ERROR_FIRST + 5)
/// The server closed the connection during the handshake.
#define KAVRA_TLS_CLOSED_IN_HANDSHAKE (KAVRA_TLS_ERROR_FIRST + 6)
/// The handshake failed for another reason (no common protocol version or
/// cipher, the server refused the client's certificate or asked for one);
/// the detail text says which.
#define KAVRA_TLS_HANDSHAKE (KAVRA_TLS_ERROR_FIRST + 7)
/// The connection ended without the peer's close_notify: the stream may have
/// been cut short (a peer's close_notify is an orderly close, code 0).
#define KAVRA_TLS_TRUNCATED (KAVRA_TLS_ERROR_FIRST + 8)
/// A record failed its integrity check or could not be parsed: bytes inside
/// the TLS stream were changed or injected.
#define KAVRA_TLS_BAD_RECORD (KAVRA_TLS_ERROR_FIRST + 9)
/// The peer sent a fatal alert after the handshake.
#define KAVRA_TLS_ALERT (KAVRA_TLS_ERROR_FIRST + 10)
/// The last TLS code.
#define KAVRA_TLS_ERROR_LAST KAVRA_TLS_ALERT

#endif
