// TLS streams over loopback: the client against `openssl s_server` with
// certificates made for the test, and client and server of the engine
// against each other where the test must control the wire.
#include "serving/ServingApi.h"
#include "base/os/SocketApi.h"
#include "base/os/TcpStream.h"
#include "base/os/tls/TlsStream.h"
#include "support/LoopbackServer.h"
#include "support/Slowdown.h"
#include "support/TlsEchoServer.h"
#include "support/TlsPeers.h"

#include <kavra/TlsErrors.h>
#include <kavra/base/CSocket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <thread>

namespace {

namespace os = kavra::os;
using kavra::test::CertPair;
using kavra::test::OpenSslServer;
using kavra::test::TestCertificates;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

unsigned int PatientMs(unsigned int ms) {
    return static_cast<unsigned int>(kavra::test::Patient(milliseconds(ms)).count());
}

std::string Pattern(std::size_t size, unsigned int seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 131U + seed) % 256U);
    }
    return bytes;
}

// One end of a TLS connection: the socket and the stream over it.
struct Peer {
    os::SocketHandle fd = os::INVALID_SOCKET_HANDLE;
    std::unique_ptr<os::TlsStream> stream;
    int result = -1;
    std::string detail;

    Peer() = default;
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    ~Peer() {
        stream.reset();
        if (fd != os::INVALID_SOCKET_HANDLE) {
            os::CloseSocket(fd);
        }
    }

    // Starts TLS on fd, over below when given; result: 0, the engine's setup
    // error or the handshake's.
    void Start(os::SocketHandle handle, const os::TlsSettings& settings, milliseconds timeout,
               std::unique_ptr<kavra::ByteStream> below = nullptr) {
        fd = handle;
        auto engine = os::TlsEngine::Create(settings, result, detail);
        if (!engine) {
            return;
        }
        stream = below ? std::make_unique<os::TlsStream>(std::move(below), std::move(engine))
                       : std::make_unique<os::TlsStream>(fd, std::move(engine));
        result = stream->Handshake(Clock::now() + timeout, nullptr);
        detail = stream->Detail();
    }

    // Reads until n bytes came or the stream ends or fails; error: the
    // last failure (0 after close_notify).
    std::string Read(std::size_t n, int& error) {
        std::string got;
        const auto end = Clock::now() + kavra::test::Patient(std::chrono::seconds(10));
        char chunk[8192];
        error = EAGAIN;
        while (got.size() < n && Clock::now() < end) {
            const long r = stream->RecvSome(chunk, sizeof chunk, error);
            if (r > 0) {
                got.append(chunk, static_cast<std::size_t>(r));
            } else if (r == 0) {
                error = 0;
                break;
            } else if (error != EAGAIN) {
                break;
            } else if (!stream->HasBufferedInput()) {
                int ignored = 0;
                os::WaitReady(fd, os::Direction::Read, 100, ignored);
            }
        }
        return got;
    }

    bool Write(const std::string& bytes) {
        std::size_t done = 0;
        const auto end = Clock::now() + kavra::test::Patient(std::chrono::seconds(10));
        int error = 0;
        while ((done < bytes.size() || stream->HasPendingOutput()) && Clock::now() < end) {
            const bool more = done < bytes.size();
            const long r = more ? stream->SendSome(bytes.data() + done, bytes.size() - done, error)
                                : (stream->FlushSome(error) ? 0 : -1);
            if (r > 0) {
                done += static_cast<std::size_t>(r);
            } else if (r < 0 && error != EAGAIN) {
                return false;
            } else if (r < 0) {
                os::WaitReady(fd, os::Direction::Write, 100, error);
            }
        }
        return done == bytes.size() && !stream->HasPendingOutput();
    }
};

class TlsStreamTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        openssl = kavra::test::FindOpenSsl();
        if (os::TlsEngine::Built() && !openssl.empty()) {
            certs = std::make_unique<TestCertificates>(openssl);
        }
    }
    static void TearDownTestSuite() { certs.reset(); }

    void SetUp() override {
        if (!os::TlsEngine::Built()) {
            GTEST_SKIP() << "this build has no TLS (KAVRA_TLS=OFF, or no TLS library found)";
        }
        if (openssl.empty()) {
            GTEST_SKIP() << "the openssl program is not installed";
        }
        ASSERT_TRUE(certs->Ready()) << certs->Why();
    }

    static os::TlsSettings Trusting(const std::string& serverName) {
        os::TlsSettings settings;
        settings.serverName = serverName;
        settings.caFile = certs->Ca();
        return settings;
    }

    static void Connect(Peer& peer, unsigned short port, const os::TlsSettings& settings,
                        milliseconds timeout = kavra::test::Patient(milliseconds(5000))) {
        int error = 0;
        const os::SocketHandle fd =
            os::ConnectTcp("127.0.0.1", port, PatientMs(5000), error, nullptr);
        ASSERT_NE(fd, os::INVALID_SOCKET_HANDLE) << "connect: " << error;
        peer.Start(fd, settings, timeout);
    }

    // A server peer with the good certificate and a client trusting it,
    // through their handshakes over loopback; below, when given, lays a
    // stream of the test's under each side's TLS (told which side it is).
    using Below = std::function<std::unique_ptr<kavra::ByteStream>(os::SocketHandle, bool)>;
    static void ServeAndConnect(Peer& server, Peer& client, const Below& below = nullptr) {
        std::string why;
        if (!kavra::test::TlsEchoServer::Supported(certs->Good(), why)) {
            GTEST_SKIP() << "this system's engine does not serve TLS: " << why;
        }
        int error = 0;
        const os::SocketHandle listener =
            os::ListenTcp("127.0.0.1", 0, 4, os::PortReuse::Plain, error);
        ASSERT_NE(listener, os::INVALID_SOCKET_HANDLE) << error;
        const milliseconds timeout = kavra::test::Patient(milliseconds(5000));
        const auto under = [&below](os::SocketHandle fd, bool serving) {
            return below ? below(fd, serving) : std::unique_ptr<kavra::ByteStream>();
        };
        std::thread serverSide([&] {
            os::TlsSettings settings;
            settings.server = true;
            settings.certFile = certs->Good().cert;
            settings.keyFile = certs->Good().key;
            const os::SocketHandle fd = os::Accept(listener, true, true, nullptr);
            server.Start(fd, settings, timeout, under(fd, true));
        });
        const os::SocketHandle fd =
            os::ConnectTcp("127.0.0.1", os::LocalPort(listener), PatientMs(5000), error, nullptr);
        if (fd != os::INVALID_SOCKET_HANDLE) {
            client.Start(fd, Trusting("127.0.0.1"), timeout, under(fd, false));
        }
        serverSide.join();
        os::CloseSocket(listener);
        ASSERT_NE(fd, os::INVALID_SOCKET_HANDLE) << "connect: " << error;
        ASSERT_EQ(client.result, 0) << client.detail;
        ASSERT_EQ(server.result, 0) << server.detail;
    }

    inline static std::string openssl;
    inline static std::unique_ptr<TestCertificates> certs;
};

// A frame as the library sends it, as one line for the reversing server:
// no "\n" or "\r" inside.
std::string FrameLine(std::size_t bodySize, unsigned int seed) {
    std::string line(10, '\xFF');
    for (int shift = 24; shift >= 0; shift -= 8) {
        line += static_cast<char>((bodySize >> shift) & 0xFFU);
    }
    line += Pattern(bodySize, seed);
    for (char& c : line) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return line;
}

std::string Reversed(std::string line) {
    std::reverse(line.begin(), line.end());
    return line + "\n";
}

TEST_F(TlsStreamTest, CarriesFramesBothWaysAndCallsAnEndWithoutCloseNotifyTruncated) {
    OpenSslServer server(openssl, certs->Good());
    ASSERT_NE(server.Port(), 0) << server.Output();
    Peer client;
    Connect(client, server.Port(), Trusting("127.0.0.1"));
    ASSERT_EQ(client.result, 0) << client.detail;
    EXPECT_EQ(client.stream->ProtocolVersion(), 0x0304);
    EXPECT_EQ(client.stream->ProtocolName(), "TLSv1.3");

    // Sent back to back: the largest body the library sends, a small one,
    // and one that the server's answer spreads over two records.
    std::string sent;
    std::string expected;
    for (const std::size_t body : {8812U, 64U, 12000U}) {
        const std::string line = FrameLine(body, static_cast<unsigned int>(body));
        sent += line + "\n";
        expected += Reversed(line);
    }
    ASSERT_TRUE(client.Write(sent));
    int error = 0;
    const std::string answer = client.Read(expected.size(), error);
    EXPECT_EQ(answer.size(), expected.size()) << error;
    EXPECT_TRUE(answer == expected);

    server.Kill();
    EXPECT_EQ(client.Read(1, error), "");
    EXPECT_EQ(error, KAVRA_TLS_TRUNCATED);
    EXPECT_NE(client.stream->Detail().find("close_notify"), std::string::npos);
}

TEST_F(TlsStreamTest, CloseNotifyEndsTheStreamInOrderOverTls12) {
    OpenSslServer server(openssl, certs->Good(), {"-tls1_2"});
    ASSERT_NE(server.Port(), 0) << server.Output();
    Peer client;
    Connect(client, server.Port(), Trusting("localhost"));
    ASSERT_EQ(client.result, 0) << client.detail;
    EXPECT_EQ(client.stream->ProtocolVersion(), 0x0303);
    ASSERT_TRUE(client.Write("sdrow tsal\nCLOSE\n"));
    int error = EAGAIN;
    EXPECT_EQ(client.Read(1000, error), "last words\n");
    EXPECT_EQ(error, 0) << "the stream ended with " << error << ": " << client.stream->Detail();
}

TEST_F(TlsStreamTest, EachCertificateProblemHasItsOwnCode) {
    struct Case {
        const char* what;
        CertPair pair;
        std::string serverName;
        bool useCa;
        bool verify;
        int expected;
    };
    const Case cases[] = {
        {"a name the certificate carries", certs->Good(), "localhost", true, true, 0},
        {"another host name", certs->Good(), "wrong.invalid", true, true, KAVRA_TLS_NAME_MISMATCH},
        {"another address", certs->OtherName(), "127.0.0.1", true, true, KAVRA_TLS_NAME_MISMATCH},
        {"an expired certificate", certs->Expired(), "127.0.0.1", true, true, KAVRA_TLS_EXPIRED},
        {"a self-signed certificate", certs->SelfSigned(), "127.0.0.1", true, true,
         KAVRA_TLS_UNTRUSTED},
        {"the test CA not trusted", certs->Good(), "127.0.0.1", false, true, KAVRA_TLS_UNTRUSTED},
        {"no verification asked", certs->SelfSigned(), "wrong.invalid", false, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OpenSslServer server(openssl, c.pair);
        ASSERT_NE(server.Port(), 0) << server.Output();
        os::TlsSettings settings = Trusting(c.serverName);
        settings.caFile = c.useCa ? certs->Ca() : "";
        settings.verify = c.verify;
        Peer client;
        Connect(client, server.Port(), settings);
        EXPECT_EQ(client.result, c.expected) << client.detail;
        if (c.expected != 0) {
            EXPECT_NE(client.detail.find("certificate"), std::string::npos) << client.detail;
        }
        if (c.expected == KAVRA_TLS_EXPIRED) {
            EXPECT_NE(client.detail.find("notAfter"), std::string::npos) << client.detail;
        }
    }
}

TEST_F(TlsStreamTest, SettingsThatCannotWorkFailBeforeAnyConnection) {
    const CertPair good = certs->Good();
    const CertPair other = certs->OtherName();
    os::TlsSettings missingCa = Trusting("127.0.0.1");
    missingCa.caFile = certs->Ca() + ".missing";
    os::TlsSettings keyOfAnother = Trusting("127.0.0.1");
    keyOfAnother.certFile = good.cert;
    keyOfAnother.keyFile = other.key;
    os::TlsSettings certWithoutKey = Trusting("127.0.0.1");
    certWithoutKey.certFile = good.cert;
    os::TlsSettings serverWithoutCert;
    serverWithoutCert.server = true;
    for (const os::TlsSettings& settings :
         {missingCa, keyOfAnother, certWithoutKey, serverWithoutCert}) {
        int error = 0;
        std::string detail;
        EXPECT_EQ(os::TlsEngine::Create(settings, error, detail), nullptr);
        EXPECT_EQ(error, KAVRA_TLS_SETUP);
        EXPECT_FALSE(detail.empty());
    }
}

// Plain TCP servers: one that greets with a frame, one that hangs up, one
// that never answers.
TEST_F(TlsStreamTest, APlainServerFailsTheHandshakeWithItsOwnCodeInBoundedTime) {
    kavra::test::LoopbackServer greets;
    kavra::test::LoopbackServer hangsUp;
    kavra::test::LoopbackServer silent;
    std::thread serverSide([&] {
        if (greets.WaitForConnection(0, kavra::test::Patient(milliseconds(5000)))) {
            greets.Send(0, kavra::test::MakeFrame({1, 2, 3, 4}));
        }
        if (hangsUp.WaitForConnection(0, kavra::test::Patient(milliseconds(5000)))) {
            hangsUp.CloseConnection(0);
        }
    });
    Peer notTls;
    Connect(notTls, greets.Port(), Trusting("127.0.0.1"));
    Peer closed;
    Connect(closed, hangsUp.Port(), Trusting("127.0.0.1"));
    serverSide.join();
    EXPECT_EQ(notTls.result, KAVRA_TLS_NOT_TLS) << notTls.detail;
    EXPECT_EQ(closed.result, KAVRA_TLS_CLOSED_IN_HANDSHAKE) << closed.detail;

    const auto start = Clock::now();
    Peer waiting;
    Connect(waiting, silent.Port(), Trusting("127.0.0.1"), milliseconds(300));
    EXPECT_EQ(waiting.result, ETIMEDOUT);
    EXPECT_LT(Clock::now() - start, kavra::test::Patient(std::chrono::seconds(5)));
}

// Both ends are the library's: the server side of the engine is what the
// tool serves with. The client fills the connection while the server does
// not read, so that the socket runs out of room mid-write.
TEST_F(TlsStreamTest, AFullSocketTakesNothingAndInjectedBytesAreABadRecord) {
    Peer server;
    Peer client;
    ServeAndConnect(server, client);
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    int error = 0;

    const std::string bytes = Pattern(32 << 20, 11);
    std::size_t taken = 0;
    long r = 0;
    while ((r = client.stream->SendSome(bytes.data() + taken, bytes.size() - taken, error)) > 0) {
        taken += static_cast<std::size_t>(r);
    }
    ASSERT_EQ(error, EAGAIN);
    ASSERT_LT(taken, bytes.size()) << "the socket never filled up";
    for (int again = 0; again < 3; ++again) {
        EXPECT_EQ(client.stream->SendSome(bytes.data() + taken, 1, error), -1);
        EXPECT_EQ(error, EAGAIN);
    }
    std::thread flusher([&] { client.Write(""); });
    const std::string arrived = server.Read(taken, error);
    EXPECT_EQ(arrived.size(), taken) << error;
    EXPECT_TRUE(arrived == bytes.substr(0, taken));
    flusher.join();
    EXPECT_FALSE(client.stream->HasPendingOutput());

    // A record that this session never made, after one that it did.
    ASSERT_TRUE(server.Write("intact"));
    const std::string forged = std::string("\x17\x03\x03\x00\x20", 5) + std::string(32, 'x');
    ASSERT_EQ(os::SendSome(server.fd, forged.data(), forged.size(), error),
              static_cast<long>(forged.size()));
    EXPECT_EQ(client.Read(6, error), "intact");
    EXPECT_EQ(client.Read(1, error), "");
    EXPECT_EQ(error, KAVRA_TLS_BAD_RECORD) << client.stream->Detail();
    char byte = 0;
    EXPECT_EQ(client.stream->RecvSome(&byte, 1, error), -1);
    EXPECT_EQ(error, KAVRA_TLS_BAD_RECORD);
}

// TCP under a TLS stream that counts the wire bytes each way and takes no
// more to send than the test allows, as a peer that stops reading would, but
// at a byte the test chooses; or fails there, as a reset connection would.
class MeteredStream final : public kavra::ByteStream {
public:
    explicit MeteredStream(os::SocketHandle handle) : m_tcp(handle) {}

    void Allow(std::size_t bytes, int thenError = EAGAIN) {
        m_allowed = bytes;
        m_thenError = thenError;
    }
    std::size_t Sent() const { return m_sent; }
    std::size_t Received() const { return m_received; }

    long SendSome(const void* src, std::size_t n, int& error) override {
        if (m_allowed == 0) {
            error = m_thenError;
            return -1;
        }
        const long sent = m_tcp.SendSome(src, std::min(n, m_allowed), error);
        if (sent > 0) {
            m_allowed -= static_cast<std::size_t>(sent);
            m_sent += static_cast<std::size_t>(sent);
        }
        return sent;
    }
    long RecvSome(void* dst, std::size_t n, int& error) override {
        const long got = m_tcp.RecvSome(dst, n, error);
        m_received += got > 0 ? static_cast<std::size_t>(got) : 0;
        return got;
    }
    os::SocketHandle Handle() const override { return m_tcp.Handle(); }
    bool FlushSome(int& error) override { return m_tcp.FlushSome(error); }
    bool HasPendingOutput() const override { return m_tcp.HasPendingOutput(); }
    std::size_t UnsentTaken() const override { return m_tcp.UnsentTaken(); }
    std::size_t BufferedInput() const override { return m_tcp.BufferedInput(); }
    os::PeekResult PeekForClose(int& error) override { return m_tcp.PeekForClose(error); }
    void Shutdown() override { m_tcp.Shutdown(); }
    const std::string& Detail() const override { return m_tcp.Detail(); }
    bool IsEncrypted() const override { return false; }
    int ProtocolVersion() const override { return 0; }
    std::string ProtocolName() const override { return {}; }
    bool Resumed() const override { return false; }

private:
    kavra::TcpStream m_tcp;
    std::size_t m_allowed = std::numeric_limits<std::size_t>::max();
    int m_thenError = EAGAIN;
    std::size_t m_sent = 0;
    std::size_t m_received = 0;
};

// The engine reads ahead: one socket read may bring several records. A
// reader that calls RecvSome only while the stream holds input or the
// socket is readable, as CSocket and the bench do, with less room than a
// record, must never be left waiting on a quiet socket for records the
// stream already took off it; every byte arrives in order.
TEST_F(TlsStreamTest, AReaderWithLittleRoomNeverWaitsForRecordsAlreadyTakenOffTheSocket) {
    Peer server;
    Peer client;
    ServeAndConnect(server, client);
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    int error = 0;

    const std::string bytes = Pattern(24 * 16 * 1024 + 321, 37);
    std::thread writer([&] { EXPECT_TRUE(client.Write(bytes)); });
    std::string got;
    char chunk[700];
    bool waitedInVain = false;
    error = EAGAIN;
    while (got.size() < bytes.size() && error == EAGAIN && !waitedInVain) {
        waitedInVain = !server.stream->HasBufferedInput() &&
                       os::WaitReady(server.fd, os::Direction::Read,
                                     static_cast<int>(PatientMs(5000)), error) <= 0;
        const long r = server.stream->RecvSome(chunk, sizeof chunk, error);
        if (r > 0) {
            got.append(chunk, static_cast<std::size_t>(r));
            error = EAGAIN;
        }
    }
    writer.join();
    EXPECT_FALSE(waitedInVain) << "waited on a quiet socket with " << got.size() << " of "
                               << bytes.size() << " bytes read";
    EXPECT_EQ(error, EAGAIN) << server.stream->Detail();
    EXPECT_TRUE(got == bytes);
}

// One SendSome takes a batch of several records. A stall that leaves the
// socket with one record whole and the next cut: what the peer can ever
// decrypt is exactly what was taken less UnsentTaken, nothing more is taken
// while the stall lasts, and once the socket has room again the rest
// follows byte for byte. A socket that fails takes nothing.
TEST_F(TlsStreamTest, AStallInsideABatchCountsEveryRecordNotWholeOnTheWireAsUnsent) {
    Peer server;
    Peer client;
    MeteredStream* serverWire = nullptr;
    MeteredStream* clientWire = nullptr;
    ServeAndConnect(server, client, [&](os::SocketHandle fd, bool serving) {
        auto metered = std::make_unique<MeteredStream>(fd);
        (serving ? serverWire : clientWire) = metered.get();
        return metered;
    });
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    int error = 0;

    // A record carries at most 16 KiB of plaintext and less than 256 bytes
    // besides: 20000 bytes hold one record of the batch whole and cut the next.
    constexpr std::size_t record = 16 * 1024;
    clientWire->Allow(20000);
    const std::size_t before = clientWire->Sent();
    const std::string bytes = Pattern(5 * record, 23);
    const long taken = client.stream->SendSome(bytes.data(), bytes.size(), error);
    ASSERT_GT(taken, static_cast<long>(2 * record)) << error;
    ASSERT_EQ(clientWire->Sent() - before, 20000U);
    ASSERT_TRUE(client.stream->HasPendingOutput());
    const std::size_t whole = static_cast<std::size_t>(taken) - client.stream->UnsentTaken();
    EXPECT_EQ(whole, record);
    EXPECT_EQ(client.stream->SendSome(bytes.data() + taken, 1, error), -1);
    EXPECT_EQ(error, EAGAIN);

    EXPECT_TRUE(server.Read(whole, error) == bytes.substr(0, whole)) << error;
    // Every wire byte the client sent has reached the server's engine, and
    // the cut record gives nothing.
    const auto end = Clock::now() + kavra::test::Patient(std::chrono::seconds(5));
    char byte = 0;
    long more = 0;
    while ((more = server.stream->RecvSome(&byte, 1, error)) < 0 && error == EAGAIN &&
           serverWire->Received() < clientWire->Sent() && Clock::now() < end) {
        os::WaitReady(server.fd, os::Direction::Read, 100, error);
    }
    EXPECT_EQ(serverWire->Received(), clientWire->Sent());
    EXPECT_EQ(server.stream->RecvSome(&byte, 1, error), -1);
    EXPECT_EQ(error, EAGAIN);

    clientWire->Allow(std::numeric_limits<std::size_t>::max());
    const std::string rest = bytes.substr(static_cast<std::size_t>(taken));
    std::thread writer([&] { EXPECT_TRUE(client.Write(rest)); });
    EXPECT_TRUE(server.Read(bytes.size() - whole, error) == bytes.substr(whole)) << error;
    writer.join();

    // A socket that fails, as a reset connection does, fails the call, which
    // then took nothing: a writer's count of what it wrote never runs below
    // what it counted before.
    clientWire->Allow(0, EPIPE);
    EXPECT_EQ(client.stream->SendSome(bytes.data(), 100, error), -1);
    EXPECT_EQ(error, EPIPE);
    EXPECT_EQ(client.stream->UnsentTaken(), 0U);
}

// Settings that cannot work fail the attempt before it connects: where
// nothing listens, a connect would fail with ECONNREFUSED instead.
TEST(TlsSocket, AConnectThatCannotHaveTlsFailsBeforeConnecting) {
    CSocket socket;
    kavra::TlsOptions tls;
    tls.SetEnabled(true);
    tls.SetCaFile("no-such-folder/ca.pem");
    socket.SetTls(tls);
    EXPECT_EQ(socket.Connect("127.0.0.1", 1, 1000), 0);
    EXPECT_EQ(socket.GetLastError(), os::TlsEngine::Built() ? KAVRA_TLS_SETUP : KAVRA_TLS_NOT_BUILT);
    EXPECT_FALSE(socket.GetLastErrorDetail().empty());
    EXPECT_FALSE(socket.IsOpen());
}

} // namespace
