// A certificate for one run of a TLS peer on loopback, made on the spot so
// that `kavra demo --tls` and the benchmark need no files of their own: an
// EC P-256 key and a self-signed certificate for IP 127.0.0.1 and DNS
// localhost, valid from an hour ago for a day, written as PEM into a fresh
// folder under the system's temporary folder. A client trusts it by naming
// CertFile() as its CA file. The folder and both files go with the object.
//
// Made with libcrypto where the tool serves TLS (SelfSignedCertificate.cpp);
// elsewhere the constructor throws (SelfSignedCertificateNone.cpp). One
// thread at a time.
#pragma once

#include <string>

namespace kavra::tool {

class SelfSignedCertificate {
public:
    // Makes the key and the certificate and writes them; throws
    // std::runtime_error with a one-line reason.
    SelfSignedCertificate();
    ~SelfSignedCertificate();
    SelfSignedCertificate(const SelfSignedCertificate&) = delete;
    SelfSignedCertificate& operator=(const SelfSignedCertificate&) = delete;

    const std::string& Folder() const { return m_folder; }
    const std::string& CertFile() const { return m_certFile; }
    // Readable by its owner only.
    const std::string& KeyFile() const { return m_keyFile; }

private:
    std::string m_folder;
    std::string m_certFile;
    std::string m_keyFile;
};

} // namespace kavra::tool
