#include "support/LoopbackServer.h"
#include "support/Slowdown.h"

#include <kavra/base/CBaseSocketThread.h>
#include <kavra/base/CSocket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using kavra::test::LoopbackServer;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const milliseconds kSoon = kavra::test::Patient(milliseconds(5000));

// A bound on how long something the library does promptly may take here.
long long PromptMs(long long ms) {
    return kavra::test::Patient(milliseconds(ms)).count();
}

constexpr unsigned int MSG_PLAIN = 5001;
constexpr unsigned int MSG_THROW_RUNTIME = 5002;
constexpr unsigned int MSG_THROW_BAD_ALLOC = 5003;
constexpr unsigned int MSG_SEND_HELLO = 5004;
constexpr unsigned int MSG_ASK = 5005;

long long ElapsedMs(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

Bytes Pattern(std::size_t size, unsigned int seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<unsigned char>((i * 7U + seed) % 253U);
    }
    return bytes;
}

// One thing the loop did, in the order it did it.
struct Event {
    enum Kind { Message, Data, Close, Reconnect } kind;
    unsigned int message = 0;
    std::uintptr_t param = 0;
    int value = 0;
};

// Records every handler call, checks that no two overlap, and reads the
// reported bytes with RecvDataTimeout as a real subclass would.
class RecordingThread : public CBaseSocketThread {
public:
    ~RecordingThread() override { Destroy(); }

    void Attach(CSocket* socket) { m_socket = socket; }
    void Schedule(unsigned int delayMs, int attempt) { ScheduleReconnect(delayMs, attempt); }

    // Waits until pred(events, bytes) holds, under the recording lock.
    template <typename Pred> bool WaitFor(Pred pred, milliseconds bound = kSoon) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, bound, [&] { return pred(m_events, m_bytes); });
    }
    std::vector<Event> Events() {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }
    Bytes ReceivedBytes() {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_bytes;
    }

    std::atomic<int> overlaps{0};
    std::atomic<int> zeroReceives{0};
    std::atomic<int> queries{0};
    std::atomic<bool> throwOnNextReceive{false};
    // When set, a receive asks for this many bytes more than were reported,
    // to see RecvDataTimeout come back short at its timeout.
    std::atomic<int> overRead{0};
    std::atomic<int> lastReadResult{0};
    std::atomic<long long> lastReadMs{0};
    std::atomic<int> helloSent{-1};
    std::atomic<int> answerRead{-1};
    std::atomic<long long> answerMs{-1};
    char answer[4] = {};

protected:
    long DispatchMessageA(const MSG* msg) override {
        const Enter enter(*this);
        record({Event::Message, msg->message, msg->wParam, 0});
        if (msg->message == MSG_THROW_RUNTIME) {
            throw std::runtime_error("handler failure");
        }
        if (msg->message == MSG_THROW_BAD_ALLOC) {
            throw std::bad_alloc();
        }
        if (msg->message == MSG_SEND_HELLO) {
            char hello[] = "hello";
            helloSent = SendDataTimeout(hello, 5, 1000);
        }
        if (msg->message == MSG_ASK) {
            char question[] = "ask?";
            SendDataTimeout(question, 4, 1000);
            const auto start = Clock::now();
            answerRead = RecvDataTimeout(answer, 4, 2000);
            answerMs = ElapsedMs(start);
        }
        return 1;
    }

    void OnSocketReceive(int readable) override {
        const Enter enter(*this);
        if (readable <= 0) {
            ++zeroReceives;
            return;
        }
        const int want = readable + overRead.load();
        Bytes buffer(static_cast<std::size_t>(want));
        const auto start = Clock::now();
        const int got = RecvDataTimeout(reinterpret_cast<char*>(buffer.data()), want,
                                        overRead.load() > 0 ? 300 : 2000);
        lastReadMs = ElapsedMs(start);
        lastReadResult = got;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_bytes.insert(m_bytes.end(), buffer.begin(), buffer.begin() + (got > 0 ? got : 0));
            m_events.push_back({Event::Data, 0, 0, got});
        }
        m_changed.notify_all();
        if (throwOnNextReceive.exchange(false)) {
            throw std::runtime_error("receive failure");
        }
    }

    void OnSocketClose(int error) override {
        const Enter enter(*this);
        record({Event::Close, 0, 0, error});
        CBaseSocketThread::OnSocketClose(error);
    }

    void OnSocketReconnect(int attempt) override {
        const Enter enter(*this);
        record({Event::Reconnect, 0, 0, attempt});
    }

    void OnQuerySocket() override { ++queries; }

private:
    // Flags a handler that starts while another one runs.
    class Enter {
    public:
        explicit Enter(RecordingThread& owner) : m_owner(owner) {
            if (m_owner.m_inHandler.exchange(true)) {
                ++m_owner.overlaps;
            }
        }
        ~Enter() { m_owner.m_inHandler = false; }
        Enter(const Enter&) = delete;
        Enter& operator=(const Enter&) = delete;

    private:
        RecordingThread& m_owner;
    };

    void record(const Event& event) {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_events.push_back(event);
        }
        m_changed.notify_all();
    }

    std::atomic<bool> m_inHandler{false};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Event> m_events;
    Bytes m_bytes;
};

std::size_t CountKind(const std::vector<Event>& events, Event::Kind kind) {
    std::size_t n = 0;
    for (const Event& e : events) {
        n += e.kind == kind ? 1U : 0U;
    }
    return n;
}

// A recording thread whose socket is connected to a loopback server; the
// thread is not started, so each test can prepare it first.
class SocketThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(m_socket.Connect("127.0.0.1", m_server.Port(), 2000), 1);
        ASSERT_TRUE(m_server.WaitForConnection(0, kSoon));
        m_thread.Attach(&m_socket);
    }
    void TearDown() override { m_thread.Destroy(); }

    LoopbackServer m_server;
    CSocket m_socket;
    RecordingThread m_thread;
};

TEST_F(SocketThreadTest, MessagesAndDataInterleaveInOrderWithoutOverlap) {
    constexpr std::uintptr_t kMessages = 2000;
    constexpr std::size_t kChunks = 200;
    constexpr std::size_t kChunkSize = 97;
    const Bytes stream = Pattern(kChunks * kChunkSize, 3);

    ASSERT_EQ(m_thread.Create(), 1);
    std::thread poster([&] {
        for (std::uintptr_t i = 0; i < kMessages; ++i) {
            m_thread.PostMessageA(MSG_PLAIN, static_cast<unsigned int>(i), 0);
        }
    });
    std::thread writer([&] {
        for (std::size_t c = 0; c < kChunks; ++c) {
            m_server.Send(0, stream.data() + c * kChunkSize, kChunkSize);
            if (c % 16 == 0) {
                std::this_thread::sleep_for(milliseconds(1));
            }
        }
    });
    poster.join();
    writer.join();

    ASSERT_TRUE(m_thread.WaitFor([&](const std::vector<Event>& events, const Bytes& bytes) {
        return CountKind(events, Event::Message) == kMessages && bytes.size() == stream.size();
    }));
    EXPECT_EQ(m_thread.overlaps.load(), 0);
    EXPECT_EQ(m_thread.zeroReceives.load(), 0);
    EXPECT_TRUE(m_thread.ReceivedBytes() == stream);

    std::uintptr_t expected = 0;
    for (const Event& e : m_thread.Events()) {
        if (e.kind == Event::Message) {
            EXPECT_EQ(e.message, MSG_PLAIN);
            EXPECT_EQ(e.param, expected);
            ++expected;
        } else if (e.kind == Event::Data) {
            EXPECT_GT(e.value, 0);
        } else {
            ADD_FAILURE() << "unexpected event kind " << e.kind;
        }
    }
    EXPECT_EQ(expected, kMessages);
    EXPECT_EQ(m_thread.GetHandlerExceptionCount(), 0U);
    EXPECT_GT(m_thread.queries.load(), 0);
}

TEST_F(SocketThreadTest, ABacklogOfMessagesDoesNotStarveTheSocket) {
    constexpr unsigned int kMessages = 3000;
    ASSERT_TRUE(m_server.Send(0, Pattern(10, 1)));
    ASSERT_TRUE([&] {
        const auto end = Clock::now() + kSoon;
        while (m_socket.Available() < 10 && Clock::now() < end) {
            std::this_thread::sleep_for(milliseconds(2));
        }
        return m_socket.Available() == 10;
    }());
    for (unsigned int i = 0; i < kMessages; ++i) {
        m_thread.PostMessageA(MSG_PLAIN, i, 0);
    }
    ASSERT_EQ(m_thread.Create(), 1);
    ASSERT_TRUE(m_thread.WaitFor([&](const std::vector<Event>& events, const Bytes& bytes) {
        return CountKind(events, Event::Message) == kMessages && bytes.size() == 10;
    }));
    const std::vector<Event> events = m_thread.Events();
    std::size_t dataAt = events.size();
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i].kind == Event::Data) {
            dataAt = i;
            break;
        }
    }
    // The data waited for a batch of messages, not for the whole backlog.
    EXPECT_LT(dataAt, kMessages / 2);
}

TEST_F(SocketThreadTest, PeerCloseIsReportedOnceAndNeverAsAnEmptyReceive) {
    const Bytes last = Pattern(10, 8);
    ASSERT_TRUE(m_server.Send(0, last));
    ASSERT_EQ(m_thread.Create(), 1);
    ASSERT_TRUE(m_thread.WaitFor(
        [](const std::vector<Event>&, const Bytes& bytes) { return bytes.size() == 10; }));
    m_server.CloseConnection(0);
    ASSERT_TRUE(m_thread.WaitFor([](const std::vector<Event>& events, const Bytes&) {
        return CountKind(events, Event::Close) == 1;
    }));
    // More turns of the loop must not report the close again.
    for (unsigned int i = 0; i < 5; ++i) {
        m_thread.PostMessageA(MSG_PLAIN, i, 0);
        std::this_thread::sleep_for(milliseconds(20));
    }
    ASSERT_TRUE(m_thread.WaitFor([](const std::vector<Event>& events, const Bytes&) {
        return CountKind(events, Event::Message) == 5;
    }));
    ASSERT_EQ(m_thread.Destroy(), 1);

    const std::vector<Event> events = m_thread.Events();
    EXPECT_EQ(CountKind(events, Event::Close), 1U);
    EXPECT_EQ(m_thread.zeroReceives.load(), 0);
    EXPECT_EQ(m_thread.ReceivedBytes(), last);
    std::size_t closeAt = 0;
    std::size_t lastDataAt = 0;
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i].kind == Event::Close) {
            closeAt = i;
            EXPECT_EQ(events[i].value, 0);
        }
        if (events[i].kind == Event::Data) {
            lastDataAt = i;
        }
    }
    EXPECT_LT(lastDataAt, closeAt);
    // The default OnSocketClose closed the socket.
    EXPECT_FALSE(m_socket.IsOpen());
}

TEST_F(SocketThreadTest, ExceptionsFromHandlersAreCountedAndTheLoopGoesOn) {
    ASSERT_EQ(m_thread.Create(), 1);
    m_thread.PostMessageA(MSG_THROW_RUNTIME, 0, 0);
    m_thread.PostMessageA(MSG_PLAIN, 1, 0);
    m_thread.PostMessageA(MSG_THROW_BAD_ALLOC, 0, 0);
    m_thread.PostMessageA(MSG_PLAIN, 2, 0);
    ASSERT_TRUE(m_thread.WaitFor([](const std::vector<Event>& events, const Bytes&) {
        return CountKind(events, Event::Message) == 4;
    }));
    EXPECT_EQ(m_thread.GetHandlerExceptionCount(), 2U);

    m_thread.throwOnNextReceive = true;
    const Bytes first = Pattern(6, 1);
    ASSERT_TRUE(m_server.Send(0, first));
    ASSERT_TRUE(m_thread.WaitFor(
        [](const std::vector<Event>&, const Bytes& bytes) { return bytes.size() == 6; }));
    ASSERT_TRUE([&] {
        const auto end = Clock::now() + kSoon;
        while (m_thread.GetHandlerExceptionCount() < 3 && Clock::now() < end) {
            std::this_thread::sleep_for(milliseconds(2));
        }
        return m_thread.GetHandlerExceptionCount() == 3;
    }());

    // Data and messages after the failures are still handled.
    const Bytes second = Pattern(4, 2);
    ASSERT_TRUE(m_server.Send(0, second));
    m_thread.PostMessageA(MSG_PLAIN, 3, 0);
    ASSERT_TRUE(m_thread.WaitFor([](const std::vector<Event>& events, const Bytes& bytes) {
        return bytes.size() == 10 && CountKind(events, Event::Message) == 5;
    }));
    Bytes both = first;
    both.insert(both.end(), second.begin(), second.end());
    EXPECT_EQ(m_thread.ReceivedBytes(), both);
    EXPECT_TRUE(m_thread.IsRunning());
    EXPECT_EQ(m_thread.GetHandlerExceptionCount(), 3U);
    EXPECT_EQ(m_thread.overlaps.load(), 0);
}

TEST_F(SocketThreadTest, RecvDataTimeoutReturnsThePartialCountAtItsTimeout) {
    m_thread.overRead = 10;
    ASSERT_EQ(m_thread.Create(), 1);
    const Bytes part = Pattern(6, 4);
    ASSERT_TRUE(m_server.Send(0, part));
    ASSERT_TRUE(m_thread.WaitFor([](const std::vector<Event>& events, const Bytes&) {
        return CountKind(events, Event::Data) >= 1;
    }));
    EXPECT_EQ(m_thread.lastReadResult.load(), 6);
    EXPECT_GE(m_thread.lastReadMs.load(), 250);
    EXPECT_LT(m_thread.lastReadMs.load(), PromptMs(3000));
    EXPECT_EQ(m_thread.ReceivedBytes(), part);
    // A timeout is not a failure: no close was reported.
    ASSERT_EQ(m_thread.Destroy(), 1);
    EXPECT_EQ(CountKind(m_thread.Events(), Event::Close), 0U);
    EXPECT_TRUE(m_socket.IsConnected());
}

TEST_F(SocketThreadTest, SendDataTimeoutWritesFromTheThread) {
    ASSERT_EQ(m_thread.Create(), 1);
    m_thread.PostMessageA(MSG_SEND_HELLO, 0, 0);
    const Bytes expected = {'h', 'e', 'l', 'l', 'o'};
    EXPECT_EQ(m_server.Receive(0, 5, kSoon), expected);
    // The handler stores its result after the bytes are on their way.
    ASSERT_EQ(m_thread.Destroy(), 1);
    EXPECT_EQ(m_thread.helloSent.load(), 5);
}

TEST_F(SocketThreadTest, AHandlerThatAsksAndWaitsIsNotKeptWaitingOnItsOwnQuestion) {
    // With a second message waiting, the question is held back for the rest
    // of the batch; the read that waits for the answer must send it first.
    m_thread.PostMessageA(MSG_ASK, 0, 0);
    m_thread.PostMessageA(MSG_PLAIN, 0, 0);
    ASSERT_EQ(m_thread.Create(), 1);
    const Bytes question = {'a', 's', 'k', '?'};
    ASSERT_EQ(m_server.Receive(0, 4, kSoon), question);
    ASSERT_TRUE(m_server.Send(0, "ans!", 4));
    ASSERT_TRUE(m_thread.WaitFor([](const std::vector<Event>& events, const Bytes&) {
        return CountKind(events, Event::Message) == 2;
    }));
    ASSERT_EQ(m_thread.Destroy(), 1);
    EXPECT_EQ(m_thread.answerRead.load(), 4);
    EXPECT_EQ(std::string(m_thread.answer, 4), "ans!");
    // Answered within the read's own 2 s: the question had left first.
    EXPECT_LT(m_thread.answerMs.load(), 2000);
}

#if GTEST_HAS_DEATH_TEST && !defined(_WIN32) && (defined(KAVRA_THREAD_CHECKS) || !defined(NDEBUG))
// The socket is the loop's alone while it runs: a write from another thread
// would race with the loop's own writes and with what it reads of the
// socket between them, so it stops the process rather than tear a frame.
TEST_F(SocketThreadTest, AWriteFromAnotherThreadWhileTheLoopRunsStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(m_thread.Create(), 1);
    char bytes[4] = {'o', 'f', 'f', '!'};
    EXPECT_DEATH(m_thread.SendDataTimeout(bytes, 4, 100), "called off its thread");
    ASSERT_EQ(m_thread.Destroy(), 1);
    // Once the loop has ended the owner may use the socket again.
    EXPECT_EQ(m_thread.SendDataTimeout(bytes, 4, 1000), 4);
    const Bytes expected(bytes, bytes + 4);
    EXPECT_EQ(m_server.Receive(0, 4, kSoon), expected);
}
#endif

TEST(CBaseSocketThreadIdle, TransfersWithoutAConnectionReturnZeroAtOnce) {
    RecordingThread thread;
    char buffer[16] = {};
    auto start = Clock::now();
    EXPECT_EQ(thread.SendDataTimeout(buffer, 16, 3000), 0);
    EXPECT_EQ(thread.RecvDataTimeout(buffer, 16, 3000), 0);
    EXPECT_LT(ElapsedMs(start), PromptMs(1000));

    CSocket unconnected;
    thread.Attach(&unconnected);
    start = Clock::now();
    EXPECT_EQ(thread.SendDataTimeout(buffer, 16, 3000), 0);
    EXPECT_EQ(thread.RecvDataTimeout(buffer, 16, 3000), 0);
    EXPECT_LT(ElapsedMs(start), PromptMs(1000));
}

TEST(CBaseSocketThreadIdle, MessagesAreDispatchedWithoutASocket) {
    RecordingThread thread;
    ASSERT_EQ(thread.Create(), 1);
    for (unsigned int i = 0; i < 10; ++i) {
        thread.PostMessageA(MSG_PLAIN, i, 0);
    }
    ASSERT_TRUE(thread.WaitFor([](const std::vector<Event>& events, const Bytes&) {
        return CountKind(events, Event::Message) == 10;
    }));
    EXPECT_EQ(thread.GetSocket(), nullptr);
}

TEST(CBaseSocketThreadIdle, QuitWhileIdleEndsRunPromptly) {
    RecordingThread thread;
    ASSERT_EQ(thread.Create(), 1);
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_TRUE(thread.IsRunning());
    const auto start = Clock::now();
    EXPECT_EQ(thread.Destroy(), 1);
    EXPECT_LT(ElapsedMs(start), PromptMs(2000));
    EXPECT_FALSE(thread.IsRunning());
}

TEST(CBaseSocketThreadIdle, ScheduledReconnectionIsCalledOnceWhenDue) {
    RecordingThread thread;
    thread.Schedule(150, 3);
    const auto start = Clock::now();
    ASSERT_EQ(thread.Create(), 1);
    ASSERT_TRUE(thread.WaitFor([](const std::vector<Event>& events, const Bytes&) {
        return CountKind(events, Event::Reconnect) == 1;
    }));
    EXPECT_GE(ElapsedMs(start), 140);
    // A message handled after the reconnection: the loop has come round
    // since, without calling it again.
    thread.PostMessageA(MSG_PLAIN, 0, 0);
    ASSERT_TRUE(thread.WaitFor([](const std::vector<Event>& events, const Bytes&) {
        return CountKind(events, Event::Message) == 1;
    }));
    ASSERT_EQ(thread.Destroy(), 1);
    const std::vector<Event> events = thread.Events();
    ASSERT_EQ(CountKind(events, Event::Reconnect), 1U);
    for (const Event& e : events) {
        if (e.kind == Event::Reconnect) {
            EXPECT_EQ(e.value, 3);
        }
    }
}

} // namespace
