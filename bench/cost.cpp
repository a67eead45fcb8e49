// A bounded workload for instruction counters (valgrind --tool=callgrind):
// one process, one sending and one receiving KavraClientThread over
// loopback, and a consumer thread that takes every PDU. Nothing here is
// timed; divide the counted instructions by the message count.
//
//   kavra_bench_cost stream SIZE COUNT   lossless stream of COUNT bodies
//   kavra_bench_cost ping COUNT          COUNT round trips of 64 bytes
//   kavra_bench_cost reader SIZE COUNT   COUNT bodies to one thread that reads
//                                        and counts the bytes, no receive queue
//   kavra_bench_cost tls SIZE COUNT      the same over TLS (the engine's server
//                                        mode reading), to set against reader
#include "serving/ServingApi.h"

#ifdef KAVRA_BENCH_HAVE_TLS
#include "base/os/tls/TlsEngine.h"
#include "base/os/tls/TlsStream.h"
#include "tools/SelfSignedCertificate.h"

#include <kavra/base/TlsOptions.h>

#include <memory>
#endif

#include <kavra/KavraClientThread.h>
#include <kavra/ReceiveOverflow.h>
#include <kavra/base/CSocket.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

class KeepingClient : public KavraClientThread {
protected:
    void OnReceiveQueuePush() override {}
};

kavra::os::SocketHandle listenLoopback(unsigned short& port) {
    int error = 0;
    const kavra::os::SocketHandle listener =
        kavra::os::ListenTcp("127.0.0.1", 0, 4, kavra::os::PortReuse::Plain, error);
    if (listener == kavra::os::INVALID_SOCKET_HANDLE) {
        std::fprintf(stderr, "cost: listen failed (%d)\n", error);
        std::exit(2);
    }
    port = kavra::os::LocalPort(listener);
    return listener;
}

// Connects `near` to a fresh listener and attaches the accepted end to `far`.
void connectPair(KavraClientThread& near, KavraClientThread& far) {
    unsigned short port = 0;
    const kavra::os::SocketHandle listener = listenLoopback(port);
    auto* out = new CSocket();
    if (out->Connect("127.0.0.1", port, 3000) != 1) {
        std::fprintf(stderr, "cost: connect failed\n");
        std::exit(2);
    }
    auto* in = new CSocket();
    in->Attach(kavra::os::Accept(listener, false, true, nullptr));
    kavra::os::CloseSocket(listener);
    near.SetSocket(out, 1, nullptr);
    far.SetSocket(in, 1, nullptr);
    near.Create();
    far.Create();
}

bool take(KavraClientThread& client, std::vector<char>& body) {
    unsigned int size = 0;
    return client.ReceivePdu(body.data(), static_cast<unsigned int>(body.size()), &size, 3000) ==
           KavraClientThread::RECEIVE_OK;
}

int stream(int size, int count) {
    KavraClientThread sender;
    KeepingClient receiver;
    receiver.SetReceiveOverflow(kavra::ReceiveOverflow::Block);
    connectPair(sender, receiver);
    std::thread consumer([&] {
        std::vector<char> body(KavraClientThread::MAX_PDU_LENGTH);
        for (int i = 0; i < count; ++i) {
            if (!take(receiver, body)) {
                std::fprintf(stderr, "cost: lost after %d\n", i);
                std::exit(3);
            }
        }
    });
    std::vector<char> body(static_cast<std::size_t>(size), 'c');
    for (int i = 0; i < count; ++i) {
        // The same bounded window as the end-to-end sender.
        while ((i & 63) == 0 && sender.GetSendQueueLength() > 1000) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        sender.SendPdu(body.data(), static_cast<unsigned int>(size));
    }
    consumer.join();
    sender.Destroy();
    receiver.Destroy();
    return 0;
}

// One thread that accepts on listener and reads until `total` bytes came
// (over TLS when certificate is set): the e2e benchmark's reader, without the
// frame check, so that the two modes differ in TLS alone.
void readAll(kavra::os::SocketHandle listener, std::size_t total, const void* certificate) {
    const kavra::os::SocketHandle fd = kavra::os::Accept(listener, true, true, nullptr);
    std::unique_ptr<kavra::ByteStream> stream;
#ifdef KAVRA_BENCH_HAVE_TLS
    if (certificate != nullptr) {
        const auto* own = static_cast<const kavra::tool::SelfSignedCertificate*>(certificate);
        kavra::os::TlsSettings settings;
        settings.server = true;
        settings.certFile = own->CertFile();
        settings.keyFile = own->KeyFile();
        int error = 0;
        std::string detail;
        auto tls = std::make_unique<kavra::os::TlsStream>(
            fd, kavra::os::TlsEngine::Create(settings, error, detail));
        if (tls->Handshake(std::chrono::steady_clock::now() + std::chrono::seconds(10),
                           nullptr) != 0) {
            std::fprintf(stderr, "cost: TLS handshake: %s\n", tls->Detail().c_str());
            std::exit(2);
        }
        stream = std::move(tls);
    }
#else
    (void)certificate;
#endif
    std::vector<char> in(1u << 20);
    for (std::size_t got = 0; got < total;) {
        int error = 0;
        if (stream == nullptr || stream->BufferedInput() == 0) {
            kavra::os::WaitReady(fd, kavra::os::Direction::Read, 3000, error);
        }
        const long r = stream ? stream->RecvSome(in.data(), in.size(), error)
                              : kavra::os::RecvSome(fd, in.data(), in.size(), error);
        if (r > 0) {
            got += static_cast<std::size_t>(r);
        } else if (r == 0 || error != EAGAIN) {
            std::fprintf(stderr, "cost: reader stopped after %zu of %zu bytes\n", got, total);
            std::exit(3);
        }
    }
    kavra::os::CloseSocket(fd);
}

int toReader(int size, int count, bool tls) {
    unsigned short port = 0;
    const kavra::os::SocketHandle listener = listenLoopback(port);
    const void* certificate = nullptr;
    auto* socket = new CSocket();
#ifdef KAVRA_BENCH_HAVE_TLS
    std::unique_ptr<kavra::tool::SelfSignedCertificate> own;
    if (tls) {
        own = std::make_unique<kavra::tool::SelfSignedCertificate>();
        certificate = own.get();
        kavra::TlsOptions options;
        options.SetEnabled(true);
        options.SetCaFile(own->CertFile());
        socket->SetTls(options);
    }
#else
    if (tls) {
        std::fprintf(stderr, "cost: built without TLS\n");
        return 2;
    }
#endif
    // Ten sync bytes and the four-byte length before each body.
    const std::size_t total = static_cast<std::size_t>(count) * (14u + static_cast<std::size_t>(size));
    std::thread reader([&] { readAll(listener, total, certificate); });
    if (socket->Connect("127.0.0.1", port, 3000) != 1) {
        std::fprintf(stderr, "cost: connect failed\n");
        std::exit(2);
    }
    KavraClientThread sender;
    sender.SetSocket(socket, 1, nullptr);
    sender.Create();
    std::vector<char> body(static_cast<std::size_t>(size), 'c');
    for (int i = 0; i < count; ++i) {
        while ((i & 63) == 0 && sender.GetSendQueueLength() > 1000) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        sender.SendPdu(body.data(), static_cast<unsigned int>(size));
    }
    reader.join();
    sender.Destroy();
    kavra::os::CloseSocket(listener);
    return 0;
}

int ping(int count) {
    KeepingClient pinger;
    KeepingClient ponger;
    connectPair(pinger, ponger);
    std::thread echo([&] {
        std::vector<char> body(KavraClientThread::MAX_PDU_LENGTH);
        for (int i = 0; i < count; ++i) {
            unsigned int size = 0;
            if (ponger.ReceivePdu(body.data(), static_cast<unsigned int>(body.size()), &size,
                                  3000) != KavraClientThread::RECEIVE_OK) {
                std::exit(3);
            }
            ponger.SendPdu(body.data(), size);
        }
    });
    std::vector<char> body(KavraClientThread::MAX_PDU_LENGTH, 'p');
    for (int i = 0; i < count; ++i) {
        pinger.SendPdu(body.data(), 64);
        if (!take(pinger, body)) {
            std::exit(3);
        }
    }
    echo.join();
    pinger.Destroy();
    ponger.Destroy();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "stream" && argc == 4) {
        return stream(std::atoi(argv[2]), std::atoi(argv[3]));
    }
    if ((mode == "reader" || mode == "tls") && argc == 4) {
        return toReader(std::atoi(argv[2]), std::atoi(argv[3]), mode == "tls");
    }
    if (mode == "ping" && argc == 3) {
        return ping(std::atoi(argv[2]));
    }
    std::fprintf(stderr, "usage: kavra_bench_cost stream|reader|tls SIZE COUNT | ping COUNT\n");
    return 2;
}
