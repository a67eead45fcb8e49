// What tests of TLS need from outside the library: certificates made with
// the openssl program in a folder of their own, and `openssl s_server` as a
// TLS server that shares no code with the library under test.
#pragma once

#include "support/ChildProcess.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace kavra::test {

// The openssl program on PATH, or "" when there is none.
std::string FindOpenSsl();

// A certificate file and its key file.
struct CertPair {
    std::string cert;
    std::string key;
};

// A test CA and certificates for a server on 127.0.0.1 (EC P-256 keys, made
// once in a temporary folder that the destructor removes).
class TestCertificates {
public:
    explicit TestCertificates(const std::string& openssl);
    ~TestCertificates();
    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

    // False, with the reason in Why(), when a certificate could not be made.
    bool Ready() const { return m_why.empty(); }
    const std::string& Why() const { return m_why; }

    std::string Ca() const { return file("ca.pem"); }
    // Signed by the CA: for 127.0.0.1 and localhost; the same names but
    // expired; for other.invalid and 10.255.255.1 only.
    CertPair Good() const { return pair("good"); }
    CertPair Expired() const { return pair("expired"); }
    CertPair OtherName() const { return pair("other"); }
    // For 127.0.0.1 and localhost, signed by itself: no CA vouches for it.
    CertPair SelfSigned() const { return pair("self"); }

private:
    std::string file(const std::string& name) const;
    CertPair pair(const std::string& name) const { return {file(name + ".pem"), file(name + ".key")}; }
    bool run(const std::vector<std::string>& args);
    bool makeSigned(const std::string& name, const std::string& names, const std::string& days);
    bool makeSelfSigned(const std::string& name, const std::string& names, bool ca);

    std::string m_openssl;
    std::string m_folder;
    std::string m_why;
};

// `openssl s_server -rev` on 127.0.0.1, any free port, for one connection:
// it answers each line the client sends (up to 16 KiB, ended by "\n") with
// the line reversed, without its "\r" and "\n", then "\n"; the line "CLOSE"
// makes it close the connection with close_notify. It reads no input of its
// own, so its standard input ending changes nothing. The destructor kills it.
class OpenSslServer {
public:
    OpenSslServer(const std::string& openssl, const CertPair& pair,
                  const std::vector<std::string>& extra = {});
    OpenSslServer(const OpenSslServer&) = delete;
    OpenSslServer& operator=(const OpenSslServer&) = delete;

    // The port it listens on; 0 when it did not start (Output() says why).
    unsigned short Port() const { return m_port; }
    // True once what it printed contains needle.
    bool WaitForOutput(const std::string& needle, std::chrono::milliseconds timeout);
    const std::string& Output() const { return m_out; }
    // Ends it at once: its connection ends without close_notify.
    void Kill();

private:
    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

    ChildProcess m_child;
    std::string m_out;
    std::string m_err;
    unsigned short m_port = 0;
    bool m_exited = false;
};

} // namespace kavra::test
