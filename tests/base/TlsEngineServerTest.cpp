// The system's TLS engine against real TLS servers: `openssl s_server`
// instances on 127.0.0.1, one per certificate, that .ci/tls-servers.sh
// starts and names in environment variables. The Windows tests run under
// Wine and cannot start the host's programs themselves, so the servers come
// from outside; without the variables every case is skipped with the reason.
//
// The servers run `-rev`: each line comes back reversed, "CLOSE" ends the
// connection with close_notify. A relay of the test's own between engine and
// server cuts the stream or damages a record.
#include "base/os/TlsEngine.h"
#include "kavra/TlsErrors.h"
#include "support/TestSocket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>

namespace {

using kavra::os::TlsEngine;
using kavra::os::TlsSettings;
namespace net = kavra::test::net;

constexpr int WAIT_MS = 10000;

#ifdef _WIN32
constexpr char SEPARATOR = '\\';
#else
constexpr char SEPARATOR = '/';
#endif

struct Servers {
    std::string certs;
    unsigned short good = 0;
    unsigned short otherName = 0;
    unsigned short expired = 0;
    unsigned short unknownCa = 0;

    std::string Cert(const char* name) const { return certs + SEPARATOR + name; }
};

// The servers the script started, or nothing with the missing variable named.
std::optional<Servers> serversFromEnvironment(std::string& missing) {
    const auto port = [&missing](const char* name) -> unsigned short {
        const char* text = std::getenv(name);
        if (text == nullptr && missing.empty()) {
            missing = name;
        }
        return text == nullptr ? 0 : static_cast<unsigned short>(std::atoi(text));
    };
    Servers servers;
    const char* certs = std::getenv("KAVRA_TEST_TLS_CERTS");
    servers.certs = certs != nullptr ? certs : "";
    if (certs == nullptr) {
        missing = "KAVRA_TEST_TLS_CERTS";
    }
    servers.good = port("KAVRA_TEST_TLS_GOOD_PORT");
    servers.otherName = port("KAVRA_TEST_TLS_OTHER_NAME_PORT");
    servers.expired = port("KAVRA_TEST_TLS_EXPIRED_PORT");
    servers.unknownCa = port("KAVRA_TEST_TLS_UNKNOWN_CA_PORT");
    return missing.empty() ? std::optional<Servers>(servers) : std::nullopt;
}

TlsSettings settingsFor(const std::string& name, const std::string& caFile) {
    TlsSettings settings;
    settings.serverName = name;
    settings.caFile = caFile;
    return settings;
}

// One connection, driven by blocking socket calls: the engine's output goes
// out whole after each step, its input comes in as the socket has it.
class Session {
public:
    enum class End { Data, CloseNotify, Eof, Failed };

    Session(unsigned short port, const TlsSettings& settings)
        : m_socket(net::ConnectLoopback(port)), m_engine(TlsEngine::Create(settings, error, detail)) {}
    ~Session() {
        if (m_socket != net::INVALID_HANDLE) {
            net::Close(m_socket);
        }
    }

    // 0 once the handshake is done, else its error (detail set).
    int Handshake() {
        if (m_socket == net::INVALID_HANDLE || !m_engine) {
            return m_engine ? ECONNREFUSED : error;
        }
        for (;;) {
            const TlsEngine::Progress progress = m_engine->Handshake(error, detail);
            if (!flush() || progress == TlsEngine::Progress::Failed) {
                return error;
            }
            if (progress == TlsEngine::Progress::Done) {
                return 0;
            }
            if (receive() != End::Data) {
                return error == 0 ? KAVRA_TLS_CLOSED_IN_HANDSHAKE : error;
            }
        }
    }

    bool Send(const std::string& bytes) {
        return m_engine->Write(bytes.data(), bytes.size(), error, detail) ==
                   static_cast<long>(bytes.size()) &&
               flush();
    }

    // Reads until out holds want bytes or the stream ends another way.
    End ReadUpTo(std::size_t want, std::string& out) {
        char buffer[16384];
        while (out.size() < want) {
            const long n = m_engine->Read(buffer, sizeof buffer, error, detail);
            if (n > 0) {
                out.append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0) {
                return End::CloseNotify;
            } else if (error != EAGAIN || !flush()) {
                return End::Failed;
            } else if (const End end = receive(); end != End::Data) {
                return end;
            }
        }
        return End::Data;
    }

    TlsEngine& Engine() { return *m_engine; }

    int error = 0;
    std::string detail;

private:
    bool flush() {
        const bool sent = m_engine->OutputSize() == 0 ||
                          net::SendAll(m_socket, m_engine->OutputData(), m_engine->OutputSize());
        m_engine->ConsumeOutput(m_engine->OutputSize());
        return sent;
    }

    End receive() {
        char buffer[16384];
        if (net::WaitReadable(m_socket, WAIT_MS) <= 0) {
            error = ETIMEDOUT;
            return End::Failed;
        }
        const long n = net::Recv(m_socket, buffer, sizeof buffer, error);
        if (n <= 0) {
            return n == 0 ? End::Eof : End::Failed;
        }
        error = 0;
        m_engine->PutInput(buffer, static_cast<std::size_t>(n));
        return End::Data;
    }

    net::Handle m_socket;
    std::unique_ptr<TlsEngine> m_engine;
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
    explicit Relay(unsigned short serverPort) {
        m_listener = net::ListenLoopback(net::Family::Ipv4, 0, 1, false, m_error);
        m_serverPort = serverPort;
        m_accept = std::thread([this] { run(); });
    }
    ~Relay() {
        Cut();
        m_accept.join();
        net::Close(m_listener);
    }
    unsigned short Port() const { return net::LocalPort(m_listener); }
    void Cut() {
        m_cut = true;
        for (net::Handle handle : {m_client.load(), m_server.load()}) {
            if (handle != net::INVALID_HANDLE) {
                net::Shutdown(handle);
            }
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
        m_client = client;
        m_server = server;
        if (m_cut) {
            Cut();
        }
        std::thread up([&] { pump(client, server, false); });
        pump(server, client, true);
        up.join();
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

    int m_error = 0;
    net::Handle m_listener = net::INVALID_HANDLE;
    unsigned short m_serverPort = 0;
    std::atomic<net::Handle> m_client{net::INVALID_HANDLE};
    std::atomic<net::Handle> m_server{net::INVALID_HANDLE};
    std::atomic<bool> m_cut{false};
    std::atomic<bool> m_damageFromServer{false};
    std::atomic<bool> m_damageToServer{false};
    std::thread m_accept;
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
    session.Engine().Shutdown();
    ASSERT_GE(session.Engine().OutputSize(), 7u) << "no close_notify came out";
    const auto type = static_cast<unsigned char>(session.Engine().OutputData()[0]);
    EXPECT_TRUE(type == 21 || type == 23) << "record type " << int(type);
    EXPECT_EQ(session.Engine().Write("x", 1, session.error, session.detail), -1);
}

// A connection cut without close_notify never reads as a close: the
// socket's end comes first, for the stream to call it truncated.
TEST_F(TlsEngineServer, CutStreamEndsWithoutCloseNotify) {
    Relay relay(m_servers.good);
    Session session(relay.Port(), settingsFor("localhost", m_servers.Cert("ca.pem")));
    ASSERT_EQ(session.Handshake(), 0) << session.detail;
    ASSERT_TRUE(session.Send("abc\n"));
    std::string echoed;
    ASSERT_EQ(session.ReadUpTo(4, echoed), Session::End::Data) << session.detail;
    EXPECT_EQ(echoed, "cba\n");
    relay.Cut();
    std::string after;
    EXPECT_EQ(session.ReadUpTo(1, after), Session::End::Eof) << session.detail;
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
    EXPECT_NE(detail.find("other.example"), std::string::npos) << detail;
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
}

TEST_F(TlsEngineServer, ExpiredCertificateIsExpired) {
    std::string detail;
    EXPECT_EQ(HandshakeWith(m_servers.expired, "localhost", m_servers.Cert("ca.pem"), detail),
              KAVRA_TLS_EXPIRED)
        << detail;
    EXPECT_NE(detail.find("expired"), std::string::npos) << detail;
}

// A plain TCP server that talks first (frames of its own) is no TLS server.
TEST_F(TlsEngineServer, PlainTcpServerIsNotTls) {
    int error = 0;
    const net::Handle listener = net::ListenLoopback(net::Family::Ipv4, 0, 1, false, error);
    ASSERT_NE(listener, net::INVALID_HANDLE) << error;
    Session session(net::LocalPort(listener), settingsFor("localhost", m_servers.Cert("ca.pem")));
    ASSERT_EQ(net::WaitReadable(listener, WAIT_MS), 1);
    const net::Handle peer = net::Accept(listener, false);
    const std::string frame = std::string(10, '\xff') + std::string("\0\0\0\3abc", 7);
    ASSERT_TRUE(net::SendAll(peer, frame.data(), frame.size()));
    EXPECT_EQ(session.Handshake(), KAVRA_TLS_NOT_TLS) << session.detail;
    net::Close(peer);
    net::Close(listener);
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
