// Runs the kavra program as a real process: against itself over loopback
// (serve with send and recv), the demo, and the error paths. Every child is
// killed when it overruns its time limit.
#include "support/ChildProcess.h"
#include "support/Slowdown.h"
#include "support/TestSocket.h"

#include <gtest/gtest.h>
#include <kavra/TlsErrors.h>
#include <kavra/kavra.h>

#ifdef KAVRA_TOOL_SERVES_TLS
#include "tools/SelfSignedCertificate.h"
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <system_error>
#include <vector>

#ifndef KAVRA_TOOL
#error "KAVRA_TOOL must name the kavra binary"
#endif

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// One run of the tool with its standard input, output and error on pipes.
class Child {
public:
    Child(const std::vector<std::string>& args, const std::string& input)
        : m_process(KAVRA_TOOL, args, input) {
        if (!m_process.Started()) {
            ADD_FAILURE() << "cannot start " << KAVRA_TOOL << ": system error "
                          << m_process.StartError();
        }
    }

    // Reads stdout until a line matching pattern arrives; its first capture.
    // The limit is stretched on a slow machine.
    std::string WaitForLine(const std::string& pattern, std::chrono::milliseconds limit) {
        const std::regex re(pattern);
        const auto deadline = Clock::now() + kavra::test::Patient(limit);
        while (Clock::now() < deadline) {
            std::size_t end = 0;
            while ((end = m_stdout.find('\n', m_scanned)) != std::string::npos) {
                const std::string line = m_stdout.substr(m_scanned, end - m_scanned);
                m_scanned = end + 1;
                std::smatch match;
                if (std::regex_search(line, match, re)) {
                    return match.size() > 1 ? match[1].str() : line;
                }
            }
            m_process.Pump(50, m_stdout, m_stderr);
        }
        return "";
    }

    // Waits for the child's exit (killing it at the limit, stretched on a
    // slow machine); the exit status, or -1 when it had to be killed or
    // never started.
    int Wait(std::chrono::milliseconds limit) {
        if (!m_process.Started()) {
            return -1;
        }
        const auto deadline = Clock::now() + kavra::test::Patient(limit);
        for (;;) {
            if (const std::optional<int> status = m_process.Poll()) {
                while (m_process.Pump(0, m_stdout, m_stderr)) {
                }
                return *status;
            }
            if (Clock::now() >= deadline) {
                m_process.Kill();
                ADD_FAILURE() << "child overran its time limit and was killed";
                return -1;
            }
            m_process.Pump(20, m_stdout, m_stderr);
        }
    }

    bool Interrupt() { return m_process.Interrupt(); }
    const std::string& Out() const { return m_stdout; }
    const std::string& Err() const { return m_stderr; }

private:
    kavra::test::ChildProcess m_process;
    std::string m_stdout;
    std::string m_stderr;
    std::size_t m_scanned = 0;
};

struct Result {
    int status;
    std::string out;
    std::string err;
};

// The tool's wait for each reply, where a case leaves it to the test: its
// default, stretched on a slow machine.
std::vector<std::string> WithReplyWait(std::vector<std::string> args) {
    const bool expects = std::find(args.begin(), args.end(), "--expect") != args.end();
    if (!args.empty() && args[0] == "send" && expects &&
        std::find(args.begin(), args.end(), "--timeout") == args.end()) {
        args.push_back("--timeout");
        args.push_back(std::to_string(kavra::test::Patient(5000ms).count()));
    }
    return args;
}

Result run(const std::vector<std::string>& args, const std::string& input = "",
           std::chrono::milliseconds limit = 20s) {
    Child child(WithReplyWait(args), input);
    const int status = child.Wait(limit);
    return {status, child.Out(), child.Err()};
}

// A serve process that has printed its bound port, with a stop file of its
// own for a stop without a console.
class Server {
public:
    explicit Server(std::vector<std::string> options) : m_stopFile(freshStopFile()) {
        options.insert(options.begin(),
                       {"serve", "--listen", "127.0.0.1:0", "--stop-file", m_stopFile.string()});
        m_child = std::make_unique<Child>(options, "");
        m_port = m_child->WaitForLine(R"(^listening on 127\.0\.0\.1:(\d+))", 10s);
        EXPECT_FALSE(m_port.empty()) << m_child->Err();
    }
    ~Server() {
        std::error_code ignored;
        std::filesystem::remove(m_stopFile, ignored);
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    std::string Address() const { return "127.0.0.1:" + m_port; }
    const std::string& Port() const { return m_port; }
    Child& Process() { return *m_child; }
    const std::filesystem::path& StopFile() const { return m_stopFile; }

    // Ctrl-C where the system can carry one to the server; else (a process
    // without a console, as under Wine) the stop file.
    void Stop() {
        if (!m_child->Interrupt()) {
            StopThroughFile();
        }
    }
    void StopThroughFile() { EXPECT_TRUE(std::ofstream(m_stopFile).good()) << m_stopFile; }

private:
    static std::filesystem::path freshStopFile() {
        static std::atomic<unsigned> made{0};
        const auto stamp = Clock::now().time_since_epoch().count();
        return std::filesystem::temp_directory_path() /
               ("kavra-tool-test-" + std::to_string(stamp) + "-" + std::to_string(made++) +
                ".stop");
    }

    std::filesystem::path m_stopFile;
    std::unique_ptr<Child> m_child;
    std::string m_port;
};

std::size_t countLines(const std::string& text) {
    std::size_t lines = 0;
    for (char c : text) {
        lines += c == '\n' ? 1 : 0;
    }
    return lines;
}

// A port on 127.0.0.1 that nothing listens on (bound, then released).
unsigned short closedPort() {
    namespace net = kavra::test::net;
    int error = 0;
    const net::Handle fd = net::ListenLoopback(net::Family::Ipv4, 0, 1, false, error);
    EXPECT_NE(fd, net::INVALID_HANDLE) << "error " << error;
    const unsigned short port = net::LocalPort(fd);
    net::Close(fd);
    return port;
}

// ---- command line ------------------------------------------------------------

TEST(ToolCommandLine, VersionAndHelp) {
    const Result version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(std::regex_match(version.out, std::regex(R"(kavra \d+\.\d+\.\d+\n)")))
        << version.out;

    for (const char* command : {"serve", "send", "recv", "demo"}) {
        const Result help = run({command, "--help"});
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_NE(help.out.find(std::string("usage: kavra ") + command), std::string::npos)
            << help.out;
        EXPECT_NE(help.out.find("--verbose"), std::string::npos) << command;
    }
}

TEST(ToolCommandLine, UsageMistakesGiveOneLineAndStatusTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {"frobnicate"},
        {"send"},
        {"send", "127.0.0.1:7000", "--bogus"},
        {"send", "127.0.0.1:7000", "--expect"},
        {"send", "127.0.0.1:7000", "--expect", "many"},
        {"serve", "--mode", "mirror"},
        {"serve", "--garbage", "1.5"},
        {"demo", "--count", "0"},
        // Either "needs --tls", or a build without TLS saying so.
        {"send", "127.0.0.1:7000", "--ca", "ca.pem"},
        {"serve", "--tls-cert", "cert.pem"},
    };
    for (const auto& args : cases) {
        const Result result = run(args);
        EXPECT_EQ(result.status, 2) << args[0] << " " << result.err;
        EXPECT_EQ(countLines(result.err), 1u) << result.err;
        EXPECT_EQ(result.err.rfind("kavra", 0), 0u) << result.err;
    }
}

TEST(ToolCommandLine, BadAddressesAreRejectedBeforeConnecting) {
    // More than a pipe holds: the tool ends before its input is all written.
    const std::string input(1 << 20, '\n');
    for (const char* address : {"localhost", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536",
                                ":7000", "::1:7000", "127.0.0.1:70x"}) {
        const Result result = run({"send", address}, input);
        EXPECT_EQ(result.status, 2) << address;
        EXPECT_NE(result.err.find("bad address"), std::string::npos) << result.err;
        EXPECT_EQ(countLines(result.err), 1u) << result.err;
    }
}

// ---- connection errors --------------------------------------------------------

TEST(ToolErrors, RefusedConnectionIsOneLineAndNonZero) {
    const std::string address = "127.0.0.1:" + std::to_string(closedPort());
    for (const char* command : {"send", "recv"}) {
        const Result result = run({command, address}, "hello\n");
        EXPECT_EQ(result.status, 1) << command;
        EXPECT_EQ(result.err, "kavra " + std::string(command) + ": cannot connect to " + address +
                                  ": Connection refused\n");
        EXPECT_EQ(result.out, "");
    }
}

TEST(ToolErrors, UnknownHostIsReported) {
    const Result result = run({"send", "no-such-host.invalid:7000"}, "hello\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("cannot resolve host 'no-such-host.invalid'"), std::string::npos)
        << result.err;
    EXPECT_EQ(countLines(result.err), 1u);
}

TEST(ToolErrors, PortInUseIsReported) {
    Server first({});
    const Result second = run({"serve", "--listen", first.Address(), "--duration", "1"});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err,
              "kavra serve: cannot listen on " + first.Address() + ": Address already in use\n");
}

TEST(ToolErrors, OversizedLineIsRefusedBeforeSending) {
    Server server({"--mode", "sink"});
    const Result result = run({"send", server.Address()}, "short\n" + std::string(8813, 'x'));
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("line 2 is 8813 bytes"), std::string::npos) << result.err;
    server.Stop();
    EXPECT_EQ(server.Process().Wait(10s), 0);
    EXPECT_NE(server.Process().Out().find("0 frames in"), std::string::npos)
        << server.Process().Out();
}

// ---- against its own peer -----------------------------------------------------

TEST(ToolLoopback, EchoThroughGarbageAndBadLengthsDeliversEveryLine) {
    Server server({"--garbage", "1", "--bad-length", "1", "--seed", "7"});
    const std::string lines = "alpha\nbeta\n\ngamma with spaces\n";
    const Result result = run({"send", server.Address(), "--expect", "3"}, lines);
    ASSERT_EQ(result.status, 0) << result.err;
    // The empty line has nothing to send; the others come back in order.
    EXPECT_EQ(result.out, "alpha\nbeta\ngamma with spaces\n");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(result.err, match,
                                  std::regex(R"(received 3 of 3 replies; skipped (\d+) garbage )"
                                             R"(bytes and (\d+) bad headers)")))
        << result.err;
    EXPECT_GT(std::stoul(match[1].str()), 0u);
    EXPECT_EQ(match[2].str(), "3");

    server.Stop();
    EXPECT_EQ(server.Process().Wait(10s), 0);
    EXPECT_NE(server.Process().Out().find("3 bad length fields"), std::string::npos)
        << server.Process().Out();
}

TEST(ToolLoopback, SizedChunksComeBackInHex) {
    Server server({});
    const Result result =
        run({"send", server.Address(), "--size", "4", "--expect", "3", "--hex"}, "abcdefghij");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "000000  61 62 63 64\n000000  65 66 67 68\n000000  69 6a\n");
}

TEST(ToolLoopback, RawInputIsOnePduWithItsNewlines) {
    Server server({});
    const Result result =
        run({"send", server.Address(), "--raw", "--expect", "1"}, "one\ntwo\x01\n");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "one\\x0atwo\\x01\\x0a\n");
}

TEST(ToolLoopback, MissingReplyTimesOutWithOneLine) {
    Server server({"--mode", "sink"});
    const Result result =
        run({"send", server.Address(), "--expect", "1", "--timeout", "300"}, "ping\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("timed out after 300 ms waiting for reply 1 of 1"), std::string::npos)
        << result.err;
}

TEST(ToolLoopback, SinkCountsWhatSendWrote) {
    Server server({"--mode", "sink"});
    const Result result = run({"send", server.Address()}, "a\nbb\nccc\ndddd\n");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("sent 4 PDUs (10 bytes)"), std::string::npos) << result.err;
    // The connection's close line carries its counts once the client is gone.
    EXPECT_FALSE(server.Process()
                     .WaitForLine(R"(connection #1 closed by client \(4 frames in, 0 out\))", 10s)
                     .empty())
        << server.Process().Out();
    // The stop file on every system, so that it is tested where Ctrl-C works.
    server.StopThroughFile();
    EXPECT_EQ(server.Process().Wait(10s), 0);
    EXPECT_NE(server.Process().Out().find("peer summary: 1 connections, 4 frames in (10 bytes)"),
              std::string::npos)
        << server.Process().Out();
    // A stop file left behind would stop the next server at once: refused.
    const Result next = run({"serve", "--stop-file", server.StopFile().string()});
    EXPECT_EQ(next.status, 1);
    EXPECT_NE(next.err.find("already exists"), std::string::npos) << next.err;
}

TEST(ToolLoopback, RecvPrintsSourceFramesThroughGarbage) {
    // The garbage before half of the frames is skipped; every frame arrives.
    Server server({"--mode", "source", "--rate", "200", "--size", "20-40", "--garbage", "0.5"});
    const Result result = run({"recv", server.Address(), "--count", "6"});
    ASSERT_EQ(result.status, 0) << result.err;
    ASSERT_EQ(countLines(result.out), 6u) << result.out;
    std::size_t at = 0;
    for (int n = 1; n <= 6; ++n) {
        const std::string expected = "source frame " + std::to_string(n) + " ";
        EXPECT_EQ(result.out.compare(at, expected.size(), expected), 0) << result.out;
        at = result.out.find('\n', at) + 1;
    }
    EXPECT_NE(result.err.find("received 6 PDUs"), std::string::npos) << result.err;
}

TEST(ToolLoopback, RecvFollowsTheServerAcrossADroppedConnection) {
    Server server({"--mode", "source", "--rate", "100", "--drop-after", "3", "--max-drops", "1"});
    const Result result = run({"recv", server.Address(), "--count", "5"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(countLines(result.out), 5u);
    EXPECT_NE(result.err.find("1 reconnections"), std::string::npos) << result.err;
    // Frame numbers restart on the new connection.
    EXPECT_NE(result.out.find("source frame 3 "), std::string::npos);
    EXPECT_EQ(result.out.find("source frame 4 "), std::string::npos) << result.out;
}

// ---- the demo -----------------------------------------------------------------

TEST(ToolDemo, ShortRunVerifiesOrAccountsForEveryPdu) {
    const Result result = run({"demo", "--count", "400"}, "", 40s);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    for (const char* expected :
         {"PDUs sent                 400", "echoed and verified", "resynchronisation",
          "reconnections             1 (peer dropped 1 connection)", "round trip",
          "result: OK, every PDU verified or accounted for"}) {
        EXPECT_NE(result.out.find(expected), std::string::npos) << expected << "\n" << result.out;
    }
    // Piped output gets plain lines, no progress bar.
    EXPECT_EQ(result.out.find('\r'), std::string::npos);

    // Every PDU sent is verified or lost with the dropped connection.
    std::smatch verified;
    std::smatch lost;
    ASSERT_TRUE(
        std::regex_search(result.out, verified, std::regex(R"(echoed and verified\s+(\d+))")));
    ASSERT_TRUE(std::regex_search(result.out, lost, std::regex(R"(\n  lost\s+(\d+))")));
    EXPECT_EQ(std::stoul(verified[1].str()) + std::stoul(lost[1].str()), 400u) << result.out;
}

TEST(ToolDemo, LosslessClientLosesOnlyFramesInFlight) {
    const Result result = run({"demo", "--count", "400", "--lossless"}, "", 40s);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    for (const char* expected :
         {"client: holds PDUs while disconnected", "never written           0 ",
          "dropped, queue full     0 ", " + 0 dropped + ",
          "reconnections             1 (peer dropped 1 connection)",
          "result: OK, every PDU verified or accounted for"}) {
        EXPECT_NE(result.out.find(expected), std::string::npos) << expected << "\n" << result.out;
    }
    // Whatever was lost was in flight at the drop, and nothing else.
    std::smatch lost;
    std::smatch inFlight;
    ASSERT_TRUE(std::regex_search(result.out, lost, std::regex(R"(\n  lost\s+(\d+))")));
    ASSERT_TRUE(std::regex_search(result.out, inFlight, std::regex(R"(in flight\s+(\d+))")));
    EXPECT_EQ(lost[1].str(), inFlight[1].str()) << result.out;
}

TEST(ToolDemo, WellBehavedPeerLosesNothing) {
    const Result result = run({"demo", "--count", "300", "--no-faults", "--senders", "2"}, "", 40s);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("echoed and verified       300 "), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("lost                      0\n"), std::string::npos) << result.out;
}

// ---- over TLS -----------------------------------------------------------------

#ifdef KAVRA_TOOL_SERVES_TLS

std::vector<std::string> tlsServe(const kavra::tool::SelfSignedCertificate& certificate,
                                  std::vector<std::string> options) {
    options.insert(options.end(),
                   {"--tls-cert", certificate.CertFile(), "--tls-key", certificate.KeyFile()});
    return options;
}

TEST(ToolTls, FramesThroughGarbageInsideTlsArriveWhole) {
    const kavra::tool::SelfSignedCertificate certificate;
    Server echo(tlsServe(certificate, {"--garbage", "1", "--bad-length", "1", "--seed", "7"}));
    const std::string lines = "alpha\nbeta\n\ngamma with spaces\n";
    const Result sent = run(
        {"send", echo.Address(), "--expect", "3", "--tls", "--ca", certificate.CertFile()}, lines);
    ASSERT_EQ(sent.status, 0) << sent.err;
    EXPECT_EQ(sent.out, "alpha\nbeta\ngamma with spaces\n");
    // The junk went inside the TLS records, so the decoder had to skip it.
    std::smatch match;
    ASSERT_TRUE(std::regex_search(sent.err, match,
                                  std::regex(R"(skipped (\d+) garbage bytes and 3 bad headers)")))
        << sent.err;
    EXPECT_GT(std::stoul(match[1].str()), 0u);
    EXPECT_FALSE(
        echo.Process().WaitForLine(R"(connection #1 from .* \(TLSv1\.[23]\))", 10s).empty())
        << echo.Process().Out();

    // recv, by the certificate's other name.
    Server source(tlsServe(
        certificate, {"--mode", "source", "--rate", "200", "--size", "20-40", "--garbage", "0.5"}));
    const Result got = run({"recv", "localhost:" + source.Port(), "--count", "4", "--tls", "--ca",
                            certificate.CertFile(), "--server-name", "localhost"});
    ASSERT_EQ(got.status, 0) << got.err;
    ASSERT_EQ(countLines(got.out), 4u) << got.out;
    EXPECT_EQ(got.out.rfind("source frame 1 ", 0), 0u) << got.out;

    // --insecure checks nothing and says so first.
    const Result insecure =
        run({"send", echo.Address(), "--expect", "1", "--tls", "--insecure"}, "unchecked\n");
    ASSERT_EQ(insecure.status, 0) << insecure.err;
    EXPECT_EQ(insecure.out, "unchecked\n");
    EXPECT_EQ(insecure.err.rfind("kavra send: warning: --insecure", 0), 0u) << insecure.err;

    echo.Stop();
    EXPECT_EQ(echo.Process().Wait(10s), 0);
    EXPECT_NE(echo.Process().Out().find("peer summary: 2 connections"), std::string::npos)
        << echo.Process().Out();
}

TEST(ToolTls, FailedHandshakesSayWhy) {
    const kavra::tool::SelfSignedCertificate served;
    const kavra::tool::SelfSignedCertificate other;
    Server server(tlsServe(served, {}));
    const std::string prefix = "kavra send: cannot connect to " + server.Address() + ": ";
    const struct {
        std::vector<std::string> tls;
        int code;
    } cases[] = {
        {{"--ca", other.CertFile()}, KAVRA_TLS_UNTRUSTED},
        {{"--ca", served.CertFile(), "--server-name", "kavra.invalid"}, KAVRA_TLS_NAME_MISMATCH},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"send", server.Address(), "--tls"};
        args.insert(args.end(), c.tls.begin(), c.tls.end());
        const Result result = run(args, "never sent\n");
        EXPECT_EQ(result.status, 1) << result.err;
        EXPECT_EQ(countLines(result.err), 1u) << result.err;
        // The failure in words, then the engine's detail.
        EXPECT_EQ(result.err.rfind(prefix + kavra_tls_strerror(c.code) + ": ", 0), 0u)
            << result.err;
        EXPECT_GT(result.err.size(), prefix.size() + std::strlen(kavra_tls_strerror(c.code)) + 3)
            << result.err;
    }
    // A TLS client at a plain server that speaks first.
    Server plain({"--mode", "source", "--rate", "100"});
    const Result notTls = run({"send", plain.Address(), "--tls", "--ca", served.CertFile()}, "x\n");
    EXPECT_EQ(notTls.status, 1);
    EXPECT_NE(notTls.err.find(kavra_tls_strerror(KAVRA_TLS_NOT_TLS)), std::string::npos)
        << notTls.err;

    server.Stop();
    EXPECT_EQ(server.Process().Wait(10s), 0);
    EXPECT_NE(server.Process().Out().find("2 TLS handshakes failed"), std::string::npos)
        << server.Process().Out();
}

TEST(ToolTls, LargeFramesComeBackWholeThroughManyRecords) {
    const kavra::tool::SelfSignedCertificate certificate;
    Server echo(tlsServe(certificate, {}));
    // Each body spans records, and many of them wait decrypted in the
    // server's stream at once.
    std::string input;
    std::string expected;
    for (int chunk = 0; chunk < 24; ++chunk) {
        const std::string body(8812, static_cast<char>('a' + chunk));
        input += body;
        expected += body + "\n";
    }
    const Result result = run({"send", echo.Address(), "--size", "8812", "--expect", "24", "--tls",
                               "--ca", certificate.CertFile()},
                              input);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(result.out == expected) << result.out.size() << " bytes, not " << expected.size();
}

TEST(ToolTls, ADroppedTlsConnectionIsFollowed) {
    const kavra::tool::SelfSignedCertificate certificate;
    // Dropped without close_notify, as a cut connection; recv reconnects.
    Server source(
        tlsServe(certificate, {"--mode", "source", "--rate", "100", "--drop-after", "3",
                               "--max-drops", "1", "--stall", "0.3", "--stall-ms", "20"}));
    const Result result = run({"recv", source.Address(), "--count", "5", "--verbose", "--tls",
                               "--ca", certificate.CertFile()});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(countLines(result.out), 5u);
    EXPECT_NE(result.err.find("1 reconnections"), std::string::npos) << result.err;
    EXPECT_NE(
        result.err.find(std::string("connection lost: ") + kavra_tls_strerror(KAVRA_TLS_TRUNCATED)),
        std::string::npos)
        << result.err;
}

TEST(ToolTls, ASilentClientHoldsUpNoOtherAndNoStop) {
    const kavra::tool::SelfSignedCertificate certificate;
    Server echo(tlsServe(certificate, {}));
    // Connected, never says a word: its handshake waits beside the others.
    namespace net = kavra::test::net;
    const net::Handle silent =
        net::ConnectLoopback(static_cast<unsigned short>(std::stoi(echo.Port())));
    ASSERT_NE(silent, net::INVALID_HANDLE);
    const Result result = run({"send", echo.Address(), "--expect", "1", "--timeout",
                               std::to_string(kavra::test::Patient(3000ms).count()), "--tls",
                               "--ca", certificate.CertFile()},
                              "past the silent one\n");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "past the silent one\n");
    // Stopping ends the waiting handshake too, well before its own limit.
    const auto stopping = Clock::now();
    echo.Stop();
    EXPECT_EQ(echo.Process().Wait(10s), 0);
    EXPECT_LT(Clock::now() - stopping, 8s);
    net::Close(silent);
}

TEST(ToolTls, UnusableCertificateFilesFailAtStart) {
    const kavra::tool::SelfSignedCertificate certificate;
    const kavra::tool::SelfSignedCertificate other;
    const std::vector<std::vector<std::string>> cases = {
        {"--tls-cert", certificate.CertFile() + ".missing", "--tls-key", certificate.KeyFile()},
        {"--tls-cert", certificate.CertFile(), "--tls-key", other.KeyFile()},
    };
    for (const auto& files : cases) {
        std::vector<std::string> args = {"serve", "--listen", "127.0.0.1:0", "--duration", "5"};
        args.insert(args.end(), files.begin(), files.end());
        const Result result = run(args);
        EXPECT_EQ(result.status, 1) << result.out;
        EXPECT_EQ(countLines(result.err), 1u) << result.err;
        EXPECT_EQ(result.err.rfind("kavra serve: cannot serve TLS with " + files[1], 0), 0u)
            << result.err;
        EXPECT_EQ(result.out, "");
    }
}

TEST(ToolDemo, TlsRunVerifiesOrAccountsForEveryPdu) {
    const Result result = run({"demo", "--count", "400", "--tls"}, "", 40s);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    for (const char* expected :
         {"tls: the peer serves TLS", "resynchronisation", "bad length fields",
          "reconnections             1 (peer dropped 1 connection)",
          "encryption                TLSv1.", "2 TLS connections, 0 handshakes failed",
          "result: OK, every PDU verified or accounted for"}) {
        EXPECT_NE(result.out.find(expected), std::string::npos) << expected << "\n" << result.out;
    }
    // The certificate's folder went with the run.
    std::smatch folder;
    ASSERT_TRUE(
        std::regex_search(result.out, folder, std::regex(R"(made for this run in (\S+);)")));
    EXPECT_FALSE(std::filesystem::exists(folder[1].str())) << folder[1].str();
}

#else

TEST(ToolTls, EveryTlsOptionSaysWhatTheBuildLacks) {
    const bool anyTls = kavra_tls_available() != 0;
    const std::vector<std::vector<std::string>> cases = {
        {"serve", "--tls-cert", "cert.pem", "--tls-key", "key.pem"},
        {"demo", "--tls"},
        {"send", "127.0.0.1:7000", "--tls"},
        {"recv", "127.0.0.1:7000", "--tls", "--insecure"},
    };
    for (const auto& args : cases) {
        const bool serving = args[0] == "serve" || args[0] == "demo";
        if (anyTls && !serving) {
            continue;
        }
        const Result result = run(args);
        EXPECT_EQ(result.status, 2) << args[0];
        EXPECT_EQ(result.err, "kavra " + args[0] + ": " +
                                  (anyTls ? "serving TLS is not built on Windows"
                                          : "this build of kavra has no TLS") +
                                  "\n");
    }
}

#endif

} // namespace
