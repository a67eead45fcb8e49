// Many clients in one process against one `kavra serve` child over loopback:
// what the connections cost at rest, and how they come back when the server
// dies and returns.
//
// For each backoff mode (jitter on, then off) the run starts a server,
// connects the clients (each a KavraClientThread with its own worker),
// measures resident memory and idle CPU, then kills the server with SIGKILL,
// starts a new one on the same port about a second later and waits until
// every client is connected again. The clients record their connection
// events, with timestamps, into one preallocated array, from which the
// reconnection attempts are counted per 100 ms after the kill.
//
// Everything stays on 127.0.0.1, every wait is bounded, and every server the
// program starts is stopped before it exits. Linux only: it reads /proc and
// relies on glibc's posix_spawn extensions.
#include <kavra/KavraClientThread.h>
#include <kavra/base/CServerStatus.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned int kInitialDelayMs = 100;
constexpr unsigned int kMaximumDelayMs = 2000;
constexpr auto kRestartAfter = std::chrono::milliseconds(1000);
constexpr auto kIdleWindow = std::chrono::seconds(3);
constexpr auto kConnectDeadline = std::chrono::seconds(30);
constexpr long kBucketMs = 100;
constexpr long kFineBucketMs = 10;

// The server that die() must not leave behind.
std::atomic<pid_t> g_serverPid{-1};

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "scale: %s\n", what.c_str());
    const pid_t pid = g_serverPid.load();
    if (pid > 0) {
        ::kill(pid, SIGKILL);
    }
    std::_Exit(2);
}

double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

long rssKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

struct Usage {
    double cpuMs = 0;
    long contextSwitches = 0;
};

Usage processUsage() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
    };
    return {ms(usage.ru_utime) + ms(usage.ru_stime), usage.ru_nvcsw + usage.ru_nivcsw};
}

// User and system time of another process, from /proc (clock-tick
// resolution, so only good over seconds).
double otherCpuMs(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int index = 0; fields >> field && index <= 12; ++index) {
        // Fields 14 and 15 of the file: utime and stime.
        if (index == 11 || index == 12) {
            ticks += std::atof(field.c_str());
        }
    }
    return ticks * 1e3 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The kernel's count of connections refused at a full accept queue, for the
// whole network namespace (other programs' connections included).
long listenOverflows() {
    std::ifstream netstat("/proc/net/netstat");
    std::string names;
    std::string values;
    while (std::getline(netstat, names) && std::getline(netstat, values)) {
        if (names.rfind("TcpExt:", 0) != 0) {
            continue;
        }
        std::istringstream n(names);
        std::istringstream v(values);
        std::string name;
        std::string value;
        while (n >> name && v >> value) {
            if (name == "ListenOverflows") {
                return std::atol(value.c_str());
            }
        }
    }
    return -1;
}

void raiseFileLimit(rlim_t needed) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur >= needed) {
        return;
    }
    limit.rlim_cur = needed;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed) {
        limit.rlim_max = needed;
    }
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        die("cannot raise the open-file limit to " + std::to_string(needed) + ": " +
            std::strerror(errno));
    }
}

enum class EventKind : std::uint8_t { Close, Reconnect, Connect };

struct Event {
    std::int64_t atNs = 0;
    std::uint32_t client = 0;
    EventKind kind = EventKind::Close;
    std::int32_t value = 0;
};

// Shared by all workers: a slot is claimed with one fetch_add and marked
// written with one release store, so recording costs a clock read and two
// atomic operations, never a lock that 1000 threads coming back at once
// would queue on. Each recorder serves one kill-and-restart.
class Recorder {
public:
    explicit Recorder(std::size_t capacity) : m_events(capacity), m_written(capacity) {}

    void Start(Clock::time_point origin) {
        m_origin = origin;
        m_on.store(true);
    }
    void Stop() { m_on.store(false); }

    void Record(std::uint32_t client, EventKind kind, int value) {
        if (!m_on.load(std::memory_order_acquire)) {
            return;
        }
        const std::size_t slot = m_claimed.fetch_add(1, std::memory_order_relaxed);
        if (slot < m_events.size()) {
            m_events[slot] = {std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  Clock::now() - m_origin)
                                  .count(),
                              client, kind, value};
            m_written[slot].store(true, std::memory_order_release);
        }
    }

    // The events claimed so far, once each is written.
    std::vector<Event> Snapshot() const {
        const std::size_t count = std::min(m_claimed.load(), m_events.size());
        for (std::size_t slot = 0; slot < count; ++slot) {
            while (!m_written[slot].load(std::memory_order_acquire)) {
                std::this_thread::yield();
            }
        }
        return {m_events.begin(), m_events.begin() + static_cast<std::ptrdiff_t>(count)};
    }
    std::size_t Lost() const {
        const std::size_t claimed = m_claimed.load();
        return claimed > m_events.size() ? claimed - m_events.size() : 0;
    }

private:
    std::vector<Event> m_events;
    std::vector<std::atomic<bool>> m_written;
    std::atomic<std::size_t> m_claimed{0};
    std::atomic<bool> m_on{false};
    Clock::time_point m_origin{};
};

class ScaleClient final : public KavraClientThread {
public:
    ScaleClient(std::uint32_t id, Recorder& recorder, std::atomic<int>& connected)
        : m_id(id), m_recorder(recorder), m_connected(connected) {}
    ScaleClient(const ScaleClient&) = delete;
    ScaleClient& operator=(const ScaleClient&) = delete;
    ~ScaleClient() override { Destroy(); }

protected:
    void OnSocketConnect(int error) override {
        m_recorder.Record(m_id, EventKind::Connect, error);
        KavraClientThread::OnSocketConnect(error);
        if (error == 0 && !m_up) {
            m_up = true;
            m_connected.fetch_add(1);
        }
    }
    void OnSocketClose(int error) override {
        m_recorder.Record(m_id, EventKind::Close, error);
        if (m_up) {
            m_up = false;
            m_connected.fetch_sub(1);
        }
        KavraClientThread::OnSocketClose(error);
    }
    void OnSocketReconnect(int attempt) override {
        m_recorder.Record(m_id, EventKind::Reconnect, attempt);
        KavraClientThread::OnSocketReconnect(attempt);
    }

private:
    const std::uint32_t m_id;
    Recorder& m_recorder;
    std::atomic<int>& m_connected;
    // Worker thread only.
    bool m_up = false;
};

// One `kavra serve` child. Its standard output comes through a pipe that a
// thread of ours drains (one line per connection would otherwise fill the
// pipe and stall the server) and reads the listening port from.
class Server {
public:
    Server(const std::string& program, unsigned short port) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) {
            die(std::string("pipe: ") + std::strerror(errno));
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
        // Sockets and eventfds of the clients are close-on-exec already;
        // this keeps the server's descriptor count its own whatever else is
        // open.
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
        const std::string listen = "127.0.0.1:" + std::to_string(port);
        std::vector<std::string> args{program, "serve", "--listen", listen};
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        m_startedAt = Clock::now();
        const int spawned =
            ::posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(ends[1]);
        if (spawned != 0) {
            ::close(ends[0]);
            die("cannot start " + program + ": " + std::strerror(spawned));
        }
        g_serverPid.store(m_pid);
        m_reader = std::thread([this, fd = ends[0]] { drain(fd); });
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_changed.wait_for(lock, std::chrono::seconds(10),
                                [this] { return m_port != 0 || m_ended; }) ||
            m_port == 0) {
            lock.unlock();
            die("the server on " + listen + " did not start listening");
        }
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    ~Server() { Stop(SIGINT); }

    // Ends the server with signal and waits for it (SIGKILL after 5 s).
    void Stop(int signal) {
        if (m_pid > 0) {
            ::kill(m_pid, signal);
            int status = 0;
            const auto deadline = Clock::now() + std::chrono::seconds(5);
            while (::waitpid(m_pid, &status, WNOHANG) == 0) {
                if (Clock::now() > deadline) {
                    ::kill(m_pid, SIGKILL);
                    ::waitpid(m_pid, &status, 0);
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            g_serverPid.store(-1);
            m_pid = -1;
        }
        if (m_reader.joinable()) {
            m_reader.join();
        }
    }

    pid_t Pid() const { return m_pid; }
    unsigned short Port() const { return m_port; }
    Clock::time_point StartedAt() const { return m_startedAt; }
    Clock::time_point ListeningAt() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_listeningAt;
    }
    int Accepted() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<int>(m_acceptedAt.size());
    }
    // When the server reported its last connection so far (as read from the
    // pipe, so a little late).
    Clock::time_point LastAcceptedAt() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_acceptedAt.empty() ? Clock::time_point{} : m_acceptedAt.back();
    }

private:
    void drain(int fd) {
        std::string pending;
        char chunk[4096];
        for (;;) {
            const ssize_t got = ::read(fd, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                break;
            }
            pending.append(chunk, static_cast<std::size_t>(got));
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                line(pending.substr(0, end));
                pending.erase(0, end + 1);
            }
        }
        ::close(fd);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ended = true;
        m_changed.notify_all();
    }

    void line(const std::string& text) {
        if (text.rfind("connection #", 0) == 0 && text.find(" from ") != std::string::npos) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_acceptedAt.push_back(Clock::now());
        } else if (text.rfind("listening on ", 0) == 0) {
            const std::size_t colon = text.rfind(':');
            const int port = std::atoi(text.c_str() + colon + 1);
            std::lock_guard<std::mutex> lock(m_mutex);
            m_listeningAt = Clock::now();
            m_port = static_cast<unsigned short>(port);
            m_changed.notify_all();
        }
    }

    pid_t m_pid = -1;
    std::thread m_reader;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    unsigned short m_port = 0;
    bool m_ended = false;
    Clock::time_point m_startedAt{};
    Clock::time_point m_listeningAt{};
    std::vector<Clock::time_point> m_acceptedAt;
};

// Polls until count reaches target or the deadline passes; returns when it
// was first seen there.
Clock::time_point waitForCount(const std::atomic<int>& count, int target,
                               Clock::time_point deadline) {
    while (count.load() < target && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return Clock::now();
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return -1;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[index];
}

struct Result {
    bool jitter = false;
    double setupS = 0;
    long rssBeforeKb = 0;
    long rssConnectedKb = 0;
    double idleCpuMs = 0;
    double idleWindowMs = 0;
    long idleSwitches = 0;
    double serverIdleCpuMs = 0;
    double closesSeenMs = 0;
    double restartMs = 0;
    double listeningMs = 0;
    double allBackMs = 0; // after the restart
    double p50Ms = 0;
    double p90Ms = 0;
    double p99Ms = 0;
    int reconnected = 0;
    std::size_t attempts = 0;
    std::size_t refused = 0;
    std::size_t otherFailures = 0;
    int maxAttempt = 0;
    std::size_t peakPerBucket = 0;
    std::size_t peakPerFineBucket = 0;
    long overflows = 0;
    int accepted = 0;
    double serverAllMs = 0; // after the restart
    double recoveryCpuMs = 0;
};

Result runPhase(const std::string& program, unsigned short& port, int clients, bool jitter) {
    Result result;
    result.jitter = jitter;
    std::printf("\n== jitter %s: %d clients, backoff %u..%u ms%s ==\n", jitter ? "on" : "off",
                clients, kInitialDelayMs, kMaximumDelayMs,
                jitter ? " (each delay drawn in [nominal/2, nominal])" : "");

    // Room for a few dozen events per client; touched now so that it is
    // resident before the baseline is read.
    Recorder recorder(static_cast<std::size_t>(clients) * 64);
    std::atomic<int> connected{0};
    auto server = std::make_unique<Server>(program, port);
    port = server->Port();

    CServerStatus status("127.0.0.1", port);
    status.SetBackoff(kInitialDelayMs, kMaximumDelayMs);
    status.SetJitter(jitter);

    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    result.rssBeforeKb = rssKb();

    const auto setupStart = Clock::now();
    std::vector<std::unique_ptr<ScaleClient>> pool;
    pool.reserve(static_cast<std::size_t>(clients));
    for (int i = 0; i < clients; ++i) {
        auto client =
            std::make_unique<ScaleClient>(static_cast<std::uint32_t>(i), recorder, connected);
        if (client->SetSocket(nullptr, 0, &status) != 1) {
            die("client " + std::to_string(i) + " could not connect");
        }
        if (client->Create() != 1) {
            die("client " + std::to_string(i) + ": no worker thread");
        }
        pool.push_back(std::move(client));
    }
    const auto allUp = waitForCount(connected, clients, Clock::now() + kConnectDeadline);
    if (connected.load() < clients) {
        die("only " + std::to_string(connected.load()) + " of " + std::to_string(clients) +
            " clients connected");
    }
    result.setupS = msBetween(setupStart, allUp) / 1e3;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    result.rssConnectedKb = rssKb();
    std::printf("setup: %d connected in %.2f s (server accepted %d)\n", clients, result.setupS,
                server->Accepted());
    std::printf("VmRSS: %.1f MiB before the clients, %.1f MiB with %d connected: %.1f KiB per "
                "connection\n",
                static_cast<double>(result.rssBeforeKb) / 1024.0,
                static_cast<double>(result.rssConnectedKb) / 1024.0, clients,
                static_cast<double>(result.rssConnectedKb - result.rssBeforeKb) /
                    static_cast<double>(clients));

    const Usage idleStart = processUsage();
    const double serverCpuStart = otherCpuMs(server->Pid());
    const auto idleFrom = Clock::now();
    std::this_thread::sleep_for(kIdleWindow);
    const Usage idleEnd = processUsage();
    result.idleWindowMs = msBetween(idleFrom, Clock::now());
    result.serverIdleCpuMs = otherCpuMs(server->Pid()) - serverCpuStart;
    result.idleCpuMs = idleEnd.cpuMs - idleStart.cpuMs;
    result.idleSwitches = idleEnd.contextSwitches - idleStart.contextSwitches;
    std::printf("idle %.1f s, all connected, nothing sent: process CPU %.0f ms (%.2f%% of one "
                "core), %ld context switches; server CPU %.0f ms\n",
                result.idleWindowMs / 1e3, result.idleCpuMs,
                100.0 * result.idleCpuMs / result.idleWindowMs, result.idleSwitches,
                result.serverIdleCpuMs);

    const long overflowsBefore = listenOverflows();
    const Usage killUsage = processUsage();
    const auto killAt = Clock::now();
    recorder.Start(killAt);
    server->Stop(SIGKILL);
    server.reset();
    std::this_thread::sleep_until(killAt + kRestartAfter);
    server = std::make_unique<Server>(program, port);
    result.restartMs = msBetween(killAt, server->StartedAt());
    result.listeningMs = msBetween(killAt, server->ListeningAt());
    const auto restartAt = server->StartedAt();
    const auto back = waitForCount(connected, clients, Clock::now() + kConnectDeadline);
    result.reconnected = connected.load();
    recorder.Stop();
    result.overflows = listenOverflows() - overflowsBefore;
    const Usage recoveryEnd = processUsage();
    // A client counts as connected once the server's SYN-ACK arrives. When
    // the server's accept queue is full it drops the client's last ACK: a
    // handshake it keeps state for is accepted after its SYN-ACK is sent
    // again, one answered with a SYN cookie (once more handshakes are pending
    // than the backlog allows) is forgotten, and that client holds a
    // connection the server never sees. Hence the bounded wait.
    const auto acceptDeadline = Clock::now() + std::chrono::seconds(5);
    while (server->Accepted() < result.reconnected && Clock::now() < acceptDeadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    result.accepted = server->Accepted();
    result.serverAllMs = msBetween(restartAt, server->LastAcceptedAt());
    result.recoveryCpuMs = recoveryEnd.cpuMs - killUsage.cpuMs;
    const std::vector<Event> events = recorder.Snapshot();

    const double restartOffsetMs = msBetween(killAt, restartAt);
    std::vector<std::size_t> attemptsPer(1, 0);
    std::vector<std::size_t> closesPer(1, 0);
    std::vector<std::size_t> refusedPer(1, 0);
    std::vector<std::size_t> otherPer(1, 0);
    std::vector<std::size_t> connectedPer(1, 0);
    std::vector<std::size_t> attemptsFine(1, 0);
    std::vector<double> backAfterRestart;
    double lastConnectMs = 0;
    for (const Event& event : events) {
        const double atMs = static_cast<double>(event.atNs) / 1e6;
        const auto bucket = static_cast<std::size_t>(std::max(0.0, atMs) / kBucketMs);
        const auto fine = static_cast<std::size_t>(std::max(0.0, atMs) / kFineBucketMs);
        for (auto* row : {&attemptsPer, &closesPer, &refusedPer, &otherPer, &connectedPer}) {
            row->resize(std::max(row->size(), bucket + 1), 0);
        }
        attemptsFine.resize(std::max(attemptsFine.size(), fine + 1), 0);
        switch (event.kind) {
        case EventKind::Close:
            ++closesPer[bucket];
            result.closesSeenMs = std::max(result.closesSeenMs, atMs);
            break;
        case EventKind::Reconnect:
            ++attemptsPer[bucket];
            ++attemptsFine[fine];
            ++result.attempts;
            result.maxAttempt = std::max(result.maxAttempt, static_cast<int>(event.value));
            break;
        case EventKind::Connect:
            if (event.value == 0) {
                ++connectedPer[bucket];
                backAfterRestart.push_back(atMs - restartOffsetMs);
                lastConnectMs = std::max(lastConnectMs, atMs);
            } else if (event.value == ECONNREFUSED) {
                ++refusedPer[bucket];
                ++result.refused;
            } else {
                ++otherPer[bucket];
                ++result.otherFailures;
            }
            break;
        }
    }
    result.allBackMs = result.reconnected == clients ? lastConnectMs - restartOffsetMs : -1;
    result.p50Ms = percentile(backAfterRestart, 0.50);
    result.p90Ms = percentile(backAfterRestart, 0.90);
    result.p99Ms = percentile(backAfterRestart, 0.99);
    result.peakPerBucket = *std::max_element(attemptsPer.begin(), attemptsPer.end());
    result.peakPerFineBucket = *std::max_element(attemptsFine.begin(), attemptsFine.end());

    std::printf("kill at 0 ms; every client saw the close by %.1f ms; restart at %.1f ms, "
                "listening at %.1f ms\n",
                result.closesSeenMs, result.restartMs, result.listeningMs);
    if (result.reconnected == clients) {
        std::printf("all %d connected again %.0f ms after the restart (seen by polling: %.0f "
                    "ms); per client p50 %.0f, p90 %.0f, p99 %.0f ms\n",
                    clients, result.allBackMs, msBetween(restartAt, back), result.p50Ms,
                    result.p90Ms, result.p99Ms);
    } else {
        std::printf("only %d of %d connected again within %lld s of the restart\n",
                    result.reconnected, clients,
                    static_cast<long long>(kConnectDeadline.count()));
    }
    std::printf("server accepted %d, the last %.0f ms after the restart; listen overflows "
                "(system-wide) %ld; process CPU from the kill until all were back %.0f ms\n",
                result.accepted, result.serverAllMs, result.overflows, result.recoveryCpuMs);
    if (result.accepted < result.reconnected) {
        std::printf("%d clients count as connected, but the server never accepted their "
                    "connection within 5 s\n",
                    result.reconnected - result.accepted);
    }
    std::printf("attempts %zu (%.2f per client, highest attempt number %d); failed: %zu "
                "refused, %zu other; peak %zu attempts in one 100 ms bucket, %zu in one 10 ms\n",
                result.attempts,
                static_cast<double>(result.attempts) / static_cast<double>(clients),
                result.maxAttempt, result.refused, result.otherFailures, result.peakPerBucket,
                result.peakPerFineBucket);
    if (recorder.Lost() > 0) {
        std::printf("(%zu events did not fit the record and are missing above)\n",
                    recorder.Lost());
    }
    std::printf("per 100 ms after the kill (attempts: OnSocketReconnect; results: "
                "OnSocketConnect):\n");
    std::printf("%8s %7s %8s %8s %6s %9s\n", "from ms", "closed", "attempts", "refused", "other",
                "connected");
    const auto empty = [&](std::size_t bucket) {
        return closesPer[bucket] + attemptsPer[bucket] + refusedPer[bucket] + otherPer[bucket] +
                   connectedPer[bucket] ==
               0;
    };
    for (std::size_t bucket = 0; bucket < attemptsPer.size(); ++bucket) {
        std::size_t quiet = 0;
        while (bucket + quiet < attemptsPer.size() && empty(bucket + quiet)) {
            ++quiet;
        }
        if (quiet >= 3) {
            std::printf("%8zu   (nothing for %zu ms)\n", bucket * kBucketMs, quiet * kBucketMs);
            bucket += quiet - 1;
            continue;
        }
        const std::size_t bar = result.peakPerBucket == 0
                                    ? 0
                                    : (attemptsPer[bucket] * 40 + result.peakPerBucket - 1) /
                                          result.peakPerBucket;
        std::printf("%8zu %7zu %8zu %8zu %6zu %9zu %s\n", bucket * kBucketMs, closesPer[bucket],
                    attemptsPer[bucket], refusedPer[bucket], otherPer[bucket],
                    connectedPer[bucket], std::string(bar, '#').c_str());
    }

    // Ask every worker to stop first, so that they wind down together rather
    // than one join at a time.
    for (auto& client : pool) {
        client->Quit();
    }
    pool.clear();
    server.reset();
    return result;
}

void usage() {
    std::fprintf(stderr, "usage: kavra_bench_scale [--clients N] [--kavra PATH-TO-kavra]\n"
                         "Starts `kavra serve` on 127.0.0.1 and runs N clients (default 1000)\n"
                         "against it, killing and restarting the server, with and without\n"
                         "backoff jitter.\n");
}

} // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    int clients = 1000;
#ifdef KAVRA_BENCH_KAVRA_PATH
    std::string program = KAVRA_BENCH_KAVRA_PATH;
#else
    std::string program;
#endif
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--clients" && hasValue) {
            clients = std::atoi(argv[++i]);
        } else if (arg == "--kavra" && hasValue) {
            program = argv[++i];
        } else {
            usage();
            return 2;
        }
    }
    if (clients < 1 || clients > 20000 || program.empty()) {
        usage();
        return 2;
    }
    // Each client holds a socket and an eventfd; the server, which inherits
    // the limit, one socket per client.
    raiseFileLimit(static_cast<rlim_t>(clients) * 2 + 256);

    double load[3] = {};
    ::getloadavg(load, 3);
    std::printf("scale: %d clients, %ld CPUs, load average %.2f %.2f %.2f at the start\n",
                clients, ::sysconf(_SC_NPROCESSORS_ONLN), load[0], load[1], load[2]);

    unsigned short port = 0;
    const auto started = Clock::now();
    std::vector<Result> results;
    results.push_back(runPhase(program, port, clients, true));
    results.push_back(runPhase(program, port, clients, false));

    ::getloadavg(load, 3);
    std::printf("\n== summary (port %u, %.0f s in all, load average %.2f %.2f %.2f at the end) "
                "==\n",
                port, msBetween(started, Clock::now()) / 1e3, load[0], load[1], load[2]);
    std::printf("times in ms after the restart (\"all back\" and percentiles as the clients "
                "saw it,\n\"last acc\" the new server's last accept); accepted: connections "
                "it took within 5 s\n");
    std::printf("%-6s %7s %8s %8s %8s %6s %6s %6s %8s %8s %8s %6s %8s %7s %8s\n", "jitter",
                "setup s", "KiB/conn", "idle CPU", "all back", "p50", "p90", "p99", "accepted",
                "last acc", "attempts", "failed", "peak/100", "peak/10", "overflow");
    bool complete = true;
    for (const Result& r : results) {
        complete = complete && r.reconnected == clients;
        std::printf("%-6s %7.2f %8.1f %7.2f%% %8.0f %6.0f %6.0f %6.0f %8d %8.0f %8zu %6zu %8zu "
                    "%7zu %8ld\n",
                    r.jitter ? "on" : "off", r.setupS,
                    static_cast<double>(r.rssConnectedKb - r.rssBeforeKb) /
                        static_cast<double>(clients),
                    100.0 * r.idleCpuMs / r.idleWindowMs, r.allBackMs, r.p50Ms, r.p90Ms,
                    r.p99Ms, r.accepted, r.serverAllMs, r.attempts,
                    r.refused + r.otherFailures, r.peakPerBucket, r.peakPerFineBucket,
                    r.overflows);
    }
    return complete ? 0 : 1;
}
