// A bounded workload for instruction counters (valgrind --tool=callgrind):
// one process, one sending and one receiving KavraClientThread over
// loopback, and a consumer thread that takes every PDU. Nothing here is
// timed; divide the counted instructions by the message count.
//
//   kavra_bench_cost stream SIZE COUNT   lossless stream of COUNT bodies
//   kavra_bench_cost ping COUNT          COUNT round trips of 64 bytes
#include "serving/ServingApi.h"

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
    if (mode == "ping" && argc == 3) {
        return ping(std::atoi(argv[2]));
    }
    std::fprintf(stderr, "usage: kavra_bench_cost stream SIZE COUNT | ping COUNT\n");
    return 2;
}
