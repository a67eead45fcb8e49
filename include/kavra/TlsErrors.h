/**
 * @file
 * Why a TLS connection, or the handshake with a proxy under it, failed: the
 * codes that OnSocketConnect(error), CSocket::GetLastError and the C
 * interface report for failures of the layers above TCP, next to the
 * system's own (errno-style) codes, which they never collide with. Each layer
 * has a range of its own. Plain C, so that the C interface and C++ share one
 * list.
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

/// The first proxy code; every one lies in
/// [KAVRA_PROXY_ERROR_FIRST, KAVRA_PROXY_ERROR_LAST]. The detail text names
/// the proxy (host and port, never its credentials) and the target.
#define KAVRA_PROXY_ERROR_FIRST 0x4B5000
/// The proxy settings cannot be used: a proxy URL that cannot be read, or a
/// target the proxy cannot be asked for (fails before connecting).
#define KAVRA_PROXY_SETUP (KAVRA_PROXY_ERROR_FIRST + 0)
/// The TCP connection to the proxy itself failed; the detail has the reason.
#define KAVRA_PROXY_UNREACHABLE (KAVRA_PROXY_ERROR_FIRST + 1)
/// The proxy would not connect to the target: the detail has the HTTP
/// status line or the SOCKS5 reply code.
#define KAVRA_PROXY_REFUSED (KAVRA_PROXY_ERROR_FIRST + 2)
/// The proxy asks for credentials and none were given (HTTP 407, or a SOCKS5
/// proxy that accepts no connection without authentication).
#define KAVRA_PROXY_AUTH_REQUIRED (KAVRA_PROXY_ERROR_FIRST + 3)
/// The proxy refused the credentials given, or takes none that kavra offers.
#define KAVRA_PROXY_AUTH_REFUSED (KAVRA_PROXY_ERROR_FIRST + 4)
/// The proxy closed the connection before its handshake was complete.
#define KAVRA_PROXY_CLOSED_IN_HANDSHAKE (KAVRA_PROXY_ERROR_FIRST + 5)
/// The proxy's reply did not come complete within the connect timeout.
#define KAVRA_PROXY_STALLED (KAVRA_PROXY_ERROR_FIRST + 6)
/// The proxy answered with something its protocol does not allow (another
/// protocol, a broken status line, a reply too long).
#define KAVRA_PROXY_MALFORMED (KAVRA_PROXY_ERROR_FIRST + 7)
/// The last proxy code.
#define KAVRA_PROXY_ERROR_LAST KAVRA_PROXY_MALFORMED

#endif
