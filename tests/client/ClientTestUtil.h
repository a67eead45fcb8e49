// Shared tools for the client-thread tests: frames encoded with the framing
// helpers (whose bytes KavraHeaderTest pins), a raw frame reader for the peer side,
// polling with a deadline, and client subclasses that open up the protected
// handlers.
#pragma once

#include "support/LoopbackServer.h"
#include "support/Slowdown.h"

#include <kavra/KavraClientThread.h>
#include <kavra/KavraPDU.h>
#include <kavra/base/CIPByteBuffer.h>
#include <kavra/base/CServerStatus.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <thread>
#include <vector>

namespace kavra::test {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Generous bound for anything that should happen "soon" on loopback,
// stretched on a slow machine.
inline const milliseconds kSoon = Patient(milliseconds(5000));

// The body a test sends last to learn that everything before it has been
// read: a frame arrives only after all frames written before it, so no test
// needs a quiet spell to conclude that nothing more comes. No test sends
// these bytes for anything else (Pattern never holds 0xFF).
inline const std::vector<unsigned char> kMarker = {'e', 'n', 'd', 0xFF, 0xFF, 0x01};

// Ten 0xFF and the length in big-endian order.
inline Bytes HeaderBytes(std::uint32_t length) {
    Bytes header(KavraHeader::HEADER_LENGTH);
    KavraHeader::EncodeHeader(static_cast<int>(length), header.data());
    return header;
}

inline Bytes FrameBytes(const Bytes& body) {
    Bytes frame = HeaderBytes(static_cast<std::uint32_t>(body.size()));
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// Deterministic bytes that never contain 0xFF, so a body can never be
// mistaken for part of a sync mark.
inline Bytes Pattern(std::size_t size, unsigned int seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<unsigned char>((seed * 31U + i * 7U) % 0xFFU);
    }
    return bytes;
}

inline std::uint32_t ReadBigEndian(const unsigned char* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

// Polls pred every few milliseconds until it holds or timeout passes.
template <typename Pred> bool WaitUntil(Pred pred, milliseconds timeout = kSoon) {
    const auto deadline = Clock::now() + timeout;
    while (!pred()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
}

// Reads one frame from the peer side and returns its body; nothing when the
// bytes do not arrive in time or the header is not a sync mark followed by a
// length of at most 8812.
inline std::optional<Bytes> ReadFrame(LoopbackServer& srv, std::size_t index,
                                      milliseconds timeout = kSoon) {
    const auto headerLength = static_cast<std::size_t>(KavraHeader::HEADER_LENGTH);
    const Bytes header = srv.Receive(index, headerLength, timeout);
    if (header.size() != headerLength ||
        !std::all_of(header.begin(), header.begin() + KavraHeader::SYNC_MARK_LENGTH,
                     [](unsigned char byte) { return byte == KavraHeader::SYNC_BYTE; })) {
        return std::nullopt;
    }
    const int announced = KavraHeader::DecodeBodyLength(header.data());
    if (announced < 0 || announced > KavraHeader::MAX_BODY_LENGTH) {
        return std::nullopt;
    }
    const auto length = static_cast<std::size_t>(announced);
    Bytes body = srv.Receive(index, length, timeout);
    if (body.size() != length) {
        return std::nullopt;
    }
    return body;
}

// The bodies of the frames the peer reads on connection index before the
// one that carries kMarker; a failure when a frame does not come in time.
inline std::vector<Bytes> FramesBeforeMarker(LoopbackServer& srv, std::size_t index) {
    std::vector<Bytes> frames;
    while (std::optional<Bytes> body = ReadFrame(srv, index)) {
        if (*body == kMarker) {
            return frames;
        }
        frames.push_back(*body);
    }
    ADD_FAILURE() << "the marker frame did not come after " << frames.size() << " frames";
    return frames;
}

// Attaches a socket connected to srv, starts the worker and waits for the
// server to see the connection with the given index.
template <typename Client>
::testing::AssertionResult StartClient(Client& client, LoopbackServer& srv, bool reconnect = false,
                                       std::size_t connectionIndex = 0) {
    CServerStatus server("127.0.0.1", srv.Port());
    server.SetReconnect(reconnect);
    if (reconnect) {
        server.SetBackoff(20, 200);
    }
    if (client.SetSocket(nullptr, 0, &server) != 1) {
        return ::testing::AssertionFailure() << "SetSocket did not connect";
    }
    if (client.Create() != 1) {
        return ::testing::AssertionFailure() << "Create did not start the worker";
    }
    if (!srv.WaitForConnection(connectionIndex, kSoon)) {
        return ::testing::AssertionFailure() << "server saw no connection";
    }
    return ::testing::AssertionSuccess();
}

// Opens the protected members to the tests. Stops the worker in its own
// destructor so the thread never runs into a half-destroyed subclass.
class OpenClient : public KavraClientThread {
public:
    ~OpenClient() override { Destroy(); }

    using KavraClientThread::DispatchMessageA;
    using KavraClientThread::GetReceiveCount;
    using KavraClientThread::ReceivePush;

    // What the base dispatch makes of msg, bypassing this class's routing.
    long BaseDispatch(const MSG* msg) { return CSocketClientThread::DispatchMessageA(msg); }
};

// Keeps received PDUs for GetMessageA/ReceivePdu instead of discarding them,
// and counts the notifications.
class KeepingClient : public OpenClient {
public:
    ~KeepingClient() override { Destroy(); }

    int ReceiveNotifications() const { return m_receiveNotifications.load(); }

protected:
    void OnReceiveQueuePush() override { m_receiveNotifications.fetch_add(1); }

private:
    std::atomic<int> m_receiveNotifications{0};
};

// Takes one PDU with a generous timeout and returns its body (size taken
// from ReceivePdu); nothing when none arrives.
inline std::optional<Bytes> TakeBody(KavraClientThread& client, milliseconds timeout = kSoon) {
    Bytes body(KavraClientThread::MAX_PDU_LENGTH);
    unsigned int size = 0;
    const int result = client.ReceivePdu(body.data(), static_cast<unsigned int>(body.size()), &size,
                                         static_cast<unsigned int>(timeout.count()));
    if (result != KavraClientThread::RECEIVE_OK) {
        return std::nullopt;
    }
    body.resize(size);
    return body;
}

// The bodies the client hands over before kMarker, which the peer sent last;
// a failure when a body does not come in time.
inline std::vector<Bytes> BodiesBeforeMarker(KavraClientThread& client) {
    std::vector<Bytes> bodies;
    while (std::optional<Bytes> body = TakeBody(client)) {
        if (*body == kMarker) {
            return bodies;
        }
        bodies.push_back(*body);
    }
    ADD_FAILURE() << "the marker body did not come after " << bodies.size() << " bodies";
    return bodies;
}

// A PDU that owns body, as the receive path would build it.
template <typename Pdu = KavraPDU> Pdu* NewOwningPdu(const Bytes& body) {
    auto* pdu = new Pdu();
    CIPByteBuffer buffer;
    buffer.appendBytes(body.data(), static_cast<int>(body.size()));
    pdu->setBody(buffer);
    return pdu;
}

} // namespace kavra::test
