// The system's TLS engine against real TLS servers: `openssl s_server`
// instances on 127.0.0.1, one per certificate, that .ci/tls-servers.sh
// starts and names in environment variables. The Windows tests run under
// Wine and cannot start the host's programs themselves, so the servers come
// from outside; without the variables every case is skipped with the reason.
//
// The servers run `-rev`: each line comes back reversed, "CLOSE" ends the
// connection with close_notify. The engine runs inside the stream the
// library uses; a relay of the test's own between client and server cuts the
// connection or damages a record.
#include "base/os/SocketApi.h"
#include "kavra/base/CSocket.h"
#include "base/os/tls/TlsStream.h"
#include "kavra/TlsErrors.h"
#include "support/Slowdown.h"
#include "support/TestSocket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace os = kavra::os;
using kavra::os::TlsEngine;
using kavra::os::TlsSettings;
namespace net = kavra::test::net;
using Clock = std::chrono::steady_clock;

// The tests' own patience, for a machine that runs them slowly (Slowdown.h).
const int WAIT_MS = 10000 * kavra::test::Slowdown();
const auto CONNECT_MS = static_cast<unsigned int>(WAIT_MS);

struct Servers {
    std::string certs;
    unsigned short good = 0;
    unsigned short otherName = 0;
    unsigned short expired = 0;
    unsigned short unknownCa = 0;
    unsigned short clientCert = 0;

    // Windows takes '/' as well.
    std::string Cert(const char* name) const { return certs + "/" + name; }
};

// The servers the script started, or nothing with the missing variable named.
std::optional<Servers> serversFromEnvironment(std::string& missing) {
    const auto get = [&missing](const char* name) {
        const char* text = std::getenv(name);
        if (text == nullptr && missing.empty()) {
            missing = name;
        }
        return std::string(text != nullptr ? text : "0");
    };
    const auto port = [&get](const char* name) { return static_cast<unsigned short>(std::stoi(get(name))); };
    Servers servers{get("KAVRA_TEST_TLS_CERTS"), port("KAVRA_TEST_TLS_GOOD_PORT"),
                    port("KAVRA_TEST_TLS_OTHER_NAME_PORT"), port("KAVRA_TEST_TLS_EXPIRED_PORT"),
                    port("KAVRA_TEST_TLS_UNKNOWN_CA_PORT"), port("KAVRA_TEST_TLS_CLIENT_CERT_PORT")};
    return missing.empty() ? std::optional<Servers>(servers) : std::nullopt;
}

TlsSettings settingsFor(const std::string& name, const std::string& caFile) {
    TlsSettings settings;
    settings.serverName = name;
    settings.caFile = caFile;
    return settings;
}

// One connection through the stream the library uses, on a socket of the
// platform layer; the engine stays reachable for what the stream hides.
class Session {
public:
    enum class End { Data, CloseNotify, Failed };

    Session(unsigned short port, const TlsSettings& settings) {
        std::unique_ptr<TlsEngine> engine = TlsEngine::Create(settings, error, detail);
        m_socket = os::ConnectTcp("127.0.0.1", port, CONNECT_MS, m_connectError, nullptr);
        if (engine && m_socket != os::INVALID_SOCKET_HANDLE) {
            m_engine = engine.get();
            m_stream = std::make_unique<os::TlsStream>(m_socket, std::move(engine));
        }
    }
    ~Session() {
        m_stream.reset();
        if (m_socket != os::INVALID_SOCKET_HANDLE) {
            os::CloseSocket(m_socket);
        }
    }

    // 0 once the handshake is done, else its error (detail set).
    int Handshake() {
        if (!m_stream) {
            return m_socket == os::INVALID_SOCKET_HANDLE ? m_connectError : error;
        }
        error = m_stream->Handshake(Clock::now() + std::chrono::milliseconds(WAIT_MS), nullptr);
        detail = m_stream->Detail();
        return error;
    }

    bool Send(const std::string& bytes) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(WAIT_MS);
        std::size_t done = 0;
        while ((done < bytes.size() || m_stream->HasPendingOutput()) && Clock::now() < deadline) {
            const long n = done < bytes.size()
                               ? m_stream->SendSome(bytes.data() + done, bytes.size() - done, error)
                               : (m_stream->FlushSome(error) ? 0 : -1);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (n < 0 && error != EAGAIN) {
                detail = m_stream->Detail();
                return false;
            } else if (n < 0) {
                os::WaitReady(m_socket, os::Direction::Write, 100, error);
            }
        }
        return done == bytes.size() && !m_stream->HasPendingOutput();
    }

    // Reads until out holds want bytes or the stream ends (error set when
    // it failed).
    End ReadUpTo(std::size_t want, std::string& out) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(WAIT_MS);
        char buffer[16384];
        while (out.size() < want && Clock::now() < deadline) {
            const long n = m_stream->RecvSome(buffer, sizeof buffer, error);
            if (n > 0) {
                out.append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0) {
                return End::CloseNotify;
            } else if (error != EAGAIN) {
                detail = m_stream->Detail();
                return End::Failed;
            } else if (!m_stream->HasBufferedInput()) {
                int ignored = 0;
                os::WaitReady(m_socket, os::Direction::Read, 100, ignored);
            }
        }
        return out.size() >= want ? End::Data : End::Failed;
    }

    TlsEngine& Engine() { return *m_engine; }

    int error = 0;
    std::string detail;

private:
    os::SocketHandle m_socket = os::INVALID_SOCKET_HANDLE;
    int m_connectError = 0;
    TlsEngine* m_engine = nullptr;
    std::unique_ptr<os::TlsStream> m_stream;
};

// Lines of random bytes (no line ends) of 1..12000 bytes, as one string.
std::string randomLines(int count, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> length(1, 12000);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string lines;
    for (int i = 0; i < count; ++i) {
        for (int n = length(random); n > 0; --n) {
            const char c = static_cast<char>(byte(random));
            lines += c == '\n' || c == '\r' ? 'x' : c;
        }
        lines += '\n';
    }
    return lines;
}

// What s_server -rev answers: each line reversed.
std::string reversedLines(const std::string& lines) {
    std::string out;
    for (std::size_t at = 0; at < lines.size();) {
        const std::size_t end = lines.find('\n', at);
        out.append(lines.rbegin() + static_cast<std::ptrdiff_t>(lines.size() - end),
                   lines.rend() - static_cast<std::ptrdiff_t>(at));
        out += '\n';
        at = end + 1;
    }
    return out;
}

// Relays one connection to a server; on request it cuts both sides without
// a TLS close or flips the last byte of the next chunk in one direction.
class Relay {
public:
    explicit Relay(unsigned short serverPort) : m_serverPort(serverPort) {
        int error = 0;
        m_listener = net::ListenLoopback(net::Family::Ipv4, 0, 1, false, error);
        m_thread = std::thread([this] { run(); });
    }
    ~Relay() {
        Cut();
        m_thread.join();
        net::Close(m_listener);
    }
    unsigned short Port() const { return net::LocalPort(m_listener); }
    void Cut() {
        m_cut = true;
        std::lock_guard<std::mutex> lock(m_mutex);
        for (net::Handle handle : m_open) {
            net::Shutdown(handle);
        }
    }
    void DamageNext(bool fromServer) { (fromServer ? m_damageFromServer : m_damageToServer) = true; }

private:
    void run() {
        if (net::WaitReadable(m_listener, WAIT_MS) <= 0) {
            return;
        }
        const net::Handle client = net::Accept(m_listener, false);
        const net::Handle server = net::ConnectLoopback(m_serverPort);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_open = {client, server};
        }
        if (m_cut) {
            Cut();
        }
        std::thread up([&] { pump(client, server, false); });
        pump(server, client, true);
        up.join();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_open.clear();
        }
        net::Close(client);
        net::Close(server);
    }
    void pump(net::Handle from, net::Handle to, bool fromServer) {
        char buffer[16384];
        int error = 0;
        long n = 0;
        while (!m_cut && (n = net::Recv(from, buffer, sizeof buffer, error)) > 0) {
            if ((fromServer ? m_damageFromServer : m_damageToServer).exchange(false)) {
                buffer[n - 1] = static_cast<char>(buffer[n - 1] ^ 0x40);
            }
            if (!net::SendAll(to, buffer, static_cast<std::size_t>(n))) {
                break;
            }
        }
        Cut();
    }

    unsigned short m_serverPort;
    net::Handle m_listener = net::INVALID_HANDLE;
    std::mutex m_mutex;
    std::vector<net::Handle> m_open;
    std::atomic<bool> m_cut{false};
    std::atomic<bool> m_damageFromServer{false};
    std::atomic<bool> m_damageToServer{false};
    std::thread m_thread;
};

class TlsEngineServer : public ::testing::Test {
protected:
    void SetUp() override {
        if (!TlsEngine::Built()) {
            GTEST_SKIP() << "this build has no TLS";
        }
        std::string missing;
        const std::optional<Servers> servers = serversFromEnvironment(missing);
        if (!servers) {
            GTEST_SKIP() << missing << " is not set: no TLS servers were started "
                         << "(.ci/tls-servers.sh starts them)";
        }
        m_servers = *servers;
    }

    // The handshake's outcome against port for name, trusting caFile.
    int HandshakeWith(unsigned short port, const std::string& name, const std::string& caFile,
                      std::string& detail) {
        Session session(port, settingsFor(name, caFile));
        const int error = session.Handshake();
        detail = session.detail;
        return error;
    }

    Servers m_servers;
};

// Lines of every length up to 12000 bytes go through in records of up to
// the engine's maximum and come back reversed byte for byte; then the
// server's close_notify reads as 0, and the engine's own is one record.
TEST_F(TlsEngineServer, BytesBothWaysByteForByteThenCloseNotify) {
    Session session(m_servers.good, settingsFor("localhost", m_servers.Cert("ca.pem")));
    ASSERT_EQ(session.Handshake(), 0) << session.detail;
    const int version = session.Engine().ProtocolVersion();
    EXPECT_TRUE(version == 0x0303 || version == 0x0304) << version;
    std::printf("negotiated %s\n", session.Engine().ProtocolName().c_str());

    const std::string lines = randomLines(60, 7);
    const std::string expected = reversedLines(lines);
    std::string echoed;
    for (std::size_t at = 0; at < lines.size(); at += 40000) {
        ASSERT_TRUE(session.Send(lines.substr(at, 40000))) << session.detail;
    }
    ASSERT_EQ(session.ReadUpTo(expected.size(), echoed), Session::End::Data) << session.detail;
    EXPECT_TRUE(echoed == expected) << "echo differs from byte "
                                    << std::mismatch(echoed.begin(), echoed.end(), expected.begin()).first -
                                           echoed.begin();

    ASSERT_TRUE(session.Send("CLOSE\n"));
    std::string rest;
    EXPECT_EQ(session.ReadUpTo(1, rest), Session::End::CloseNotify) << session.detail;
    char more = 0;
    EXPECT_EQ(session.Engine().Read(&more, 1, session.error, session.detail), 0);
    // The engine's own close_notify: one record, an alert in TLS 1.2's
    // clear type or application data in TLS 1.3's.
    session.Engine().Shutdown();
    ASSERT_GE(session.Engine().OutputSize(), 7u) << "no close_notify came out";
    const auto type = static_cast<unsigned char>(session.Engine().OutputData()[0]);
    EXPECT_TRUE(type == 21 || type == 23) << "record type " << int(type);
    EXPECT_EQ(session.Engine().Write("x", 1, session.error, session.detail), -1);
}

// A connection cut without close_notify is not the end of the stream but
// its truncation.
TEST_F(TlsEngineServer, CutStreamIsTruncated) {
    Relay relay(m_servers.good);
    Session session(relay.Port(), settingsFor("localhost", m_servers.Cert("ca.pem")));
    ASSERT_EQ(session.Handshake(), 0) << session.detail;
    ASSERT_TRUE(session.Send("abc\n"));
    std::string echoed;
    ASSERT_EQ(session.ReadUpTo(4, echoed), Session::End::Data) << session.detail;
    EXPECT_EQ(echoed, "cba\n");
    relay.Cut();
    std::string after;
    EXPECT_EQ(session.ReadUpTo(1, after), Session::End::Failed);
    EXPECT_EQ(session.error, KAVRA_TLS_TRUNCATED) << session.detail;
}

// A byte changed inside a record from the server fails that record; one
// changed on its way to the server makes the server answer with a fatal alert.
TEST_F(TlsEngineServer, DamagedRecordIsBadRecordAndServersAlertIsAlert) {
    for (const bool fromServer : {true, false}) {
        Relay relay(m_servers.good);
        Session session(relay.Port(), settingsFor("localhost", m_servers.Cert("ca.pem")));
        ASSERT_EQ(session.Handshake(), 0) << session.detail;
        std::string echoed;
        ASSERT_TRUE(session.Send("first\n"));
        ASSERT_EQ(session.ReadUpTo(6, echoed), Session::End::Data) << session.detail;
        relay.DamageNext(fromServer);
        ASSERT_TRUE(session.Send("second\n"));
        EXPECT_EQ(session.ReadUpTo(13, echoed), Session::End::Failed);
        EXPECT_EQ(session.error, fromServer ? KAVRA_TLS_BAD_RECORD : KAVRA_TLS_ALERT) << session.detail;
    }
}

// The certificate names localhost and 127.0.0.1: both pass, the address
// without SNI.
TEST_F(TlsEngineServer, RightNameAndCaPass) {
    std::string detail;
    EXPECT_EQ(HandshakeWith(m_servers.good, "localhost", m_servers.Cert("ca.pem"), detail), 0) << detail;
    EXPECT_EQ(HandshakeWith(m_servers.good, "127.0.0.1", m_servers.Cert("ca.pem"), detail), 0) << detail;
    // A self-signed certificate is its own authority when given as the CA.
    EXPECT_EQ(HandshakeWith(m_servers.otherName, "other.example", m_servers.Cert("other-name.pem"), detail), 0)
        << detail;
}

TEST_F(TlsEngineServer, WrongNameIsNameMismatch) {
    std::string detail;
    EXPECT_EQ(HandshakeWith(m_servers.otherName, "localhost", m_servers.Cert("other-name.pem"), detail),
              KAVRA_TLS_NAME_MISMATCH)
        << detail;
    EXPECT_NE(detail.find("localhost"), std::string::npos) << detail;
    EXPECT_EQ(HandshakeWith(m_servers.otherName, "127.0.0.1", m_servers.Cert("other-name.pem"), detail),
              KAVRA_TLS_NAME_MISMATCH)
        << detail;
}

TEST_F(TlsEngineServer, UnknownCaIsUntrusted) {
    std::string detail;
    EXPECT_EQ(HandshakeWith(m_servers.unknownCa, "localhost", m_servers.Cert("ca.pem"), detail),
              KAVRA_TLS_UNTRUSTED)
        << detail;
    // Without a CA file the system's roots decide, and they know no test CA.
    EXPECT_EQ(HandshakeWith(m_servers.good, "localhost", "", detail), KAVRA_TLS_UNTRUSTED) << detail;
    // Only a check that is switched off lets it through.
    TlsSettings unchecked = settingsFor("localhost", "");
    unchecked.verify = false;
    Session session(m_servers.unknownCa, unchecked);
    EXPECT_EQ(session.Handshake(), 0) << session.detail;
}

TEST_F(TlsEngineServer, ExpiredCertificateIsExpired) {
    std::string detail;
    EXPECT_EQ(HandshakeWith(m_servers.expired, "localhost", m_servers.Cert("ca.pem"), detail),
              KAVRA_TLS_EXPIRED)
        << detail;
    EXPECT_NE(detail.find("expired"), std::string::npos) << detail;
}

// A server that demands a client certificate refuses the handshake with
// an alert, which the detail names.
TEST_F(TlsEngineServer, ServerDemandingAClientCertificateRefusesTheHandshake) {
    std::string detail;
    EXPECT_EQ(HandshakeWith(m_servers.clientCert, "localhost", m_servers.Cert("ca.pem"), detail),
              KAVRA_TLS_HANDSHAKE)
        << detail;
    EXPECT_NE(detail.find("alert"), std::string::npos) << detail;
}

// The same server lets a client through that brings a certificate signed by
// the authority it trusts. Windows' engine cannot load one from PEM files
// and says so before any connection.
TEST_F(TlsEngineServer, AClientCertificateTheServerTrustsGetsThrough) {
    TlsSettings settings = settingsFor("localhost", m_servers.Cert("ca.pem"));
    settings.certFile = m_servers.Cert("client.pem");
    settings.keyFile = m_servers.Cert("client.key");
    Session session(m_servers.clientCert, settings);
#if defined(_WIN32)
    EXPECT_EQ(session.Handshake(), KAVRA_TLS_SETUP) << session.detail;
#else
    ASSERT_EQ(session.Handshake(), 0) << session.detail;
    ASSERT_TRUE(session.Send("certified\n")) << session.detail;
    std::string echoed;
    ASSERT_EQ(session.ReadUpTo(10, echoed), Session::End::Data) << session.detail;
    EXPECT_EQ(echoed, "deifitrec\n");
#endif
}

// A plain TCP server that talks first (a frame of its own) is no TLS
// server; one that hangs up closed the connection during the handshake.
TEST_F(TlsEngineServer, PlainTcpServerIsNotTlsAndAHangUpClosesTheHandshake) {
    const std::string frame = std::string(10, '\xff') + std::string("\0\0\0\3abc", 7);
    for (const bool talks : {true, false}) {
        int error = 0;
        const net::Handle listener = net::ListenLoopback(net::Family::Ipv4, 0, 1, false, error);
        ASSERT_NE(listener, net::INVALID_HANDLE) << error;
        Session session(net::LocalPort(listener), settingsFor("localhost", m_servers.Cert("ca.pem")));
        ASSERT_EQ(net::WaitReadable(listener, WAIT_MS), 1);
        const net::Handle peer = net::Accept(listener, false);
        if (talks) {
            ASSERT_TRUE(net::SendAll(peer, frame.data(), frame.size()));
        } else {
            net::Close(peer);
        }
        EXPECT_EQ(session.Handshake(), talks ? KAVRA_TLS_NOT_TLS : KAVRA_TLS_CLOSED_IN_HANDSHAKE)
            << session.detail;
        if (talks) {
            net::Close(peer);
        }
        net::Close(listener);
    }
}

// The socket of the library over this engine: a connect is the handshake
// too, a refused certificate a failed connect with its code, and the
// server's close_notify an orderly end.
TEST_F(TlsEngineServer, SocketConnectsOverTlsAndRefusesAnExpiredCertificate) {
    kavra::TlsOptions tls;
    tls.SetEnabled(true);
    tls.SetCaFile(m_servers.Cert("ca.pem"));
    tls.SetServerName("localhost");
    CSocket socket;
    socket.SetTls(tls);
    ASSERT_EQ(socket.Connect("127.0.0.1", m_servers.good, CONNECT_MS), 1) << socket.GetLastErrorDetail();
    EXPECT_TRUE(socket.IsEncrypted());
    EXPECT_NE(socket.GetTlsVersion(), 0);
    ASSERT_EQ(socket.Send("abc\nCLOSE\n", 10, WAIT_MS), 10);
    char answer[8] = {};
    EXPECT_EQ(socket.Receive(answer, 4, WAIT_MS), 4);
    EXPECT_EQ(std::string(answer, 4), "cba\n");
    EXPECT_EQ(socket.Receive(answer, 1, WAIT_MS), 0);
    EXPECT_EQ(socket.GetLastError(), 0) << socket.GetLastErrorDetail();

    EXPECT_EQ(socket.Connect("127.0.0.1", m_servers.expired, CONNECT_MS), 0);
    EXPECT_EQ(socket.GetLastError(), KAVRA_TLS_EXPIRED);
    EXPECT_NE(socket.GetLastErrorDetail().find("notAfter"), std::string::npos) << socket.GetLastErrorDetail();
}

// Files that cannot be used fail before any connection.
TEST_F(TlsEngineServer, UnusableCaFileFailsCreate) {
    int error = 0;
    std::string detail;
    EXPECT_EQ(TlsEngine::Create(settingsFor("localhost", m_servers.Cert("missing.pem")), error, detail), nullptr);
    EXPECT_EQ(error, KAVRA_TLS_SETUP);
    EXPECT_NE(detail.find("missing.pem"), std::string::npos) << detail;
    EXPECT_EQ(TlsEngine::Create(settingsFor("localhost", m_servers.Cert("good.key")), error, detail), nullptr);
    EXPECT_EQ(error, KAVRA_TLS_SETUP);
}

} // namespace
