// The verified TLS configuration of a client (or of a test's server): made
// once from its settings, it holds what every connection with them shares
// (OpenSSL: the SSL_CTX with trust store, certificate and key; Schannel: the
// credential and the trust store), and makes each connection's engine.
// Making it reads and checks every file, so a bad path fails there, before
// any connection.
//
// Resumption: a client context keeps the last session of each server it
// connected to (NewEngine's target), and the next connection there offers
// it, so a reconnect skips the certificate exchange where the server allows
// (TLS 1.2 session IDs or tickets, TLS 1.3 tickets). The sessions belong to
// the context: a context made again because a file changed starts without
// any, so no session outlives the CA, certificate or key it was checked with.
//
// Renewed files: the context notes the size and modification time of each
// file it read (for a CA folder, of the folder and of each file in it).
// Whoever keeps a context asks FilesChanged before a connection and makes a
// new one when a file changed, so a rotated certificate or CA counts from
// the next connect on.
//
// Immutable once made but for its kept sessions (under a lock of their own);
// NewEngine may be called from any thread, and its engines kept on any.
#pragma once

#include "base/os/tls/TlsEngine.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace kavra::os {

class TlsContext {
public:
    // The context for settings (serverName is not part of it: each
    // connection names its own), or null with error (KAVRA_TLS_SETUP,
    // KAVRA_TLS_NOT_BUILT) and detail set.
    static std::shared_ptr<const TlsContext> Make(const TlsSettings& settings, int& error,
                                                  std::string& detail);

    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;
    virtual ~TlsContext() = default;

    // A session to serverName (verified and sent as SNI; a numeric address
    // is verified as an address and sent without SNI), or null with error
    // and detail set. target names the server's endpoint ("host:port"):
    // the session offers to resume the last one this context kept for the
    // same target and serverName, and keeps the session it gets for the
    // next; empty: neither.
    virtual std::unique_ptr<TlsEngine> NewEngine(const std::string& serverName,
                                                 const std::string& target, int& error,
                                                 std::string& detail) const = 0;

    const TlsSettings& Settings() const { return m_settings; }
    // Whether a file read when the context was made has changed since.
    bool FilesChanged() const;

protected:
    // Notes the files of settings as they are now.
    explicit TlsContext(const TlsSettings& settings);

private:
    struct Stamp {
        std::filesystem::path path;
        std::filesystem::file_time_type written{};
        std::uintmax_t size = 0;
        bool operator==(const Stamp&) const = default;
    };
    static std::vector<Stamp> StampsOf(const TlsSettings& settings);

    TlsSettings m_settings;
    std::vector<Stamp> m_stamps;
};

} // namespace kavra::os
