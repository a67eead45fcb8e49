// End-to-end throughput and latency between two processes over loopback.
//
// Every measurement forks a fresh sender and a fresh receiver; this process
// only orchestrates and never starts a thread of its own, so forking stays
// safe. Children report through pipes. Rounds are interleaved (every
// transport once per round and size) so that noise from other work on the
// machine spreads over all rows alike, and ratios are taken within a round.
#include <kavra/KavraClientThread.h>
#include <kavra/KavraHeader.h>
#include <kavra/ReceiveOverflow.h>
#include <kavra/base/CSocket.h>

#include "serving/ServingApi.h"
#include "base/os/tls/TlsEngine.h"
#include "base/os/tls/TlsStream.h"

#ifdef KAVRA_BENCH_HAVE_TLS
#include "tools/SelfSignedCertificate.h"

#include <kavra/base/TlsOptions.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef KAVRA_BENCH_HAVE_ZMQ
#include <zmq.h>
#endif
#ifdef KAVRA_BENCH_HAVE_NNG
#include <nng/nng.h>
#include <nng/protocol/pipeline0/pull.h>
#include <nng/protocol/pipeline0/push.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;
namespace os = kavra::os;

constexpr int kHeaderLength = KavraHeader::HEADER_LENGTH;
constexpr std::size_t kSeqBytes = sizeof(std::uint64_t);

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "bench: %s: %s\n", what, std::strerror(errno));
    std::_Exit(2);
}

void writeAll(int fd, const void* src, std::size_t n) {
    const char* p = static_cast<const char*>(src);
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) {
                continue;
            }
            die("write");
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

bool readAll(int fd, void* dst, std::size_t n) {
    char* p = static_cast<char*>(dst);
    while (n > 0) {
        const ssize_t r = ::read(fd, p, n);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

void putSeq(char* body, std::uint64_t seq) {
    std::memcpy(body, &seq, kSeqBytes);
}

std::uint64_t getSeq(const char* body) {
    std::uint64_t seq = 0;
    std::memcpy(&seq, body, kSeqBytes);
    return seq;
}

void writeFrameHeader(char* dst, std::uint32_t bodyLength) {
    KavraHeader::EncodeHeader(static_cast<int>(bodyLength), reinterpret_cast<unsigned char*>(dst));
}

long peakRssKb() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// User and system time of every thread of this process so far.
double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void pinToCpu0() {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(0, &set);
    ::sched_setaffinity(0, sizeof set, &set);
}

int listenLoopback(unsigned short& port) {
    int error = 0;
    const os::SocketHandle fd =
        os::ListenTcp("127.0.0.1", 0, 4, os::PortReuse::Lingering, error);
    if (fd == os::INVALID_SOCKET_HANDLE) {
        die("bind/listen");
    }
    port = os::LocalPort(fd);
    return static_cast<int>(fd);
}

// True when fd has something to read within timeoutMs.
bool readable(int fd, int timeoutMs) {
    int error = 0;
    return os::WaitReady(fd, os::Direction::Read, timeoutMs, error) == 1;
}

// A port that was free a moment ago, for the peers that bind by URL.
unsigned short freePort() {
    unsigned short port = 0;
    ::close(listenLoopback(port));
    return port;
}

// Blocking, with TCP_NODELAY set.
int connectLoopback(unsigned short port) {
    int error = 0;
    const os::SocketHandle fd = os::ConnectTcp("127.0.0.1", port, 10000, error, nullptr);
    if (fd == os::INVALID_SOCKET_HANDLE || os::SetBlocking(fd, true) != 0) {
        die("connect");
    }
    return static_cast<int>(fd);
}

int acceptOne(int listener) {
    const os::SocketHandle fd = os::Accept(listener, false, true, nullptr);
    if (fd == os::INVALID_SOCKET_HANDLE) {
        die("accept");
    }
    return static_cast<int>(fd);
}

std::string tcpUrl(unsigned short port) {
    return "tcp://127.0.0.1:" + std::to_string(port);
}

// ---- the receiving side's bookkeeping -------------------------------------

struct ReceiverReport {
    std::uint64_t delivered = 0;
    std::uint64_t gaps = 0;       // sequence numbers never delivered
    std::uint64_t reordered = 0;  // sequence numbers that went backwards
    std::uint64_t queueDrops = 0; // kavra only: frames dropped at the full queue
    double seconds = 0;           // first to last delivery
    double longestWait = 0;       // longest time between two deliveries, s
    double cpuSeconds = 0;
    // TLS only: the cipher suite and protocol agreed, as the engine names them.
    char cipher[96] = {};
};

struct SenderReport {
    std::uint64_t sent = 0;
    std::uint64_t sendDropped = 0; // kavra only: accepted but never written
    long peakRssKb = 0;
    double cpuSeconds = 0;
};

class SequenceCheck {
public:
    void seen(std::uint64_t seq) {
        const auto now = Clock::now();
        if (m_report.delivered == 0) {
            m_first = now;
        } else {
            m_longestWait = std::max(m_longestWait, now - m_last);
        }
        m_last = now;
        ++m_report.delivered;
        if (seq > m_expected) {
            m_report.gaps += seq - m_expected;
        } else if (seq < m_expected) {
            ++m_report.reordered;
            return;
        }
        m_expected = seq + 1;
    }
    std::uint64_t expected() const { return m_expected; }
    ReceiverReport finish(std::uint64_t sent) {
        if (sent > m_expected) {
            m_report.gaps += sent - m_expected;
        }
        m_report.seconds = std::chrono::duration<double>(m_last - m_first).count();
        m_report.longestWait = std::chrono::duration<double>(m_longestWait).count();
        return m_report;
    }

private:
    ReceiverReport m_report;
    std::uint64_t m_expected = 0;
    Clock::time_point m_first{};
    Clock::time_point m_last{};
    Clock::duration m_longestWait{};
};

// Hands every whole frame in in[at, have) to check; returns where the first
// incomplete one starts.
std::size_t checkFrames(const std::vector<char>& in, std::size_t have, std::size_t at,
                        SequenceCheck& check) {
    while (have - at >= kHeaderLength) {
        const auto body = static_cast<std::size_t>(KavraHeader::DecodeBodyLength(
            reinterpret_cast<const unsigned char*>(in.data() + at)));
        if (have - at < kHeaderLength + body) {
            break;
        }
        check.seen(getSeq(in.data() + at + kHeaderLength));
        at += kHeaderLength + body;
    }
    return at;
}

// The receiver learns the sender's total through control; it stops once it
// has seen the last sequence number, or after a quiet spell past the end.
class EndWatch {
public:
    explicit EndWatch(int control) : m_control(control) {}
    bool done(const SequenceCheck& check, bool idle) {
        // Looking costs a system call: a busy receiver looks only now and
        // then, so that the harness does not slow down what it measures.
        if (!m_known && (idle || ++m_calls % 1024 == 0)) {
            if (readable(m_control, 0) && readAll(m_control, &m_sent, sizeof m_sent)) {
                m_known = true;
                m_knownAt = Clock::now();
            }
        }
        if (!m_known) {
            return false;
        }
        if (check.expected() >= m_sent) {
            return true;
        }
        return idle && secondsSince(m_knownAt) > 0.5;
    }
    std::uint64_t sent() const { return m_sent; }

private:
    int m_control;
    std::uint64_t m_calls = 0;
    bool m_known = false;
    std::uint64_t m_sent = 0;
    Clock::time_point m_knownAt{};
};

// Keeps PDUs for the consumer thread instead of discarding them.
class KeepingClient : public KavraClientThread {
public:
    // Takes the listener's next connection as its own socket and starts the
    // worker on it.
    void StartOnAccepted(int listener) {
        auto* socket = new CSocket();
        socket->Attach(acceptOne(listener));
        SetSocket(socket, 1, nullptr);
        Create();
    }

protected:
    void OnReceiveQueuePush() override {}
};

// ---- transports ---------------------------------------------------------

// KavraPaced sends at g_pacedRate (--paced-rate, default 20k messages/s):
// a consumer that keeps up must lose nothing. KavraLossless sends at full
// speed to a receiver that blocks at its full queue, like libzmq's push/pull:
// the race between the two is run on equal terms. KavraTls sends over TLS to
// a reader that decrypts with the engine's server mode and parses the frames
// in one thread; KavraToReader is the same pair without TLS, so that the two
// differ in TLS alone.
enum class Transport {
    Kavra,
    KavraLossless,
    KavraPaced,
    KavraTls,
    KavraToReader,
    RawPerFrame,
    RawBatched,
    Zmq,
    Nng
};

double g_pacedRate = 20000;

const char* transportName(Transport t) {
    switch (t) {
    case Transport::Kavra:
        return "kavra";
    case Transport::KavraLossless:
        return "kavra lossless";
    case Transport::KavraPaced: {
        static char name[32];
        std::snprintf(name, sizeof name, "kavra at %.0fk/s", g_pacedRate / 1000);
        return name;
    }
    case Transport::KavraTls:
        return "kavra TLS";
    case Transport::KavraToReader:
        return "kavra to reader";
    case Transport::RawPerFrame:
        return "raw write/frame";
    case Transport::RawBatched:
        return "raw batched";
    case Transport::Zmq:
        return "libzmq push/pull";
    case Transport::Nng:
        return "nng push0/pull0";
    }
    return "?";
}

struct Endpoint {
    int listener = -1;
    unsigned short port = 0;
};

// Keeps the kavra sender's memory bounded: the application waits while more
// than this many bytes of bodies sit in the send queue.
constexpr std::size_t kSendWindowBytes = 4u << 20;

#ifdef KAVRA_BENCH_HAVE_TLS
// The TLS rows' certificate: made once by the parent, before any fork; the
// senders trust it as their CA.
std::unique_ptr<kavra::tool::SelfSignedCertificate> g_certificate;
#endif

// The client's socket, connected; over TLS when tls is set.
CSocket* connectKavra(const Endpoint& ep, bool tls) {
    auto* socket = new CSocket();
#ifdef KAVRA_BENCH_HAVE_TLS
    if (tls) {
        kavra::TlsOptions options;
        options.SetEnabled(true);
        options.SetCaFile(g_certificate->CertFile());
        socket->SetTls(options);
    }
#else
    (void)tls;
#endif
    if (socket->Connect("127.0.0.1", ep.port, 3000) != 1) {
        die("kavra connect");
    }
    return socket;
}

// rate: messages per second to keep to, or 0 for as fast as possible.
SenderReport sendKavra(const Endpoint& ep, int size, double seconds, double rate, bool tls) {
    CSocket* socket = connectKavra(ep, tls);
    KavraClientThread client;
    client.SetSocket(socket, 1, nullptr);
    client.Create();
    std::vector<char> body(static_cast<std::size_t>(size), 'k');
    const std::size_t window =
        std::max<std::size_t>(64, kSendWindowBytes / static_cast<std::size_t>(size));
    std::uint64_t seq = 0;
    const auto start = Clock::now();
    auto paceDue = start;
    for (;;) {
        if ((seq & 63) == 0) {
            if (secondsSince(start) >= seconds) {
                break;
            }
            // Sleeps rather than spins, as a blocking send at a high-water
            // mark would: the receiver needs the CPU more than this thread.
            while (client.GetSendQueueLength() > window) {
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        }
        if (rate > 0 && (seq & 7) == 0) {
            // A steady sender, in steps of 8: after a late wake-up it goes on
            // at the rate from now, rather than sending the backlog at once.
            const auto step = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(8 / rate));
            paceDue = std::max(paceDue + step, Clock::now());
            std::this_thread::sleep_until(paceDue);
        }
        putSeq(body.data(), seq);
        client.SendPdu(body.data(), static_cast<unsigned int>(size));
        ++seq;
    }
    while (client.GetSendQueueLength() > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    client.Destroy();
    SenderReport report;
    report.sent = seq;
    report.sendDropped = client.GetStats().SendDropped();
    return report;
}

ReceiverReport receiveKavra(const Endpoint& ep, int control, kavra::ReceiveOverflow overflow) {
    KeepingClient client;
    client.SetReceiveOverflow(overflow);
    client.StartOnAccepted(ep.listener);
    std::vector<char> body(KavraClientThread::MAX_PDU_LENGTH);
    SequenceCheck check;
    EndWatch end(control);
    for (;;) {
        unsigned int size = 0;
        const int got =
            client.ReceivePdu(body.data(), static_cast<unsigned int>(body.size()), &size, 50);
        if (got == KavraClientThread::RECEIVE_OK && size >= kSeqBytes) {
            check.seen(getSeq(body.data()));
        }
        if (end.done(check, got != KavraClientThread::RECEIVE_OK)) {
            break;
        }
    }
    const auto stats = client.GetStats();
    client.Destroy();
    ReceiverReport report = check.finish(end.sent());
    report.queueDrops = stats.receiveDropsQueueFull;
    return report;
}

// One thread that reads the connection and parses its frames, over TLS
// (the engine's server mode) or plain.
ReceiverReport receiveByReader(const Endpoint& ep, int control, bool tls) {
    char cipher[sizeof ReceiverReport::cipher] = {};
    const os::SocketHandle fd = os::Accept(ep.listener, true, true, nullptr);
    if (fd == os::INVALID_SOCKET_HANDLE) {
        die("accept");
    }
    std::unique_ptr<os::TlsStream> stream;
    if (tls) {
#ifdef KAVRA_BENCH_HAVE_TLS
        os::TlsSettings settings;
        settings.server = true;
        settings.certFile = g_certificate->CertFile();
        settings.keyFile = g_certificate->KeyFile();
        int error = 0;
        std::string detail;
        std::unique_ptr<os::TlsEngine> engine = os::TlsEngine::Create(settings, error, detail);
        if (!engine) {
            std::fprintf(stderr, "bench: TLS server: %s\n", detail.c_str());
            std::_Exit(2);
        }
        stream = std::make_unique<os::TlsStream>(fd, std::move(engine));
        if (stream->Handshake(Clock::now() + std::chrono::seconds(10), nullptr) != 0) {
            std::fprintf(stderr, "bench: TLS handshake: %s\n", stream->Detail().c_str());
            std::_Exit(2);
        }
        std::snprintf(cipher, sizeof cipher, "%s over %s", stream->CipherName().c_str(),
                      stream->ProtocolName().c_str());
#endif
    }
    std::vector<char> in(1u << 20);
    std::size_t have = 0;
    std::size_t at = 0;
    SequenceCheck check;
    EndWatch end(control);
    bool closed = false;
    for (;;) {
        bool idle = true;
        const bool buffered = stream && stream->HasBufferedInput();
        if (!closed && (buffered || readable(static_cast<int>(fd), 50))) {
            if (at > 0) {
                std::memmove(in.data(), in.data() + at, have - at);
                have -= at;
                at = 0;
            }
            int error = 0;
            const long r = stream ? stream->RecvSome(in.data() + have, in.size() - have, error)
                                  : os::RecvSome(fd, in.data() + have, in.size() - have, error);
            if (r > 0) {
                have += static_cast<std::size_t>(r);
                idle = false;
            } else if (r == 0 || error != EAGAIN) {
                closed = true;
            }
        }
        at = checkFrames(in, have, at, check);
        if (end.done(check, idle)) {
            break;
        }
    }
    stream.reset();
    os::CloseSocket(fd);
    ReceiverReport report = check.finish(end.sent());
    std::memcpy(report.cipher, cipher, sizeof cipher);
    return report;
}

std::uint64_t sendRaw(const Endpoint& ep, int size, double seconds, bool batched) {
    const int fd = connectLoopback(ep.port);
    const std::size_t frame = kHeaderLength + static_cast<std::size_t>(size);
    const std::size_t perWrite = batched ? std::max<std::size_t>(1, (256u << 10) / frame) : 1;
    std::vector<char> out(frame * perWrite);
    for (std::size_t i = 0; i < perWrite; ++i) {
        writeFrameHeader(out.data() + i * frame, static_cast<std::uint32_t>(size));
    }
    std::uint64_t seq = 0;
    const auto start = Clock::now();
    std::uint64_t nextCheck = 0;
    for (;;) {
        if (seq >= nextCheck) {
            if (secondsSince(start) >= seconds) {
                break;
            }
            nextCheck = seq + 64;
        }
        for (std::size_t i = 0; i < perWrite; ++i) {
            putSeq(out.data() + i * frame + kHeaderLength, seq++);
        }
        writeAll(fd, out.data(), out.size());
    }
    // The receiver never writes, so closing cannot reset the connection and
    // lose bytes still in flight.
    ::close(fd);
    return seq;
}

ReceiverReport receiveRaw(const Endpoint& ep, int control) {
    const int fd = acceptOne(ep.listener);
    std::vector<char> in(1u << 20);
    std::size_t have = 0;
    std::size_t at = 0;
    SequenceCheck check;
    EndWatch end(control);
    bool closed = false;
    for (;;) {
        bool idle = true;
        if (!closed) {
            if (readable(fd, 50)) {
                if (at > 0) {
                    std::memmove(in.data(), in.data() + at, have - at);
                    have -= at;
                    at = 0;
                }
                const ssize_t r = ::read(fd, in.data() + have, in.size() - have);
                if (r <= 0) {
                    closed = true;
                } else {
                    have += static_cast<std::size_t>(r);
                    idle = false;
                }
            }
        }
        at = checkFrames(in, have, at, check);
        if (end.done(check, idle)) {
            break;
        }
    }
    ::close(fd);
    return check.finish(end.sent());
}

#ifdef KAVRA_BENCH_HAVE_ZMQ
std::uint64_t sendZmq(const Endpoint& ep, int size, double seconds) {
    void* ctx = zmq_ctx_new();
    void* s = zmq_socket(ctx, ZMQ_PUSH);
    zmq_connect(s, tcpUrl(ep.port).c_str());
    std::vector<char> body(static_cast<std::size_t>(size), 'z');
    std::uint64_t seq = 0;
    const auto start = Clock::now();
    for (;;) {
        if ((seq & 63) == 0 && secondsSince(start) >= seconds) {
            break;
        }
        putSeq(body.data(), seq++);
        zmq_send(s, body.data(), body.size(), 0);
    }
    zmq_close(s);
    zmq_ctx_term(ctx); // lingers until everything queued has left
    return seq;
}

ReceiverReport receiveZmq(const Endpoint& ep, int control) {
    void* ctx = zmq_ctx_new();
    void* s = zmq_socket(ctx, ZMQ_PULL);
    int timeout = 50;
    zmq_setsockopt(s, ZMQ_RCVTIMEO, &timeout, sizeof timeout);
    if (zmq_bind(s, tcpUrl(ep.port).c_str()) != 0) {
        die("zmq_bind");
    }
    std::vector<char> body(KavraClientThread::MAX_PDU_LENGTH);
    SequenceCheck check;
    EndWatch end(control);
    for (;;) {
        const int got = zmq_recv(s, body.data(), body.size(), 0);
        if (got >= static_cast<int>(kSeqBytes)) {
            check.seen(getSeq(body.data()));
        }
        if (end.done(check, got < 0)) {
            break;
        }
    }
    zmq_close(s);
    zmq_ctx_term(ctx);
    return check.finish(end.sent());
}
#endif

#ifdef KAVRA_BENCH_HAVE_NNG
std::uint64_t sendNng(const Endpoint& ep, int size, double seconds) {
    nng_socket s;
    nng_push0_open(&s);
    nng_dial(s, tcpUrl(ep.port).c_str(), nullptr, NNG_FLAG_NONBLOCK);
    std::vector<char> body(static_cast<std::size_t>(size), 'n');
    std::uint64_t seq = 0;
    const auto start = Clock::now();
    for (;;) {
        if ((seq & 63) == 0 && secondsSince(start) >= seconds) {
            break;
        }
        putSeq(body.data(), seq);
        if (nng_send(s, body.data(), body.size(), 0) == 0) {
            ++seq;
        }
    }
    // Closing discards what is still queued; give it time to leave first.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    nng_close(s);
    return seq;
}

ReceiverReport receiveNng(const Endpoint& ep, int control) {
    nng_socket s;
    nng_pull0_open(&s);
    nng_socket_set_ms(s, NNG_OPT_RECVTIMEO, 50);
    if (nng_listen(s, tcpUrl(ep.port).c_str(), nullptr, 0) != 0) {
        die("nng_listen");
    }
    std::vector<char> body(KavraClientThread::MAX_PDU_LENGTH);
    SequenceCheck check;
    EndWatch end(control);
    for (;;) {
        std::size_t got = body.size();
        const int rv = nng_recv(s, body.data(), &got, 0);
        if (rv == 0 && got >= kSeqBytes) {
            check.seen(getSeq(body.data()));
        }
        if (end.done(check, rv != 0)) {
            break;
        }
    }
    nng_close(s);
    return check.finish(end.sent());
}
#endif

// ---- running one measurement in two processes ---------------------------

template <typename Body> pid_t spawn(Body&& body) {
    const pid_t pid = ::fork();
    if (pid < 0) {
        die("fork");
    }
    if (pid == 0) {
        body();
        std::_Exit(0);
    }
    return pid;
}

void reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench: child %d failed (status %d)\n", pid, status);
        std::exit(2);
    }
}

struct Throughput {
    double msgsPerSec = 0;
    double mbPerSec = 0;
    std::uint64_t sent = 0;
    std::uint64_t delivered = 0;
    std::uint64_t lost = 0;
    std::uint64_t queueDrops = 0;
    std::uint64_t reordered = 0;
    std::uint64_t sendDropped = 0;
    long senderRssKb = 0;
    double longestWait = 0;
    // Both processes' CPU time per delivered message: on two cores the
    // threads of both ends compete, so this is what the rate is bought with.
    double cpuUsPerMsg = 0;
    std::string cipher;
};

Throughput measureThroughput(Transport t, int size, double seconds) {
    Endpoint ep;
    if (t == Transport::Zmq || t == Transport::Nng) {
        ep.port = freePort();
    } else {
        ep.listener = listenLoopback(ep.port);
    }
    int control[2];
    int reportR[2];
    int reportS[2];
    if (::pipe(control) != 0 || ::pipe(reportR) != 0 || ::pipe(reportS) != 0) {
        die("pipe");
    }
    const pid_t receiver = spawn([&] {
        ReceiverReport r;
        switch (t) {
        case Transport::Kavra:
        case Transport::KavraPaced:
            r = receiveKavra(ep, control[0], kavra::ReceiveOverflow::Drop);
            break;
        case Transport::KavraLossless:
            r = receiveKavra(ep, control[0], kavra::ReceiveOverflow::Block);
            break;
        case Transport::KavraTls:
        case Transport::KavraToReader:
            r = receiveByReader(ep, control[0], t == Transport::KavraTls);
            break;
        case Transport::RawPerFrame:
        case Transport::RawBatched:
            r = receiveRaw(ep, control[0]);
            break;
        case Transport::Zmq:
#ifdef KAVRA_BENCH_HAVE_ZMQ
            r = receiveZmq(ep, control[0]);
#endif
            break;
        case Transport::Nng:
#ifdef KAVRA_BENCH_HAVE_NNG
            r = receiveNng(ep, control[0]);
#endif
            break;
        }
        r.cpuSeconds = cpuSeconds();
        writeAll(reportR[1], &r, sizeof r);
    });
    if (t == Transport::Zmq || t == Transport::Nng) {
        // The receiver binds by URL; give it a moment so the first dial lands.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const pid_t sender = spawn([&] {
        SenderReport s;
        switch (t) {
        case Transport::Kavra:
        case Transport::KavraLossless:
        case Transport::KavraToReader:
            s = sendKavra(ep, size, seconds, 0, false);
            break;
        case Transport::KavraTls:
            s = sendKavra(ep, size, seconds, 0, true);
            break;
        case Transport::KavraPaced:
            s = sendKavra(ep, size, seconds, g_pacedRate, false);
            break;
        case Transport::RawPerFrame:
            s.sent = sendRaw(ep, size, seconds, false);
            break;
        case Transport::RawBatched:
            s.sent = sendRaw(ep, size, seconds, true);
            break;
        case Transport::Zmq:
#ifdef KAVRA_BENCH_HAVE_ZMQ
            s.sent = sendZmq(ep, size, seconds);
#endif
            break;
        case Transport::Nng:
#ifdef KAVRA_BENCH_HAVE_NNG
            s.sent = sendNng(ep, size, seconds);
#endif
            break;
        }
        s.peakRssKb = peakRssKb();
        s.cpuSeconds = cpuSeconds();
        writeAll(reportS[1], &s, sizeof s);
    });
    SenderReport s;
    if (!readAll(reportS[0], &s, sizeof s)) {
        die("sender report");
    }
    writeAll(control[1], &s.sent, sizeof s.sent);
    ReceiverReport r;
    if (!readAll(reportR[0], &r, sizeof r)) {
        die("receiver report");
    }
    reap(sender);
    reap(receiver);
    for (int fd : {control[0], control[1], reportR[0], reportR[1], reportS[0], reportS[1]}) {
        ::close(fd);
    }
    if (ep.listener >= 0) {
        ::close(ep.listener);
    }
    Throughput out;
    out.sent = s.sent;
    out.delivered = r.delivered;
    out.lost = r.gaps;
    out.queueDrops = r.queueDrops;
    out.reordered = r.reordered;
    out.sendDropped = s.sendDropped;
    out.senderRssKb = s.peakRssKb;
    out.longestWait = r.longestWait;
    out.cipher.assign(r.cipher, strnlen(r.cipher, sizeof r.cipher));
    if (r.delivered > 0) {
        out.cpuUsPerMsg = (s.cpuSeconds + r.cpuSeconds) * 1e6 / static_cast<double>(r.delivered);
    }
    if (r.seconds > 0) {
        out.msgsPerSec = static_cast<double>(r.delivered) / r.seconds;
        out.mbPerSec = out.msgsPerSec * size / 1e6;
    }
    return out;
}

// ---- latency --------------------------------------------------------------

struct LatencyReport {
    double p50us = 0;
    double p99us = 0;
};

constexpr int kPingSize = 64;

template <typename RoundTrip> LatencyReport timeRoundTrips(int count, RoundTrip&& roundTrip) {
    for (int i = 0; i < count / 10 + 10; ++i) {
        roundTrip(static_cast<std::uint64_t>(i));
    }
    std::vector<double> us(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        roundTrip(static_cast<std::uint64_t>(i));
        us[static_cast<std::size_t>(i)] =
            std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    }
    std::sort(us.begin(), us.end());
    LatencyReport r;
    r.p50us = us[us.size() / 2];
    r.p99us = us[us.size() * 99 / 100];
    return r;
}

void expectSeq(const char* body, std::uint64_t seq) {
    if (getSeq(body) != seq) {
        std::fprintf(stderr, "bench: ping-pong out of step\n");
        std::_Exit(3);
    }
}

LatencyReport pingKavra(const Endpoint& ep, int count) {
    CSocket* socket = connectKavra(ep, false);
    KeepingClient client;
    client.SetSocket(socket, 1, nullptr);
    client.Create();
    std::vector<char> body(KavraClientThread::MAX_PDU_LENGTH, 'p');
    const auto r = timeRoundTrips(count, [&](std::uint64_t seq) {
        putSeq(body.data(), seq);
        client.SendPdu(body.data(), kPingSize);
        unsigned int size = 0;
        if (client.ReceivePdu(body.data(), static_cast<unsigned int>(body.size()), &size, 3000) !=
            KavraClientThread::RECEIVE_OK) {
            std::fprintf(stderr, "bench: kavra pong lost\n");
            std::_Exit(3);
        }
        expectSeq(body.data(), seq);
    });
    client.Destroy();
    return r;
}

void pongKavra(const Endpoint& ep, int count) {
    KeepingClient client;
    client.StartOnAccepted(ep.listener);
    std::vector<char> body(KavraClientThread::MAX_PDU_LENGTH);
    for (int i = 0; i < count + count / 10 + 10; ++i) {
        unsigned int size = 0;
        if (client.ReceivePdu(body.data(), static_cast<unsigned int>(body.size()), &size, 3000) !=
            KavraClientThread::RECEIVE_OK) {
            break;
        }
        client.SendPdu(body.data(), size);
    }
    client.Destroy();
}

void rawRoundTrip(int fd, char* frame, std::size_t length) {
    writeAll(fd, frame, length);
    if (!readAll(fd, frame, length)) {
        die("raw pong");
    }
}

LatencyReport pingRaw(const Endpoint& ep, int count) {
    const int fd = connectLoopback(ep.port);
    char frame[kHeaderLength + kPingSize] = {};
    writeFrameHeader(frame, kPingSize);
    const auto r = timeRoundTrips(count, [&](std::uint64_t seq) {
        putSeq(frame + kHeaderLength, seq);
        rawRoundTrip(fd, frame, sizeof frame);
        expectSeq(frame + kHeaderLength, seq);
    });
    ::close(fd);
    return r;
}

void pongRaw(const Endpoint& ep) {
    const int fd = acceptOne(ep.listener);
    char frame[kHeaderLength + kPingSize];
    while (readAll(fd, frame, sizeof frame)) {
        writeAll(fd, frame, sizeof frame);
    }
    ::close(fd);
}

#ifdef KAVRA_BENCH_HAVE_ZMQ
LatencyReport pingZmq(const Endpoint& ep, int count) {
    void* ctx = zmq_ctx_new();
    void* s = zmq_socket(ctx, ZMQ_REQ);
    zmq_connect(s, tcpUrl(ep.port).c_str());
    char body[kPingSize] = {};
    const auto r = timeRoundTrips(count, [&](std::uint64_t seq) {
        putSeq(body, seq);
        zmq_send(s, body, sizeof body, 0);
        zmq_recv(s, body, sizeof body, 0);
        expectSeq(body, seq);
    });
    int linger = 0;
    zmq_setsockopt(s, ZMQ_LINGER, &linger, sizeof linger);
    zmq_close(s);
    zmq_ctx_term(ctx);
    return r;
}

void pongZmq(const Endpoint& ep, int count) {
    void* ctx = zmq_ctx_new();
    void* s = zmq_socket(ctx, ZMQ_REP);
    if (zmq_bind(s, tcpUrl(ep.port).c_str()) != 0) {
        die("zmq_bind");
    }
    char body[kPingSize];
    for (int i = 0; i < count + count / 10 + 10; ++i) {
        zmq_recv(s, body, sizeof body, 0);
        zmq_send(s, body, sizeof body, 0);
    }
    zmq_close(s);
    zmq_ctx_term(ctx);
}
#endif

LatencyReport measureLatency(Transport t, int count, bool pinned) {
    Endpoint ep;
    if (t == Transport::Zmq) {
        ep.port = freePort();
    } else {
        ep.listener = listenLoopback(ep.port);
    }
    int report[2];
    if (::pipe(report) != 0) {
        die("pipe");
    }
    const pid_t ponger = spawn([&] {
        if (pinned) {
            pinToCpu0();
        }
        switch (t) {
        case Transport::Kavra:
            pongKavra(ep, count);
            break;
        case Transport::RawPerFrame:
            pongRaw(ep);
            break;
        case Transport::Zmq:
#ifdef KAVRA_BENCH_HAVE_ZMQ
            pongZmq(ep, count);
#endif
            break;
        default:
            break;
        }
    });
    if (t == Transport::Zmq) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const pid_t pinger = spawn([&] {
        if (pinned) {
            pinToCpu0();
        }
        LatencyReport r;
        switch (t) {
        case Transport::Kavra:
            r = pingKavra(ep, count);
            break;
        case Transport::RawPerFrame:
            r = pingRaw(ep, count);
            break;
        case Transport::Zmq:
#ifdef KAVRA_BENCH_HAVE_ZMQ
            r = pingZmq(ep, count);
#endif
            break;
        default:
            break;
        }
        writeAll(report[1], &r, sizeof r);
    });
    LatencyReport r;
    if (!readAll(report[0], &r, sizeof r)) {
        die("latency report");
    }
    reap(pinger);
    reap(ponger);
    ::close(report[0]);
    ::close(report[1]);
    if (ep.listener >= 0) {
        ::close(ep.listener);
    }
    return r;
}

// ---- the table --------------------------------------------------------------

double median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Cell {
    std::vector<double> msgs;
    // The TLS row against plain kavra and against the same reader without TLS.
    std::vector<double> vsKavra;
    std::vector<double> vsToReader;
    std::vector<double> vsZmq;
    std::vector<double> vsBatched;
    std::vector<double> vsPerFrame;
    std::uint64_t sent = 0;
    std::uint64_t lost = 0;
    std::uint64_t queueDrops = 0;
    std::uint64_t reordered = 0;
    long maxSenderRssKb = 0;
    std::vector<double> cpuUsPerMsg;
    std::vector<double> longestWaitMs;
    std::string cipher;
};

// The cipher's own speed on this machine, to set beside the TLS row: the
// `openssl speed -evp` name for a suite (TLS 1.3 or 1.2 spelling), or "".
std::string speedName(const std::string& suite) {
    const auto has = [&](const char* part) { return suite.find(part) != std::string::npos; };
    if (has("AES_256_GCM") || has("AES256-GCM")) {
        return "aes-256-gcm";
    }
    if (has("AES_128_GCM") || has("AES128-GCM")) {
        return "aes-128-gcm";
    }
    if (has("CHACHA20")) {
        return "chacha20-poly1305";
    }
    return "";
}

// One quick `openssl speed` run (1 s, 16 KiB blocks: the size of a full
// record): MB/s on one core, or 0 when the program is missing or says
// nothing that parses.
double cipherSpeedMBps(const std::string& evpName) {
    const std::string command =
        "openssl speed -evp " + evpName + " -seconds 1 -bytes 16384 2>/dev/null";
    FILE* out = ::popen(command.c_str(), "r");
    if (out == nullptr) {
        return 0;
    }
    // The last line reads "AES-256-GCM  2663677.95k": thousands of bytes per second.
    double kbPerSec = 0;
    char line[256];
    while (std::fgets(line, sizeof line, out) != nullptr) {
        const char* value = std::strrchr(line, ' ');
        double parsed = 0;
        if (value != nullptr && std::sscanf(value, " %lfk", &parsed) == 1) {
            kbPerSec = parsed;
        }
    }
    ::pclose(out);
    return kbPerSec / 1e3;
}

// The lossless row is worth nothing if it lost anything: every message the
// sender handed over must have reached the consumer, once and in order.
void requireLossless(const Throughput& m, int size) {
    if (m.delivered == m.sent && m.lost == 0 && m.reordered == 0 && m.queueDrops == 0 &&
        m.sendDropped == 0) {
        return;
    }
    std::fprintf(stderr,
                 "bench: kavra lossless, %d B: delivered %" PRIu64 " of %" PRIu64 " sent (%" PRIu64
                 " missing, %" PRIu64 " out of order, %" PRIu64
                 " dropped at the full receive queue, %" PRIu64 " dropped by the sender)\n",
                 size, m.delivered, m.sent, m.lost, m.reordered, m.queueDrops, m.sendDropped);
    std::exit(3);
}

std::string ratioText(const std::vector<double>& v) {
    if (v.empty()) {
        return "-";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", median(v));
    return text;
}

// "0.41 to 0.62": the smallest and largest of the per-round ratios.
// "; openssl speed -evp aes-256-gcm: 2664 MB/s on one core" for a suite, measured
// once per run after the rounds; "" when it cannot be had.
std::string cipherSpeed(const std::string& suite) {
    static std::map<std::string, double> measured;
    const std::string name = speedName(suite);
    if (name.empty()) {
        return "";
    }
    if (measured.count(name) == 0) {
        measured[name] = cipherSpeedMBps(name);
    }
    if (measured[name] <= 0) {
        return "";
    }
    char text[128];
    std::snprintf(text, sizeof text, "; openssl speed -evp %s: %.0f MB/s on one core",
                  name.c_str(), measured[name]);
    return text;
}

std::string rangeText(const std::vector<double>& v) {
    if (v.empty()) {
        return "-";
    }
    char text[48];
    std::snprintf(text, sizeof text, "%.2f to %.2f", *std::min_element(v.begin(), v.end()),
                  *std::max_element(v.begin(), v.end()));
    return text;
}

struct LatencyRow {
    const char* name;
    double p50 = 0;
    double p99 = 0;
    double p50Pinned = 0;
    double p99Pinned = 0;
};

// The numbers behind bench/plot.gp, tab-separated (names hold spaces): block
// 0 has the delivered msg/s per body size, one column per transport in a
// fixed order so that each keeps its colour ("-" where it did not run; the
// paced row is left out, its rate is set, not measured); block 1, when the
// round trip was measured, has its percentiles, one row per transport.
void writePlotData(const std::string& path, const std::vector<int>& sizes,
                   const std::vector<Transport>& ran,
                   const std::map<std::pair<int, Transport>, Cell>& cells,
                   const std::vector<LatencyRow>& latency) {
    std::FILE* out = std::fopen(path.c_str(), "w");
    if (out == nullptr) {
        die(path.c_str());
    }
    const Transport columns[] = {Transport::Kavra, Transport::KavraLossless, Transport::Zmq,
                                 Transport::Nng,   Transport::RawPerFrame,   Transport::RawBatched};
    std::fprintf(out, "size");
    for (Transport t : columns) {
        std::fprintf(out, "\t%s", transportName(t));
    }
    std::fprintf(out, "\n");
    for (int size : sizes) {
        std::fprintf(out, "%d", size);
        for (Transport t : columns) {
            if (std::find(ran.begin(), ran.end(), t) == ran.end()) {
                std::fprintf(out, "\t-");
            } else {
                std::fprintf(out, "\t%.0f", median(cells.at({size, t}).msgs));
            }
        }
        std::fprintf(out, "\n");
    }
    if (!latency.empty()) {
        std::fprintf(
            out, "\n\ntransport\tp50\tp99\tp50, both ends on one CPU\tp99, both ends on one CPU\n");
    }
    for (const LatencyRow& row : latency) {
        std::fprintf(out, "%s\t%.1f\t%.1f\t%.1f\t%.1f\n", row.name, row.p50, row.p99, row.p50Pinned,
                     row.p99Pinned);
    }
    if (std::fclose(out) != 0) {
        die(path.c_str());
    }
}

void usage() {
    std::fprintf(stderr,
                 "usage: kavra_bench_e2e [--quick] [--rounds N] [--seconds S] [--sizes a,b,c]\n"
                 "                       [--only kavra,lossless,paced,tls,reader,raw,batched,\n"
                 "                               zmq,nng]\n"
                 "                       [--no-latency]\n"
                 "                       [--paced-rate MSGS_PER_S] [--plot-data FILE]\n");
}

} // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    int rounds = 5;
    double seconds = 1.0;
    int pings = 20000;
    bool latency = true;
    std::vector<int> sizes{64, 1024, 8812};
    std::string only;
    std::string plotData;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--quick") {
            rounds = 2;
            seconds = 0.3;
            pings = 3000;
        } else if (arg == "--rounds" && hasValue) {
            rounds = std::atoi(argv[++i]);
        } else if (arg == "--seconds" && hasValue) {
            seconds = std::atof(argv[++i]);
        } else if (arg == "--pings" && hasValue) {
            pings = std::atoi(argv[++i]);
        } else if (arg == "--paced-rate" && hasValue) {
            g_pacedRate = std::atof(argv[++i]);
        } else if (arg == "--plot-data" && hasValue) {
            plotData = argv[++i];
        } else if (arg == "--no-latency") {
            latency = false;
        } else if (arg == "--only" && hasValue) {
            only = argv[++i];
        } else if (arg == "--sizes" && hasValue) {
            sizes.clear();
            std::string list = argv[++i];
            for (std::size_t at = 0; at < list.size();) {
                const std::size_t comma = std::min(list.find(',', at), list.size());
                sizes.push_back(std::atoi(list.substr(at, comma - at).c_str()));
                at = comma + 1;
            }
        } else {
            usage();
            return 2;
        }
    }
    for (int s : sizes) {
        if (s < static_cast<int>(kSeqBytes) ||
            s > static_cast<int>(KavraClientThread::MAX_PDU_LENGTH)) {
            std::fprintf(stderr, "bench: sizes must lie in [8, 8812]\n");
            return 2;
        }
    }

    const std::map<std::string, Transport> byKey{{"kavra", Transport::Kavra},
                                                 {"lossless", Transport::KavraLossless},
                                                 {"paced", Transport::KavraPaced},
                                                 {"tls", Transport::KavraTls},
                                                 {"reader", Transport::KavraToReader},
                                                 {"raw", Transport::RawPerFrame},
                                                 {"batched", Transport::RawBatched},
                                                 {"zmq", Transport::Zmq},
                                                 {"nng", Transport::Nng}};
    std::vector<Transport> transports;
    for (const auto& [key, t] : byKey) {
        const bool available =
#ifndef KAVRA_BENCH_HAVE_ZMQ
            t != Transport::Zmq &&
#endif
#ifndef KAVRA_BENCH_HAVE_NNG
            t != Transport::Nng &&
#endif
#ifndef KAVRA_BENCH_HAVE_TLS
            t != Transport::KavraTls &&
#endif
            true;
        if (available && (only.empty() || only.find(key) != std::string::npos)) {
            transports.push_back(t);
        }
    }
    std::sort(transports.begin(), transports.end());
#ifdef KAVRA_BENCH_HAVE_TLS
    if (std::find(transports.begin(), transports.end(), Transport::KavraTls) != transports.end()) {
        g_certificate = std::make_unique<kavra::tool::SelfSignedCertificate>();
    }
#endif

    std::map<std::pair<int, Transport>, Cell> cells;
    for (int round = 1; round <= rounds; ++round) {
        for (int size : sizes) {
            std::map<Transport, Throughput> got;
            for (Transport t : transports) {
                got[t] = measureThroughput(t, size, seconds);
                std::fprintf(stderr, "round %d  %5d B  %-17s %12.0f msg/s  lost %" PRIu64 "\n",
                             round, size, transportName(t), got[t].msgsPerSec, got[t].lost);
                if (t == Transport::KavraLossless) {
                    requireLossless(got[t], size);
                }
            }
            for (Transport t : transports) {
                Cell& c = cells[{size, t}];
                const Throughput& m = got[t];
                c.msgs.push_back(m.msgsPerSec);
                for (const auto& [base, ratios] :
                     {std::pair{Transport::Kavra, &c.vsKavra},
                      std::pair{Transport::KavraToReader, &c.vsToReader}}) {
                    if (t == Transport::KavraTls && got.count(base) != 0 &&
                        got[base].msgsPerSec > 0) {
                        ratios->push_back(m.msgsPerSec / got[base].msgsPerSec);
                    }
                }
                if (got.count(Transport::Zmq) != 0 && got[Transport::Zmq].msgsPerSec > 0) {
                    c.vsZmq.push_back(m.msgsPerSec / got[Transport::Zmq].msgsPerSec);
                }
                if (got.count(Transport::RawBatched) != 0 &&
                    got[Transport::RawBatched].msgsPerSec > 0) {
                    c.vsBatched.push_back(m.msgsPerSec / got[Transport::RawBatched].msgsPerSec);
                }
                if (got.count(Transport::RawPerFrame) != 0 &&
                    got[Transport::RawPerFrame].msgsPerSec > 0) {
                    c.vsPerFrame.push_back(m.msgsPerSec / got[Transport::RawPerFrame].msgsPerSec);
                }
                c.sent += m.sent;
                c.lost += m.lost;
                c.queueDrops += m.queueDrops;
                c.reordered += m.reordered;
                c.maxSenderRssKb = std::max(c.maxSenderRssKb, m.senderRssKb);
                c.cpuUsPerMsg.push_back(m.cpuUsPerMsg);
                c.longestWaitMs.push_back(m.longestWait * 1e3);
                if (!m.cipher.empty()) {
                    c.cipher = m.cipher;
                }
            }
        }
    }

    std::printf("\nThroughput, %d interleaved round(s) of %.1f s; medians over rounds; ratios "
                "taken within each round\n",
                rounds, seconds);
    std::printf("%-6s %-17s %13s %9s %7s %7s %9s %12s %9s %7s %7s\n", "size", "transport", "msg/s",
                "MB/s", "/zmq", "/batch", "/rawframe", "lost/sent", "snd RSS", "CPU us", "gap ms");
    for (int size : sizes) {
        for (Transport t : transports) {
            const Cell& c = cells[{size, t}];
            const double msgs = median(c.msgs);
            char lost[48];
            std::snprintf(lost, sizeof lost, "%" PRIu64 "/%" PRIu64, c.lost, c.sent);
            std::printf("%-6d %-17s %13.0f %9.1f %7s %7s %9s %12s %7ldMB %7.2f %7.1f\n", size,
                        transportName(t), msgs, msgs * size / 1e6, ratioText(c.vsZmq).c_str(),
                        ratioText(c.vsBatched).c_str(), ratioText(c.vsPerFrame).c_str(), lost,
                        c.maxSenderRssKb / 1024, median(c.cpuUsPerMsg), median(c.longestWaitMs));
            if (t == Transport::KavraLossless) {
                std::printf("       (checked in every round: all sent messages delivered, in "
                            "order)\n");
            }
            if (t == Transport::KavraTls && !(c.vsKavra.empty() && c.vsToReader.empty())) {
                std::printf("       (%s of plain kavra, %s of kavra to reader; per round %s)\n",
                            ratioText(c.vsKavra).c_str(), ratioText(c.vsToReader).c_str(),
                            rangeText(c.vsKavra).c_str());
            }
            if (t == Transport::KavraTls && !c.cipher.empty()) {
                std::printf("       (cipher %s%s)\n", c.cipher.c_str(),
                            cipherSpeed(c.cipher).c_str());
            }
            if (c.queueDrops > 0 || c.reordered > 0) {
                std::printf("       (%" PRIu64 " dropped at the full receive queue, %" PRIu64
                            " out of order)\n",
                            c.queueDrops, c.reordered);
            }
        }
    }

    std::vector<LatencyRow> latencyRows;
    if (latency) {
        std::vector<Transport> lat;
        for (Transport t : {Transport::Kavra, Transport::RawPerFrame, Transport::Zmq}) {
            if (std::find(transports.begin(), transports.end(), t) != transports.end()) {
                lat.push_back(t);
            }
        }
        std::printf("\nRound trip, %d-byte body, %d pings per run, %d interleaved round(s); "
                    "medians over rounds (us)\n",
                    kPingSize, pings, rounds);
        std::printf("%-17s %10s %10s %10s %10s\n", "transport", "p50", "p99", "p50 pin1",
                    "p99 pin1");
        std::map<std::pair<Transport, bool>, std::pair<std::vector<double>, std::vector<double>>>
            samples;
        for (int round = 1; round <= rounds; ++round) {
            for (bool pinned : {false, true}) {
                for (Transport t : lat) {
                    const LatencyReport r = measureLatency(t, pings, pinned);
                    samples[{t, pinned}].first.push_back(r.p50us);
                    samples[{t, pinned}].second.push_back(r.p99us);
                }
            }
        }
        for (Transport t : lat) {
            latencyRows.push_back(
                {t == Transport::Zmq ? "libzmq req/rep" : transportName(t),
                 median(samples[{t, false}].first), median(samples[{t, false}].second),
                 median(samples[{t, true}].first), median(samples[{t, true}].second)});
            const LatencyRow& row = latencyRows.back();
            std::printf("%-17s %10.1f %10.1f %10.1f %10.1f\n", row.name, row.p50, row.p99,
                        row.p50Pinned, row.p99Pinned);
        }
    }
    if (!plotData.empty()) {
        writePlotData(plotData, sizes, transports, cells, latencyRows);
    }
    return 0;
}
