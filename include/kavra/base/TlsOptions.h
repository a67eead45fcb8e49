#pragma once

#include "kavra/Export.h"

#include <string>
#include <utility>

namespace kavra {

/// Whether a client's connections are encrypted with TLS, and how the
/// server's certificate is checked. A plain value, part of CServerStatus
/// (SetTls); the socket thread hands it to its CSocket before each connect.
///
/// With TLS on, every connect attempt is a TCP connect followed by the TLS
/// handshake, both within the connect timeout; a handshake that fails is a
/// failed connect attempt whose reason is a KAVRA_TLS_* code
/// (kavra/TlsErrors.h). The frames, counters and fault handling inside TLS
/// are those of a plain connection.
///
/// Verification (the default): the server's certificate must be signed by
/// a trusted authority (the CA file or folder when one is given, otherwise
/// the system's store), be valid now, and carry the server name: the one
/// set here, otherwise the host the client connects to. A numeric address
/// is checked as an address. TLS 1.2 is the oldest version accepted.
///
/// A client certificate (certFile and keyFile, PEM) is sent when the server
/// asks for one; give both or neither. On Windows a connection with one
/// fails with KAVRA_TLS_SETUP for now: its engine cannot load PEM files.
class KAVRA_API TlsOptions {
public:
    /// True when this build of the library has TLS (KAVRA_TLS); without it
    /// a connection that asks for TLS fails with KAVRA_TLS_NOT_BUILT.
    static bool Available();

    ///@{
    /// Whether connections use TLS (default false).
    bool Enabled() const { return m_enabled; }
    void SetEnabled(bool enabled) { m_enabled = enabled; }
    ///@}

    ///@{
    /// Trusted authorities: a PEM file, or a folder of PEM files; neither
    /// (the default): the system's store.
    const std::string& CaFile() const { return m_caFile; }
    void SetCaFile(std::string path) { m_caFile = std::move(path); }
    const std::string& CaFolder() const { return m_caFolder; }
    void SetCaFolder(std::string path) { m_caFolder = std::move(path); }
    ///@}

    ///@{
    /// The name the certificate must carry, also sent to the server (SNI);
    /// empty (the default): the host of each endpoint.
    const std::string& ServerName() const { return m_serverName; }
    void SetServerName(std::string name) { m_serverName = std::move(name); }
    ///@}

    ///@{
    /// The client's own certificate (PEM, chain allowed) and private key.
    const std::string& CertFile() const { return m_certFile; }
    void SetCertFile(std::string path) { m_certFile = std::move(path); }
    const std::string& KeyFile() const { return m_keyFile; }
    void SetKeyFile(std::string path) { m_keyFile = std::move(path); }
    ///@}

    ///@{
    /// Accepts any certificate for any name: the connection is encrypted
    /// but anyone in the middle can read it. For tests only (default false).
    bool InsecureSkipVerify() const { return m_insecureSkipVerify; }
    void SetInsecureSkipVerify(bool skip) { m_insecureSkipVerify = skip; }
    ///@}

private:
    bool m_enabled = false;
    std::string m_caFile;
    std::string m_caFolder;
    std::string m_serverName;
    std::string m_certFile;
    std::string m_keyFile;
    bool m_insecureSkipVerify = false;
};

} // namespace kavra
