// The client thread's receive path fed the input as a byte stream through a
// real socket pair, held against the reference model of which bodies the
// stream carries.
//
// Per input: a fresh client thread on one end of a socketpair; a writer
// thread writes the whole input to the other end and shuts its side down, so
// a torn last frame ends with the peer's close at once instead of the read
// timeout; this thread consumes with ReceivePdu while the writer feeds, so
// the receive queue rarely fills. When it does, the reader drops frames and
// counts them, so the bodies delivered must be the model's bodies with
// exactly that many left out, order kept.
//
// The same input also goes through kavra::FrameDecoder in pieces whose sizes
// the input itself picks; the decoder must find the frames the receive path
// read, in the same order, and count what it skipped the same way.

#include "FrameModel.h"

#include "serving/ServingApi.h"

#include <kavra/FrameDecoder.h>
#include <kavra/KavraClientThread.h>
#include <kavra/KavraPDU.h>
#include <kavra/base/CIPByteBuffer.h>
#include <kavra/base/CServerStatus.h>
#include <kavra/base/CSocket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>


namespace {

using kavra::fuzz::Bytes;
using kavra::fuzz::Fail;

// Streams beyond this add time per input, not new paths.
constexpr std::size_t kMaxStream = 64 * 1024;
// Longer than any body the reader may deliver, so the end marker cannot be
// taken for one: a delivered body this long is itself a failure.
constexpr unsigned int kEndMarkerLength = KavraClientThread::MAX_PDU_LENGTH + 1;

// Keeps received PDUs for ReceivePdu and, once the connection has closed,
// queues an end marker behind the last PDU the reader delivered.
class KeepingClient : public KavraClientThread {
public:
    ~KeepingClient() override { Destroy(); }

    bool Closed() const { return m_closed.load(std::memory_order_acquire); }

protected:
    void OnReceiveQueuePush() override {}

    void OnSocketClose(int error) override {
        KavraClientThread::OnSocketClose(error);
        m_closed.store(true, std::memory_order_release);
        CIPByteBuffer body;
        body.appendBytes0(static_cast<int>(kEndMarkerLength));
        auto marker = std::make_unique<KavraPDU>();
        marker->setBody(body);
        if (ReceivePush(marker.get()) == 1) {
            marker.release();
        }
    }

private:
    std::atomic<bool> m_closed{false};
};

class Descriptor {
public:
    explicit Descriptor(kavra::os::SocketHandle fd) : m_fd(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        kavra::os::CloseSocket(m_fd);
    }
    kavra::os::SocketHandle Get() const { return m_fd; }

private:
    kavra::os::SocketHandle m_fd;
};

void WriteAll(kavra::os::SocketHandle fd, const unsigned char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        int error = 0;
        const long sent = kavra::os::Send(fd, data + done, size - done, error);
        if (sent < 0 && error == EINTR) {
            continue;
        }
        if (sent <= 0) {
            // The reader closed early; the comparison reports what it missed.
            break;
        }
        done += static_cast<std::size_t>(sent);
    }
    kavra::os::ShutdownSend(fd);
}

constexpr auto kDecoderBound =
    static_cast<std::size_t>(KavraHeader::HEADER_LENGTH + KavraHeader::MAX_BODY_LENGTH);

// Every body the decoder finds, fed the stream in pieces of 1 to 64 bytes
// (sizes taken from the stream's own bytes) with a whole frame now and then.
std::vector<Bytes> DecodeInPieces(const std::uint8_t* data, std::size_t size,
                                  kavra::FrameDecoder& decoder) {
    std::vector<Bytes> bodies;
    Bytes body;
    std::size_t at = 0;
    std::size_t step = 0;
    while (at < size || decoder.HasFrame()) {
        const std::size_t piece =
            data[step++ % size] == 0xFF ? size - at : 1U + data[(at * 31U) % size] % 64U;
        at += decoder.Feed(data + at, std::min(piece, size - at));
        if (decoder.Buffered() > kDecoderBound) {
            Fail("the decoder holds more than one header and one body");
        }
        if (decoder.Next(body)) {
            bodies.push_back(body);
        }
    }
    return bodies;
}

// The receive path delivered received and dropped the rest for a full
// queue; the decoder must hold exactly those frames, the dropped left out.
void ExpectDecoderAgrees(const std::uint8_t* data, std::size_t size,
                         const std::vector<Bytes>& received, const kavra::ConnectionStats& stats) {
    kavra::FrameDecoder decoder;
    const std::vector<Bytes> decoded = size > 0 ? DecodeInPieces(data, size, decoder)
                                                : std::vector<Bytes>{};
    std::size_t next = 0;
    for (const Bytes& got : received) {
        while (next < decoded.size() && decoded[next] != got) {
            ++next;
        }
        if (next == decoded.size()) {
            Fail("the receive path delivered a body the decoder did not find next");
        }
        ++next;
    }
    const kavra::FrameDecoder::Counters& seen = decoder.GetCounters();
    if (seen.frames != decoded.size() ||
        seen.frames != stats.framesReceived + stats.receiveDropsQueueFull) {
        std::fprintf(stderr, "decoder %zu frames, receive path %llu + %llu dropped\n",
                     decoded.size(), static_cast<unsigned long long>(stats.framesReceived),
                     static_cast<unsigned long long>(stats.receiveDropsQueueFull));
        Fail("the decoder and the receive path found different frames");
    }
    if (seen.badHeaders != stats.badHeaders || seen.oversizeDiscarded != stats.oversizeDiscarded ||
        seen.skippedBytes != stats.resyncBytesDiscarded) {
        std::fprintf(stderr, "decoder %llu/%llu/%llu, receive path %llu/%llu/%llu "
                     "(bad headers/oversize/skipped bytes)\n",
                     static_cast<unsigned long long>(seen.badHeaders),
                     static_cast<unsigned long long>(seen.oversizeDiscarded),
                     static_cast<unsigned long long>(seen.skippedBytes),
                     static_cast<unsigned long long>(stats.badHeaders),
                     static_cast<unsigned long long>(stats.oversizeDiscarded),
                     static_cast<unsigned long long>(stats.resyncBytesDiscarded));
        Fail("the decoder counts differently from the receive path");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxStream) {
        size = kMaxStream;
    }
    kavra::os::SocketHandle fds[2];
    if (!kavra::os::ConnectedPair(fds)) {
        Fail("socketpair failed");
    }
    Descriptor peer(fds[1]);

    std::vector<Bytes> received;
    kavra::ConnectionStats stats;
    {
        KeepingClient client;
        auto socket = std::make_unique<CSocket>();
        socket->Attach(fds[0]);
        CServerStatus server;
        server.SetReconnect(false);
        if (client.SetSocket(socket.release(), 1, &server) != 1) {
            Fail("the attached socket pair is not connected");
        }
        if (client.Create() != 1) {
            Fail("the client thread did not start");
        }

        std::thread writer(WriteAll, peer.Get(), data, size);

        std::vector<unsigned char> body(kEndMarkerLength + 1);
        bool sawMarker = false;
        while (!sawMarker) {
            // The marker wakes the wait as soon as the connection is gone;
            // the timeout only matters when the marker could not be counted.
            const bool closed = client.Closed();
            unsigned int length = 0;
            const int rc = client.ReceivePdu(body.data(), static_cast<unsigned int>(body.size()),
                                             &length, closed ? 0 : 50);
            if (rc == KavraClientThread::RECEIVE_OK) {
                if (length == kEndMarkerLength && client.Closed()) {
                    sawMarker = true;
                } else {
                    received.emplace_back(body.data(), body.data() + length);
                }
            } else if (rc != KavraClientThread::RECEIVE_NOTHING) {
                Fail("ReceivePdu refused a buffer larger than any body");
            } else if (closed) {
                break;
            }
        }
        writer.join();
        client.Destroy();
        stats = client.GetStats();
        if (client.GetHandlerExceptionCount() != 0) {
            Fail("a handler threw");
        }
        if (client.GetReceiveQueueLength() != (sawMarker ? 0U : 1U)) {
            Fail("PDUs were left in the receive queue after the end marker");
        }
    }

    ExpectDecoderAgrees(data, size, received, stats);

    const kavra::fuzz::FrameModelResult expected = kavra::fuzz::ExtractWithWindow(data, size);

    // The delivered bodies are the expected ones with exactly the dropped
    // ones left out.
    std::size_t next = 0;
    std::uint64_t bytes = 0;
    for (const Bytes& got : received) {
        while (next < expected.bodies.size() && expected.bodies[next] != got) {
            ++next;
        }
        if (next == expected.bodies.size()) {
            std::fprintf(stderr, "delivered %zu bodies, model %zu; a %zu-byte body is not next\n",
                         received.size(), expected.bodies.size(), got.size());
            Fail("a delivered body is not the next one the stream carries");
        }
        ++next;
        bytes += got.size();
    }
    if (received.size() + stats.receiveDropsQueueFull != expected.bodies.size()) {
        std::fprintf(stderr, "delivered %zu + dropped %llu, model %zu\n", received.size(),
                     static_cast<unsigned long long>(stats.receiveDropsQueueFull),
                     expected.bodies.size());
        Fail("bodies lost or invented");
    }
    if (stats.framesReceived != received.size() || stats.bytesReceived != bytes) {
        Fail("the frame or byte counters disagree with what was delivered");
    }
    if (stats.oversizeDiscarded != expected.oversize ||
        stats.framesRead != received.size() + stats.receiveDropsQueueFull + stats.oversizeDiscarded) {
        Fail("oversize frames were not read and dropped as the model reads them");
    }
    if (stats.badHeaders != expected.badHeaders) {
        std::fprintf(stderr, "bad headers %llu, model %llu\n",
                     static_cast<unsigned long long>(stats.badHeaders),
                     static_cast<unsigned long long>(expected.badHeaders));
        Fail("bad header count differs");
    }
    if (stats.resyncBytesDiscarded != expected.resyncBytes) {
        std::fprintf(stderr, "resync bytes %llu, model %llu\n",
                     static_cast<unsigned long long>(stats.resyncBytesDiscarded),
                     static_cast<unsigned long long>(expected.resyncBytes));
        Fail("resynchronisation byte count differs");
    }
    if (stats.framesSent != 0 || stats.SendDropped() != 0 || stats.reconnections != 0) {
        Fail("the receive path sent or reconnected");
    }
    return 0;
}
