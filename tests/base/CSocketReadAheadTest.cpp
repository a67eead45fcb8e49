// The socket reads ahead of its callers: one system call may take far more
// than a Receive asked for. These cases check that the bytes come out whole
// and in order, that the counts and the close detection see them, that a new
// connection never sees an old one's bytes, and that the socket thread's loop
// serves them without waiting for the descriptor to become readable again.
#include "support/Slowdown.h"
#include "support/TestSocket.h"

#include <kavra/base/CBaseSocketThread.h>
#include <kavra/base/CSocket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

namespace net = kavra::test::net;
using Bytes = std::vector<unsigned char>;
using std::chrono::milliseconds;

// A receive's wait for bytes that are due, stretched on a slow machine.
int PatientMs(int ms) {
    return static_cast<int>(kavra::test::Patient(milliseconds(ms)).count());
}

Bytes Pattern(std::size_t size, unsigned int seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<unsigned char>((i * 7U + seed) % 253U);
    }
    return bytes;
}

bool WriteAll(net::Handle fd, const Bytes& bytes) {
    return net::SendAll(fd, bytes.data(), bytes.size());
}

// A connected pair: the socket under test owns one end, the test the other.
class ReadAhead : public ::testing::Test {
protected:
    void SetUp() override {
        net::Handle pair[2] = {-1, -1};
        ASSERT_TRUE(net::ConnectedPair(pair));
        m_socket.Attach(pair[0]);
        m_peer = pair[1];
    }
    void TearDown() override {
        if (m_peer != net::INVALID_HANDLE) {
            net::Close(m_peer);
        }
    }
    void ClosePeer() {
        net::Close(m_peer);
        m_peer = net::INVALID_HANDLE;
    }

    CSocket m_socket;
    net::Handle m_peer = net::INVALID_HANDLE;
};

TEST_F(ReadAhead, SmallReadsReturnOneWriteWholeAndInOrder) {
    const Bytes sent = Pattern(1000, 3);
    ASSERT_TRUE(WriteAll(m_peer, sent));

    Bytes got(sent.size());
    ASSERT_EQ(m_socket.Receive(got.data(), 14, PatientMs(1000)), 14);
    // The rest of the write was taken along and is still counted as readable.
    EXPECT_TRUE(m_socket.HasBufferedInput());
    EXPECT_EQ(m_socket.Available(), 986);
    for (std::size_t at = 14; at < sent.size(); at += 7) {
        const int n = static_cast<int>(std::min<std::size_t>(7, sent.size() - at));
        ASSERT_EQ(m_socket.Receive(got.data() + at, n, PatientMs(1000)), n);
    }
    EXPECT_EQ(got, sent);
    EXPECT_FALSE(m_socket.HasBufferedInput());
    EXPECT_EQ(m_socket.Available(), 0);
}

TEST_F(ReadAhead, ReadsSpanningBufferedAndNewBytesJoinThem) {
    const Bytes first = Pattern(20, 1);
    const Bytes second = Pattern(30, 2);
    ASSERT_TRUE(WriteAll(m_peer, first));
    Bytes got(50);
    ASSERT_EQ(m_socket.Receive(got.data(), 5, PatientMs(1000)), 5);
    ASSERT_TRUE(m_socket.HasBufferedInput());

    std::thread writer([&] {
        std::this_thread::sleep_for(milliseconds(30));
        WriteAll(m_peer, second);
    });
    // 15 bytes come from the read-ahead, the last 30 only after a wait.
    EXPECT_EQ(m_socket.Receive(got.data() + 5, 45, PatientMs(3000)), 45);
    writer.join();
    Bytes expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(got, expected);
}

TEST_F(ReadAhead, LargeRequestsLandWholeAfterTheBufferedPart) {
    const Bytes sent = Pattern(200000, 9);
    std::thread writer([&] { WriteAll(m_peer, sent); });
    Bytes got(sent.size());
    ASSERT_EQ(m_socket.Receive(got.data(), 100, PatientMs(3000)), 100);
    EXPECT_EQ(m_socket.Receive(got.data() + 100, 199900, PatientMs(5000)), 199900);
    writer.join();
    EXPECT_EQ(got, sent);
}

TEST_F(ReadAhead, BufferedBytesOutliveThePeersClose) {
    const Bytes sent = Pattern(64, 4);
    ASSERT_TRUE(WriteAll(m_peer, sent));
    Bytes got(sent.size());
    ASSERT_EQ(m_socket.Receive(got.data(), 14, PatientMs(1000)), 14);
    ClosePeer();

    // What was read ahead is still data, not a close.
    EXPECT_FALSE(m_socket.PeerClosed());
    EXPECT_FALSE(m_socket.HasFailed());
    EXPECT_EQ(m_socket.Available(), 50);
    ASSERT_EQ(m_socket.Receive(got.data() + 14, 50, PatientMs(1000)), 50);
    EXPECT_EQ(got, sent);

    // Only now is the close seen, once.
    EXPECT_TRUE(m_socket.PeerClosed());
    EXPECT_TRUE(m_socket.HasFailed());
    EXPECT_EQ(m_socket.GetLastError(), 0);
}

// The socket thread's answer to a readable descriptor: the count comes from
// the one read that takes the bytes, which a receive then serves, and the
// close is seen only behind every byte that arrived before it.
TEST_F(ReadAhead, ReadArrivedTakesWhatCameAndSeesTheCloseLast) {
    EXPECT_EQ(m_socket.ReadArrived(), 0);
    EXPECT_FALSE(m_socket.HasFailed());

    const Bytes sent = Pattern(300, 6);
    ASSERT_TRUE(WriteAll(m_peer, sent));
    ASSERT_EQ(net::WaitReadable(m_socket.GetHandle(), 1000), 1);
    ASSERT_EQ(m_socket.ReadArrived(), 300);
    ClosePeer();
    // Asking again while bytes wait read ahead reads nothing more.
    EXPECT_EQ(m_socket.ReadArrived(), 300);
    Bytes got(sent.size());
    ASSERT_EQ(m_socket.Receive(got.data(), 200, PatientMs(1000)), 200);
    EXPECT_EQ(m_socket.ReadArrived(), 100);
    ASSERT_EQ(m_socket.Receive(got.data() + 200, 100, PatientMs(1000)), 100);
    EXPECT_EQ(got, sent);

    EXPECT_EQ(m_socket.ReadArrived(), -1);
    EXPECT_TRUE(m_socket.HasFailed());
    EXPECT_EQ(m_socket.GetLastError(), 0);
}

TEST_F(ReadAhead, ShortReadAtTheCloseKeepsTheBytesItGot) {
    ASSERT_TRUE(WriteAll(m_peer, Pattern(10, 5)));
    Bytes got(4);
    ASSERT_EQ(m_socket.Receive(got.data(), 4, PatientMs(1000)), 4);
    ClosePeer();
    Bytes rest(20);
    EXPECT_EQ(m_socket.Receive(rest.data(), 20, PatientMs(1000)), 6);
    EXPECT_TRUE(m_socket.HasFailed());
    const Bytes sent = Pattern(10, 5);
    EXPECT_TRUE(std::equal(rest.begin(), rest.begin() + 6, sent.begin() + 4));
}

TEST_F(ReadAhead, ANewConnectionNeverSeesTheOldOnesBytes) {
    ASSERT_TRUE(WriteAll(m_peer, Pattern(100, 6)));
    Bytes got(100);
    ASSERT_EQ(m_socket.Receive(got.data(), 10, PatientMs(1000)), 10);
    ASSERT_TRUE(m_socket.HasBufferedInput());

    net::Handle pair[2] = {-1, -1};
    ASSERT_TRUE(net::ConnectedPair(pair));
    m_socket.Attach(pair[0]);
    EXPECT_FALSE(m_socket.HasBufferedInput());
    EXPECT_EQ(m_socket.Available(), 0);
    const Bytes fresh = Pattern(8, 7);
    ASSERT_TRUE(WriteAll(pair[1], fresh));
    Bytes in(8);
    EXPECT_EQ(m_socket.Receive(in.data(), 8, PatientMs(1000)), 8);
    EXPECT_EQ(in, fresh);
    net::Close(pair[1]);

    m_socket.Close();
    EXPECT_FALSE(m_socket.HasBufferedInput());
    EXPECT_EQ(m_socket.Available(), -1);
}

// Takes exactly one 10-byte record per call, however much is readable, so
// that everything after the first record sits in the read-ahead.
class RecordReader : public CBaseSocketThread {
public:
    ~RecordReader() override { Destroy(); }
    void Attach(CSocket* socket) { m_socket = socket; }

    bool WaitForRecords(std::size_t count, milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_records.size() >= count; });
    }
    std::vector<Bytes> Records() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_records;
    }

protected:
    void OnSocketReceive(int readable) override {
        EXPECT_GT(readable, 0);
        Bytes record(10);
        if (RecvDataTimeout(reinterpret_cast<char*>(record.data()), 10, 1000) != 10) {
            return;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_records.push_back(record);
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Bytes> m_records;
};

TEST_F(ReadAhead, SocketThreadServesBufferedRecordsWithoutNewArrivals) {
    RecordReader reader;
    reader.Attach(&m_socket);
    ASSERT_EQ(reader.Create(), 1);
    // Ten records in one write: one system call reads them all, and the
    // descriptor stays quiet while nine of them still wait in the socket.
    const Bytes sent = Pattern(100, 8);
    ASSERT_TRUE(WriteAll(m_peer, sent));
    ASSERT_TRUE(reader.WaitForRecords(10, kavra::test::Patient(milliseconds(3000))));
    const std::vector<Bytes> records = reader.Records();
    ASSERT_EQ(records.size(), 10u);
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_TRUE(std::equal(records[i].begin(), records[i].end(),
                               sent.begin() + static_cast<std::ptrdiff_t>(i * 10)))
            << "record " << i;
    }
    reader.Destroy();
}

} // namespace
